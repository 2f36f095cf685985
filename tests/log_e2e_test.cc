// End-to-end tests of what a real run tells beside its output: the log and the metrics file. The
// sandbox build logs to <sandbox>/log, where these tests listen as the system log would, and
// leaves its metrics in <sandbox>/node-exporter/lagwatch.prom when that directory exists.

#include <arpa/inet.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness.h"

namespace lagwatch::e2e {
namespace {

// A datagram socket bound where the sandbox build sends its log lines.
class LogSink {
 public:
  LogSink() {
    const std::string path = sandbox_root() + "/log";
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
  }
  ~LogSink() { close(fd_); }
  LogSink(const LogSink&) = delete;
  LogSink& operator=(const LogSink&) = delete;

  // The lines received so far, with the process id in "lagwatch[PID]" replaced by "PID".
  std::vector<std::string> lines() const {
    std::vector<std::string> result;
    char buffer[4096];
    for (ssize_t n; (n = recv(fd_, buffer, sizeof buffer, 0)) > 0;) {
      std::string line(buffer, static_cast<size_t>(n));
      const size_t open = line.find("lagwatch[");
      const size_t close = line.find(']', open);
      if (open != std::string::npos && close != std::string::npos) {
        line.replace(open + 9, close - open - 9, "PID");
      }
      result.push_back(line);
    }
    return result;
  }

 private:
  int fd_ = -1;
};

class LogE2eTest : public SandboxTest {};

// "<PRI>" + the frozen clock's time + the identity, for facility mail.
std::string line(int priority, const std::string& text) {
  return "<" + std::to_string(16 + priority) + ">Jun  1 12:00:00 lagwatch[PID]: " + text;
}

// Every notice handed over, refused or withheld and every message skipped as already sent gets
// one line, in walk order, then the summary; standard output and standard error stay as they
// were.
TEST_F(LogE2eTest, EveryNoticeAndTheSummaryAreLogged) {
  LogSink sink;
  run_file.write("1000");
  const int64_t mtime = kNow - 20000;
  queue.add_message(1, "101", "sent@example.org", mtime).remote({"Ta@x", "Tb@x"}).mess("m\n");
  queue.add_message(2, "102", "refused@example.org", mtime).local({"Tc@x"}).mess("m\n");
  queue.add_message(3, "103", "journaled@example.org", mtime).remote({"Td@x"}).mess("m\n");
  queue.add_message(4, "104", "", mtime).remote({"Te@x"}).mess("m\n");  // a bounce: no line
  queue.add_message(5, "105", "list@example.org", mtime).remote({"Tf@x"}).mess("List-Id: l\n\n");
  queue.add_message(6, "106", "auto@example.org", mtime)
      .local({"Tg@x"})
      .mess("Subject: away\r\nauto-submitted : Auto-Replied\r\n\r\nm\r\n");
  write_file(journal_path(), "1000\n3/103 " + std::to_string(mtime) + "\n");
  std::vector<std::string> plan;
  for (const std::string& filename : queue.walk_order()) {
    if (filename == "1/101") plan.push_back(inject_exit(0));
    if (filename == "2/102") plan.push_back(inject_exit(100));
  }
  injector.plan(plan);
  RunResult r = run_lagwatch({});
  EXPECT_EQ(r.exit_status, 100);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "lagwatch: Error: qmail-inject refused the notice for 'info/2/102'.\n");

  const std::map<std::string, std::string> logged = {
      {"1/101",
       line(6, "notice sent: filename=1/101 sender=<sent@example.org> undone=2 age=20000")},
      {"2/102",
       line(4, "notice refused: filename=2/102 sender=<refused@example.org> undone=1 age=20000")},
      {"3/103",
       line(6, "notice already sent: filename=3/103 sender=<journaled@example.org> age=20000")},
      {"5/105", line(6, "notice withheld: filename=5/105 sender=<list@example.org> field=List-Id")},
      {"6/106",
       line(6, "notice withheld: filename=6/106 sender=<auto@example.org> field=Auto-Submitted")},
  };
  std::vector<std::string> expected;
  for (const std::string& filename : queue.walk_order()) {
    if (logged.count(filename) != 0) expected.push_back(logged.at(filename));
  }
  expected.push_back(line(6, "run completed: lastrun=1000 now=" + std::to_string(kNow) +
                                 " sent=1 refused=1 already_sent=1 withheld=2"));
  EXPECT_EQ(sink.lines(), expected);
}

// A log whose reader never reads takes a few lines and then no more: the run drops the rest
// instead of waiting for it, hands every notice over and completes.
TEST_F(LogE2eTest, LogThatNeverReadsDoesNotHoldUpTheRun) {
  LogSink sink;  // read only once the run is over
  run_file.write("1000");
  for (int i = 0; i < 24; ++i) {
    const std::string name = std::to_string(5000 + i);
    queue.add_message(i % 23, name, "s" + name + "@example.org", kNow - 20000)
        .remote({"Ta@x"})
        .mess("m\n");
  }
  std::vector<std::string> expected;  // what a log that took everything would hold
  for (const std::string& filename : queue.walk_order()) {
    const std::string name = filename.substr(filename.find('/') + 1);
    expected.push_back(line(6, "notice sent: filename=" + filename + " sender=<s" + name +
                                   "@example.org> undone=1 age=20000"));
  }
  expected.push_back(line(6, "run completed: lastrun=1000 now=" + std::to_string(kNow) +
                                 " sent=24 refused=0 already_sent=0 withheld=0"));
  RunOptions options;
  options.timeout_seconds = 20;  // a run that waits for the log shows as a failure, not a hang
  RunResult r = run_lagwatch({}, options);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(injector.calls().size(), 24u);
  for (const InjectorCall& call : injector.calls()) EXPECT_TRUE(call.read_input);
  EXPECT_EQ(run_file.read(), std::to_string(kNow));
  // What the log took is whole lines from the start of the run, in order.
  std::vector<std::string> got = sink.lines();
  ASSERT_LE(got.size(), expected.size());
  EXPECT_EQ(got, std::vector<std::string>(expected.begin(), expected.begin() + got.size()));
}

// Fatal diagnostics reach the log at error level too; print-only runs log nothing at all.
TEST_F(LogE2eTest, FatalDiagnosticsAreLoggedAndPrintOnlyRunsAreNot) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"FatalInARealRun", {}, {line(3, "Fatal: Could not read control/me.")}},
      {"FatalInAPrintOnlyRun", {"-N"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    LogSink sink;
    control.remove("me");
    RunResult r = run_lagwatch(c.args);
    EXPECT_EQ(r.exit_status, 111);
    EXPECT_EQ(r.err, "lagwatch: Fatal: Could not read control/me.\n");
    EXPECT_EQ(sink.lines(), c.lines);
  }
  sandbox_reset();
  LogSink sink;
  queue.add_message(1, "101", "a@example.org", kNow - 20000).remote({"Ta@x"}).mess("m\n");
  RunResult r = run_lagwatch({"-N"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(sink.lines().empty());
}

// Where the sandbox build leaves its metrics, when the directory exists.
std::string metrics_dir() { return sandbox_root() + "/node-exporter"; }
std::string metrics_file() { return metrics_dir() + "/lagwatch.prom"; }

// What `command` (run by sh) writes to standard output.
std::string shell(const std::string& command) {
  std::string output;
  if (std::FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

// The names in `dir`, sorted, each followed by a blank.
std::string names_in(const std::string& dir) {
  return shell("ls -A " + dir + " 2>/dev/null | tr '\\n' ' '");
}

// A metrics file that cannot be written costs the run nothing but one warning in the log: its
// status, output, notice and run file are those of any run, and no temporary file is left. A
// missing directory means no collector, and is not even logged. A link is never written through.
TEST_F(LogE2eTest, MetricsFileThatCannotBeWrittenOnlyCostsAWarning) {
  struct Case {
    const char* name;
    const char* tmpfs;    // options of a tmpfs mounted on the directory (needs root), or null
    const char* prepare;  // shell commands run in the sandbox, beside node-exporter/
    const char* error;    // the warning's error text; null: no warning
    const char* left;     // what the directory holds afterwards
  };
  const Case cases[] = {
      {"DirectoryMissing", nullptr, "rmdir node-exporter", nullptr, ""},
      {"ReadOnly", "ro,size=64k", "true", "Read-only file system", ""},
      {"Full", "size=4k", "head -c 65536 /dev/zero >node-exporter/filler",
       "No space left on device", "filler "},
      {"DirectoryWhereTheFileGoes", nullptr, "mkdir node-exporter/lagwatch.prom", "Is a directory",
       "lagwatch.prom "},
      {"LinkWhereTheFileGoes", nullptr,
       "echo kept >target && ln -s ../target node-exporter/lagwatch.prom", nullptr,
       "lagwatch.prom "},
      {"DirectoryIsALink", nullptr,
       "rmdir node-exporter && mkdir elsewhere && ln -s elsewhere node-exporter",
       "Too many levels of symbolic links", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    make_dir(metrics_dir());
    if (c.tmpfs != nullptr && mount("lagwatch", metrics_dir().c_str(), "tmpfs", 0, c.tmpfs) != 0) {
      std::cout << "[ SKIPPED  ] row " << c.name << ": cannot mount a tmpfs (" << errno_text(errno)
                << ")\n";
      continue;
    }
    shell("cd " + sandbox_root() + " && " + c.prepare);
    LogSink sink;
    run_file.write("1000");
    queue.add_message(1, "101", "a@example.org", kNow - 20000).remote({"Tb@x"}).mess("m\n");
    RunResult r = run_lagwatch({});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(injector.calls().size(), 1u);
    EXPECT_EQ(run_file.read(), std::to_string(kNow));
    std::vector<std::string> expected = {
        line(6, "notice sent: filename=1/101 sender=<a@example.org> undone=1 age=20000"),
        line(6, "run completed: lastrun=1000 now=" + std::to_string(kNow) +
                    " sent=1 refused=0 already_sent=0 withheld=0")};
    if (c.error != nullptr) {
      expected.push_back(line(4, "metrics not written: " + metrics_file() + ": " + c.error));
    }
    EXPECT_EQ(sink.lines(), expected);
    EXPECT_EQ(names_in(metrics_dir()), c.left);
    if (const auto target = read_file(sandbox_root() + "/target")) {
      EXPECT_EQ(*target, "kept\n");
    }
    if (c.error == nullptr && c.left[0] != '\0') {
      EXPECT_TRUE(S_ISREG(stat_path(metrics_file()).st_mode));
    }
    if (c.tmpfs != nullptr) umount2(metrics_dir().c_str(), MNT_DETACH);
  }
}

// The node exporter that admins run reads every figure of a real run: the queue's messages, the
// late ones and the oldest one's age, todo/ (flat and split), the thresholds, the notices by
// their outcome, the run's time and version. The file is readable by all under any umask.
TEST_F(LogE2eTest, NodeExporterReadsEveryFigure) {
  const std::string exporter = "/usr/bin/prometheus-node-exporter";
  if (access(exporter.c_str(), X_OK) != 0) {
    GTEST_SKIP() << exporter << " is missing: install the package prometheus-node-exporter";
  }
  make_dir(metrics_dir());
  const int64_t lastrun = kNow - 900;
  const int64_t due = kNow - 14400 - 100;
  run_file.write(std::to_string(lastrun));
  queue.add_message(1, "101", "sent@example.org", due).remote({"Ta@x"}).mess("m\n");
  queue.add_message(2, "102", "list@example.org", due).remote({"Tb@x"}).mess("List-Id: l\n\n");
  queue.add_message(3, "103", "journaled@example.org", due).remote({"Tc@x"}).mess("m\n");
  queue.add_message(4, "104", "refused@example.org", due).remote({"Td@x"}).mess("m\n");
  queue.add_message(5, "105", "old@example.org", kNow - 86400).remote({"Te@x"}).mess("m\n");
  queue.add_message(6, "106", "new@example.org", kNow - 60).remote({"Tf@x"}).mess("m\n");
  write_file(journal_path(), std::to_string(lastrun) + "\n3/103 " + std::to_string(due) + "\n");
  for (const char* todo : {"todo/301", "todo/302", "todo/.new", "todo/7/303"}) {
    make_dir(queue.path(todo).substr(0, queue.path(todo).rfind('/')));
    queue.write(todo, "");
  }
  std::vector<std::string> plan;  // only 1/101 and 4/104 reach the injector
  for (const std::string& filename : queue.walk_order()) {
    if (filename == "1/101" || filename == "4/104") {
      plan.push_back(inject_exit(filename == "1/101" ? 0 : 100));
    }
  }
  injector.plan(plan);
  ASSERT_EQ(run_lagwatch({"-N"}).exit_status, 0);
  EXPECT_EQ(names_in(metrics_dir()), "");  // print-only runs write none
  RunOptions options;
  options.umask = 077;
  ASSERT_EQ(run_lagwatch({}, options).exit_status, 100);
  EXPECT_EQ(stat_path(metrics_file()).st_mode & 07777, 0644u);

  // The exporter on a free loopback port, with its textfile collector alone, fetched by bash.
  const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), size), 0);
  ASSERT_EQ(getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size), 0);
  close(probe);
  const std::string port = std::to_string(ntohs(address.sin_port));
  const std::string script =
      exporter + " --web.listen-address=127.0.0.1:" + port +
      " --collector.disable-defaults --collector.textfile --collector.textfile.directory=" +
      metrics_dir() +
      " 2>/dev/null & for i in $(seq 100); do sleep 0.1; exec 3<>/dev/tcp/127.0.0.1/" + port +
      " && break; done 2>/dev/null; printf \"GET /metrics HTTP/1.0\\r\\n\\r\\n\" >&3; cat <&3; "
      "kill $!";
  const std::string response = shell("exec bash -c '" + script + "'");
  ASSERT_NE(response.find(" 200 OK"), std::string::npos) << response;

  std::map<std::string, double> samples;  // every sample served, by its name and labels
  std::istringstream lines(response);
  for (std::string sample; std::getline(lines, sample);) {
    const size_t blank = sample.rfind(' ');
    if (sample[0] != '#' && blank != std::string::npos) {
      samples[sample.substr(0, blank)] = std::strtod(sample.c_str() + blank + 1, nullptr);
    }
  }
  const std::map<std::string, double> expected = {
      {"lagwatch_queue_messages", 6},
      {"lagwatch_queue_todo_messages", 3},
      {"lagwatch_queue_oldest_message_age_seconds", 86400},
      {"lagwatch_queue_late_messages", 5},
      {"lagwatch_threshold_seconds", 14400},
      {"lagwatch_queue_lifetime_seconds", 604800},
      {"lagwatch_last_run_notices{result=\"sent\"}", 1},
      {"lagwatch_last_run_notices{result=\"already_sent\"}", 1},
      {"lagwatch_last_run_notices{result=\"withheld\"}", 1},
      {"lagwatch_last_run_notices{result=\"refused\"}", 1},
      {"lagwatch_last_run_timestamp_seconds", static_cast<double>(kNow)},
      {"lagwatch_build_info{version=\"" LAGWATCH_E2E_VERSION "\"}", 1},
      {"node_textfile_scrape_error", 0},
  };
  for (const auto& [name, value] : expected) {
    ASSERT_EQ(samples.count(name), 1u) << name << " is missing from:\n" << response;
    EXPECT_EQ(samples[name], value) << name;
  }
  EXPECT_GE(samples.at("lagwatch_last_run_duration_seconds"), 0);
  EXPECT_LT(samples["lagwatch_last_run_duration_seconds"], 60);
}

}  // namespace
}  // namespace lagwatch::e2e
