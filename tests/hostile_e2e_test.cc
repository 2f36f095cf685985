// End-to-end tests of a hostile queue: entries that are not regular files where qmail keeps
// only regular ones, senders that carry control bytes, and the injector's start (what it
// inherits, and that it does not outlive a run killed in the middle of a notice), and a run
// under a tight descriptor limit.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

#include "harness.h"

namespace lagwatch::e2e {
namespace {

class HostileE2eTest : public SandboxTest {};

constexpr const char* kSender = "alice@example.org";
const std::string kLastRun = "1780000000";
constexpr int64_t kDueTime = kNow - 20000;   // expiry kNow - 5600: inside the window
constexpr int64_t kNotDueTime = kNow - 100;  // expiry after now

std::string fatal(const std::string& text) { return "lagwatch: Fatal: " + text + ".\n"; }

enum Kind { kSymlink, kFifo, kDirectory, kSocket, kDevice };

// Creates an entry of `kind` at `path` dated `mtime`. A symbolic link points at a regular file
// with `content`, so that a reader that followed it would find a well-formed file. Returns
// false, with the reason, where this machine does not allow the entry.
bool make_entry(Kind kind, const std::string& path, const std::string& content, int64_t mtime,
                std::string* why) {
  switch (kind) {
    case kSymlink: {
      const std::string target = sandbox_root() + "/elsewhere" + std::to_string(mtime);
      write_file(target, content, 0600);
      set_mtime(target, mtime);
      make_symlink(target, path);
      break;
    }
    case kFifo:
      if (mkfifo(path.c_str(), 0600) != 0) ADD_FAILURE() << "mkfifo: " << errno_text(errno);
      break;
    case kDirectory:
      make_dir(path);
      break;
    case kSocket: {
      // The socket file stays when its descriptor is closed; opening it fails all the same.
      const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      EXPECT_LT(path.size(), sizeof address.sun_path);
      path.copy(address.sun_path, sizeof address.sun_path - 1);
      if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        ADD_FAILURE() << "socket: " << errno_text(errno);
      if (sock >= 0) close(sock);
      break;
    }
    case kDevice: {
      // A device on a file system mounted "nodev" cannot be opened at all (EACCES).
      struct statvfs fs;
      if (statvfs(queue_dir().c_str(), &fs) == 0 && (fs.f_flag & ST_NODEV) != 0) {
        *why = "the sandbox's file system is mounted nodev";
        return false;
      }
      if (mknod(path.c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0) {
        *why = "mknod: " + errno_text(errno);
        return false;
      }
      break;
    }
  }
  set_mtime(path, mtime);
  return true;
}

// Every queue file must be a regular file, whatever stands in its place: the run stops with
// status 111 before that message's injector starts, and leaves the run file as it was. An info
// entry is refused whether or not its time falls in the window.
TEST_F(HostileE2eTest, QueueEntryThatIsNotARegularFileEndsTheRun) {
  const std::string not_regular = "not a regular file";
  const struct {
    const char* name;
    Kind kind;
    std::string reason;
  } kinds[] = {
      {"Symlink", kSymlink, errno_text(ELOOP)},  // refused even to a well-formed file
      {"Fifo", kFifo, not_regular},              // a plain open would wait for a writer
      {"Directory", kDirectory, not_regular},    // opens, and reads fail
      {"Socket", kSocket, errno_text(ENXIO)},    // no open succeeds
      {"Device", kDevice, not_regular},          // /dev/null's numbers: reads as empty
  };
  const std::string info_content = std::string("F") + kSender + '\0';
  const std::string list_content = std::string("Tbob@example.net") + '\0';
  const std::string mess_content = "Subject: hi\n\nbody\n";
  const struct {
    const char* name;
    const char* place;
    int64_t mtime;
    std::string content;  // of a symbolic link's target
    std::string message;  // the diagnostic for the message 4/4001, before ": " + reason
  } places[] = {
      {"InfoDue", "info", kDueTime, info_content, "Can't open or stat info file 'info/4/4001'"},
      {"InfoNotDue", "info", kNotDueTime, info_content,
       "Can't open or stat info file 'info/4/4001'"},
      {"Mess", "mess", kDueTime, mess_content, "Could not open message file"},
      {"Remote", "remote", kDueTime, list_content, "Could not read 'remote/4/4001'"},
      {"Local", "local", kDueTime, list_content, "Could not read 'local/4/4001'"},
  };
  RunOptions options;
  options.timeout_seconds = 20;  // a reader that blocks on a FIFO must not cost a minute
  for (const auto& place : places) {
    for (const auto& kind : kinds) {
      const std::string row = std::string(place.name) + kind.name;
      SCOPED_TRACE(row);
      sandbox_reset();
      run_file.write(kLastRun);
      // The other files are regular and would give a notice: only the hostile entry stops it.
      Message m = queue.add_message(4, "4001", kSender, place.mtime);
      const std::string place_name = place.place;
      if (place_name != "remote") m.remote({"Tbob@example.net"});
      if (place_name != "local") m.local({"Tcarol@example.net"});
      if (place_name != "mess") m.mess(mess_content);
      if (place_name == "info") queue.remove("info/4/4001");
      std::string why;
      if (!make_entry(kind.kind, queue.path(place_name + "/4/4001"), place.content, place.mtime,
                      &why)) {
        std::printf("[ SKIPPED  ] row %s: %s\n", row.c_str(), why.c_str());
        continue;
      }
      RunResult r = run_lagwatch({}, options);
      EXPECT_EQ(r.exit_status, 111);
      EXPECT_EQ(r.err, fatal(place.message + ": " + kind.reason));
      EXPECT_EQ(r.out, "");
      EXPECT_TRUE(injector.calls().empty());
      EXPECT_EQ(run_file.read(), kLastRun);
    }
  }
}

// A link in place of a queue directory is refused as one in place of a file is: qmailq owns the
// queue, and a link there would bring any file of the system into a notice or have the walk take
// another directory's files for info files. Each link points at the directory that was there, so
// a reader that followed it would find well-formed files and send a notice. Every row runs through
// openat2 and again one component at a time, as on a kernel without it; the links in mess/4,
// remote/4 and local stand between the queue and the file opened.
TEST_F(HostileE2eTest, LinkedQueueDirectoryEndsTheRun) {
  const struct {
    const char* linked;   // the directory moved away and replaced by a link to it
    std::string message;  // the diagnostic, before ": " + ELOOP's text
  } cases[] = {
      {"info", "Can't open queue directory"},          // the walk's own directory
      {"info/4", "Can't open queue directory"},        // one of its split directories
      {"mess", "Could not open message file"},         // a part directory
      {"mess/4", "Could not open message file"},       // a split directory of a part
      {"remote/4", "Could not read 'remote/4/4001'"},  // read before the local list
      {"local", "Could not read 'local/4/4001'"},      // read after a regular remote list
  };
  for (const bool without_openat2 : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.linked) + (without_openat2 ? " without openat2" : ""));
      sandbox_reset();
      run_file.write(kLastRun);
      queue.add_message(4, "4001", kSender, kDueTime)
          .remote({"Tbob@example.net"})
          .local({"Tcarol@example.net"})
          .mess("Subject: hi\n\nbody\n");
      const std::string elsewhere = sandbox_root() + "/elsewhere";
      if (rename(queue.path(c.linked).c_str(), elsewhere.c_str()) != 0) {
        ADD_FAILURE() << "rename: " << errno_text(errno);
      }
      make_symlink(elsewhere, queue.path(c.linked));
      RunOptions options;
      options.no_openat2 = without_openat2;
      RunResult r = run_lagwatch({}, options);
      EXPECT_EQ(r.exit_status, 111);
      EXPECT_EQ(r.err, fatal(c.message + ": " + errno_text(ELOOP)));
      EXPECT_EQ(r.out, "");
      EXPECT_TRUE(injector.calls().empty());
      EXPECT_EQ(run_file.read(), kLastRun);
    }
  }
}

// A sender with a byte below 0x20 or the byte 0x7f is no address a notice should go to (a line
// feed would even split the notice's header): the message is passed over and the run goes on.
// Bytes from 0x80 up are allowed; so is the space.
TEST_F(HostileE2eTest, SenderWithControlBytesGetsNoNotice) {
  const struct {
    const char* name;
    std::string sender;
    bool notified;
  } cases[] = {
      {"LineFeed", "alice@example.org\nBcc: all@example.org", false},
      {"CarriageReturn", "alice@example.org\r", false},
      {"Tab", "\talice@example.org", false},
      {"Escape", "alice\x1b[2J@example.org", false},
      {"UnitSeparator", "alice\x1f@example.org", false},
      {"Delete", "alice\x7f@example.org", false},
      {"HighByte", "j\x80rg@example.org", true},
      {"Space", "odd sender@example.org", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    run_file.write(kLastRun);
    Message m = queue.add_message(4, "4101", c.sender, kDueTime)
                    .remote({"Tbob@example.net"})
                    .mess("Subject: hi\n\nbody\n");
    RunResult r = run_lagwatch({"-d"});
    std::string expected = default_config_debug_lines(1780000000) +
                           debug("filename=4/4101 expiry=" + std::to_string(kDueTime + 14400));
    if (c.notified) {
      expected += debug("filename=4/4101 sender='" + c.sender + "' undone=1") +
                  debug("forking " + injector_path() + " -f '' -a '" + c.sender + "' '(null)'");
    } else {
      expected += debug("ignoring, sender has control characters");
    }
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(r.out, "");
    std::vector<InjectorCall> calls = injector.calls();
    EXPECT_EQ(calls.size(), c.notified ? 1u : 0u);
    if (c.notified && calls.size() == 1) {
      EXPECT_EQ(calls[0].argv,
                (std::vector<std::string>{injector_path(), "-f", "", "-a", c.sender}));
    }
    EXPECT_EQ(run_file.read(), std::to_string(kNow));
  }
}

// A stop signal that arrives during a notice lets that notice finish: its injector reads it whole
// and accepts it, its journal line is written, no further notice starts, and the run ends with
// status 111 and the run file as it was; the next run does not send the notice again. SIGKILL
// cannot be caught: the kernel kills the injector with the run, before it reached the end of its
// input (qmail-inject queues whatever it read once its input ends). A terminal's Ctrl-C, sent to
// the run's whole process group, does not reach the injector, which has a group of its own.
TEST_F(HostileE2eTest, StopSignalFinishesTheNoticeAndKillTakesTheInjectorAlong) {
  const struct {
    const char* name;
    int signal_number;
    bool to_group;
  } cases[] = {{"Terminated", SIGTERM, false},
               {"Interrupt", SIGINT, false},
               {"Interrupt", SIGINT, true},
               {"Hangup", SIGHUP, false},
               {"Killed", SIGKILL, false}};
  const std::string body(100000, 'm');
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + (c.to_group ? " to the process group" : ""));
    sandbox_reset();
    run_file.write(kLastRun);
    // More than a pipe holds, read slowly: the signal strikes while the injector reads.
    for (const char* name : {"4201", "4202"}) {
      queue.add_message(4, name, std::string("s") + name + "@example.org", kDueTime)
          .remote({"Tbob@example.net"})
          .mess(body);
    }
    injector.plan({inject_slow(10)});
    RunOptions options;
    options.own_process_group = c.to_group;
    InterruptedRun r = run_lagwatch_interrupted({}, 1, c.signal_number, options);
    ASSERT_TRUE(r.signal_sent);
    EXPECT_FALSE(r.injector_outlived);
    std::vector<InjectorCall> calls = injector.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(run_file.read(), kLastRun);
    if (c.signal_number == SIGKILL) {
      EXPECT_EQ(r.run.term_signal, SIGKILL);
      EXPECT_TRUE(WIFSIGNALED(r.injector_status) && WTERMSIG(r.injector_status) == SIGKILL)
          << "wait status " << r.injector_status;
      EXPECT_FALSE(calls[0].read_input);
      continue;
    }
    EXPECT_EQ(r.run.term_signal, 0);
    EXPECT_EQ(r.run.exit_status, 111);
    EXPECT_EQ(r.run.err, fatal(std::string("Stopped by a signal: ") + c.name));
    EXPECT_EQ(r.injector_status, -1);  // the run waited for it
    EXPECT_TRUE(calls[0].read_input);
    EXPECT_EQ(calls[0].input.substr(calls[0].input.size() - body.size() - 1), body + "\n");
    const std::string name = calls[0].argv.back().substr(1, 4);  // "s4201@..." -> "4201"
    EXPECT_EQ(read_file(journal_path()),
              kLastRun + "\n4/" + name + " " + std::to_string(kDueTime) + "\n");
    RunResult next = run_lagwatch({});
    EXPECT_EQ(next.exit_status, 0);
    calls = injector.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_NE(calls[1].argv.back(), calls[0].argv.back());
    EXPECT_EQ(run_file.read(), std::to_string(kNow));
  }
}

// qmail-inject takes settings from its environment (QMAILQUEUE even names a program to run),
// so it gets none of the run's.
TEST_F(HostileE2eTest, InjectorStartsWithAnEmptyEnvironment) {
  queue.add_message(4, "4301", kSender, kDueTime).remote({"Tbob@example.net"}).mess("x\n");
  RunResult r = run_lagwatch({});
  EXPECT_EQ(r.exit_status, 0);
  std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].env, std::vector<std::string>{});
  EXPECT_TRUE(calls[0].read_input);
}

// A descriptor the program inherited (from cron, say) does not reach the injector, nor any of
// the program's own: it sees standard input, output and error only.
TEST_F(HostileE2eTest, InjectorGetsOnlyTheStandardDescriptors) {
  queue.add_message(4, "4401", kSender, kDueTime).remote({"Tbob@example.net"}).mess("x\n");
  RunOptions options;
  options.inherited_fd = 5;
  RunResult r = run_lagwatch({}, options);
  EXPECT_EQ(r.exit_status, 0);
  std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].fds, (std::vector<int>{0, 1, 2}));
  EXPECT_TRUE(calls[0].read_input);
}

// Each message's descriptors are released before the next: 100 notices fit in 32 descriptors.
TEST_F(HostileE2eTest, HundredNoticesUnderThirtyTwoDescriptors) {
  std::vector<std::string> expected;
  for (int i = 0; i < 100; ++i) {
    const std::string sender = "s" + std::to_string(100 + i) + "@example.org";
    queue.add_message(i % 23, std::to_string(5000 + i), sender, kDueTime)
        .remote({"Tbob@example.net"})
        .mess("Subject: n\n\nbody\n");
    expected.push_back(sender);
  }
  RunOptions options;
  options.max_open_files = 32;
  RunResult r = run_lagwatch({}, options);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  std::vector<std::string> senders;
  for (const InjectorCall& call : injector.calls()) {
    EXPECT_TRUE(call.read_input);
    if (call.argv.size() == 5) senders.push_back(call.argv[4]);
  }
  std::sort(senders.begin(), senders.end());
  EXPECT_EQ(senders, expected);
  EXPECT_EQ(run_file.read(), std::to_string(kNow));
}

}  // namespace
}  // namespace lagwatch::e2e
