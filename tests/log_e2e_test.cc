// End-to-end tests of the log: the sandbox build logs to <sandbox>/log, where these tests
// listen as the system log would, and read back every line a run sent.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <map>
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

}  // namespace
}  // namespace lagwatch::e2e
