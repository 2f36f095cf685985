// End-to-end tests of the promise that every notice goes out once: numbers the options cannot
// hold are refused, a file that exists but cannot be read is never taken for a missing one, a
// real run claims and locks its run file before it sends anything, and a run that failed
// part-way is not repeated by the next one.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "cli/expected_help.h"
#include "harness.h"

namespace lagwatch::e2e {
namespace {

class OnceE2eTest : public SandboxTest {};

std::string fatal(const std::string& text) { return "lagwatch: Fatal: " + text + ".\n"; }

// A value beyond the signed 32-bit range is a usage error, not its low 32 bits.
TEST_F(OnceE2eTest, IntegerOptionsHoldThirtyTwoBitsOrAreRefused) {
  struct Case {
    const char* option;
    const char* value;
    bool accepted;
  };
  const Case cases[] = {
      {"-t", "2147483647", true},
      {"-t", "2147483648", false},
      {"-t", "-2147483648", true},
      {"-t", "-2147483649", false},
      {"-t", "99999999999999999999", false},
      {"-t", "-99999999999999999999", false},
      {"-b", "4294967296", false},
      {"-b", "2147483647", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.option) + " " + c.value);
    sandbox_reset();
    queue.add_message(3, "1001", "alice@example.org", kNow - 20000).remote({"Tbob@x"}).mess("m\n");
    RunResult r = run_lagwatch({c.option, c.value});
    if (c.accepted) {
      EXPECT_EQ(r.exit_status, 0);
      EXPECT_EQ(r.err, "");
      continue;
    }
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, std::string("lagwatch: Error: Invalid integer: ") + c.value + ".\n");
    EXPECT_EQ(r.out, lagwatch::kExpectedHelpScreen);
    EXPECT_TRUE(injector.calls().empty());
    EXPECT_EQ(run_file.read(), std::nullopt);
  }
}

// Each file that a run reads, missing (its specified meaning), unreadable and a directory (both
// end the run before anything is sent). Print-only runs, so that the run file is read too.
TEST_F(OnceE2eTest, UnreadableIsNotMissing) {
  enum Shape { kMissing, kNoPermission, kDirectory };
  struct File {
    const char* name;
    std::string path;       // absolute
    std::string diag_path;  // as the program names it
    bool queue_file;        // a directory is "not a regular file"
  };
  const std::string q = queue_dir() + "/";
  const File files[] = {
      {"queuelifetime", control_dir() + "/queuelifetime", "queuelifetime", false},
      {"rcpthosts", control_dir() + "/rcpthosts", "rcpthosts", false},
      {"morercpthosts.cdb", control_dir() + "/morercpthosts.cdb", "morercpthosts.cdb", false},
      {"run file", run_file_path(), run_file_path(), false},
      {"journal", journal_path(), journal_path(), false},
      {"remote list", q + "remote/3/1001", "remote/3/1001", true},
      {"local list", q + "local/3/1001", "local/3/1001", true},
  };
  RunOptions options;
  if (geteuid() == 0) {  // root reads anything: the run drops to nobody
    options.run_as_uid = 65534;
    options.run_as_gid = 65534;
  }
  for (const File& f : files) {
    for (Shape shape : {kMissing, kNoPermission, kDirectory}) {
      SCOPED_TRACE(std::string(f.name) + " shape " + std::to_string(shape));
      sandbox_reset();
      control.write("rcpthosts", "example.org\n");
      // The other list holds the undelivered recipient when this one is missing.
      Message m = queue.add_message(3, "1001", "alice@example.org", kNow - 20000)
                      .remote({"Tbob@x"})
                      .local({"Tcarol@mx"})
                      .mess("m\n");
      for (const std::string& path : {m.info_path(), m.remote_path(), m.local_path()}) {
        ASSERT_EQ(chmod(path.c_str(), 0644), 0);  // qmail's 0600 would keep nobody out
      }
      remove_path(f.path);
      if (shape == kNoPermission) write_file(f.path, "", 0);
      if (shape == kDirectory) make_dir(f.path);
      RunResult r = run_lagwatch({"-N", "-r"}, options);
      if (run_never_started(r)) GTEST_SKIP() << r.err;
      if (shape == kMissing) {
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.err, "");
        // Without rcpthosts -r lets no sender through; every other missing file leaves the notice.
        EXPECT_EQ(r.out.empty(), f.path == control_dir() + "/rcpthosts");
        continue;
      }
      const std::string why = shape == kNoPermission ? errno_text(EACCES)
                              : f.queue_file         ? std::string("not a regular file")
                                                     : errno_text(EISDIR);
      EXPECT_EQ(r.exit_status, 111);
      EXPECT_EQ(r.err, fatal("Could not read '" + f.diag_path + "': " + why));
      EXPECT_EQ(r.out, "");
    }
  }
}

// A real run claims its run file before the first notice: one it cannot update, a link, a FIFO
// and one that another run holds all end the run before anything is sent.
TEST_F(OnceE2eTest, RunFileIsClaimedBeforeTheFirstNotice) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    bool as_nobody;
    std::string err;
  };
  const std::string elsewhere = sandbox_root() + "/elsewhere";
  const Case cases[] = {
      {"ReadableButNotWritable", [this] { run_file.write("1780000000", 0444); }, true,
       fatal("Could not update run file")},
      {"SymbolicLink",
       [&elsewhere] {
         write_file(elsewhere, "1780000000");
         make_symlink(elsewhere, run_file_path());
       },
       false, fatal("Could not update run file")},
      {"Fifo", [] { ASSERT_EQ(mkfifo(run_file_path().c_str(), 0644), 0); }, false,
       fatal("Could not update run file")},
      {"HeldByAnotherRun", [this] { run_file.write("1780000000"); }, false,
       fatal("Another run holds the run file")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    queue.add_message(3, "1001", "alice@example.org", kNow - 20000).remote({"Tbob@x"}).mess("m\n");
    c.arrange();
    RunOptions options;
    if (c.as_nobody && geteuid() == 0) {
      options.run_as_uid = 65534;
      options.run_as_gid = 65534;
    }
    int holder = -1;
    if (c.err == fatal("Another run holds the run file")) {
      holder = open(run_file_path().c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_EQ(flock(holder, LOCK_EX), 0);
    }
    RunResult r = run_lagwatch({}, options);
    if (holder != -1) close(holder);
    if (run_never_started(r)) GTEST_SKIP() << r.err;
    EXPECT_EQ(r.exit_status, 111);
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(injector.calls().empty());
    if (std::string(c.name) == "SymbolicLink") {
      EXPECT_EQ(read_file(elsewhere), "1780000000");
    }
  }
}

// The sender of each injector call, in order.
std::vector<std::string> senders(const std::vector<InjectorCall>& calls) {
  std::vector<std::string> result;
  for (const InjectorCall& call : calls) result.push_back(call.argv.back());
  return result;
}

// A run that fails at the fourth of six due messages, then one that completes: every message is
// handed over exactly once, the refused one included, the withheld one (a list's mail) never, and
// the journal is empty at the end. The failed run finds the journal of an older window, longer
// than its own, which it must empty before it starts its own. Where the file system cannot
// reserve room (fallocate answers EOPNOTSUPP), the line in hand stands in the journal without its
// line feed; the withheld message's, the longest line, must have been taken back.
TEST_F(OnceE2eTest, FailedRunIsNotRepeated) {
  for (const bool reserves : {true, false}) {
    SCOPED_TRACE(reserves ? "fallocate reserves" : "fallocate refused");
    sandbox_reset();
    run_file.write("1000");
    std::string older_window = "999\n";
    for (int i = 0; i < 20; ++i) older_window += "9/" + std::to_string(9000 + i) + " 1234567890\n";
    write_file(journal_path(), older_window);
    std::map<std::string, std::string> sender_of;
    for (int i = 1; i <= 6; ++i) {
      const std::string sender = "s" + std::to_string(i) + "@example.org";
      sender_of[queue.add_message(i, std::to_string(1000 + i), sender, 5000)
                    .remote({"Tbob@x"})
                    .filename()] = sender;
    }
    // In walk order: accepted, refused, withheld, failed, and two the failed run never reaches.
    const std::vector<std::string> order = queue.walk_order();
    ASSERT_EQ(order.size(), 6u);
    for (const std::string& f : order)
      queue.write("mess/" + f, f == order[2] ? "List-Id: l\n" : "m\n");
    set_mtime(queue.path("info/" + order[2]), kNow - 20000);
    const auto sender = [&](int i) { return sender_of[order[i]]; };
    injector.plan({inject_exit(0), inject_exit(100), inject_exit(111)});
    RunOptions options;
    options.no_fallocate = !reserves;
    RunResult first = run_lagwatch({}, options);
    EXPECT_EQ(first.exit_status, 111);
    EXPECT_EQ(first.err, "lagwatch: Error: qmail-inject refused the notice for 'info/" + order[1] +
                             "'.\n" + fatal("qmail-inject exited with an error"));
    EXPECT_EQ(run_file.read(), "1000");
    EXPECT_EQ(read_file(journal_path()), "1000\n" + order[0] + " 5000\n" + order[1] + " 5000\n" +
                                             (reserves ? "" : order[3] + " 5000 "));

    RunResult second = run_lagwatch({"-d"}, options);
    EXPECT_EQ(second.exit_status, 0);
    EXPECT_EQ(senders(injector.calls()),
              (std::vector<std::string>{sender(0), sender(1), sender(3), sender(3), sender(4),
                                        sender(5)}));
    size_t skipped = 0;
    for (size_t at = 0;
         (at = second.err.find("ignoring, notice already sent", at)) != std::string::npos; ++at) {
      ++skipped;
    }
    EXPECT_EQ(skipped, 2u);
    EXPECT_EQ(run_file.read(), std::to_string(kNow));
    EXPECT_EQ(read_file(journal_path()), "");
  }
}

// A small file system of its own under the sandbox, for the length of a test; needs root.
class SmallSandboxDisk {
 public:
  SmallSandboxDisk() {
    mounted_ = mount("lagwatch", sandbox_root().c_str(), "tmpfs", 0, "size=4m") == 0;
  }
  ~SmallSandboxDisk() {
    if (mounted_) umount2(sandbox_root().c_str(), MNT_DETACH);
  }
  SmallSandboxDisk(const SmallSandboxDisk&) = delete;
  SmallSandboxDisk& operator=(const SmallSandboxDisk&) = delete;
  bool mounted() const { return mounted_; }

 private:
  bool mounted_;
};

// Fills the sandbox's file system to its last block.
void fill_disk() {
  const std::string filler = sandbox_root() + "/filler";
  const int fd = open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << errno_text(errno);
  static const char block[4096] = {};
  while (write(fd, block, sizeof block) > 0) {
  }
  EXPECT_EQ(errno, ENOSPC);
  close(fd);
}

// A journal line cannot be lost to a full disk once its notice is handed over: the room for it
// is taken before the injector starts, and a disk that has none ends the run before that. The
// journal fills its first page exactly, so the line needs a new one.
TEST_F(OnceE2eTest, FullDiskNeverCostsAJournalLine) {
  SmallSandboxDisk disk;
  if (!disk.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here: " << errno_text(errno);
  std::string journal = "1000\n";
  for (int i = 0; journal.size() < 4096 - 40; ++i)
    journal += "9/" + std::to_string(9000 + i) + " 1\n";
  journal += "9/" + std::string(4096 - journal.size() - 5, '7') + " 1\n";
  for (bool full_before : {true, false}) {
    SCOPED_TRACE(full_before ? "FullBeforeTheNotice" : "FullAfterTheHandover");
    sandbox_reset();
    run_file.write("1000");
    write_file(journal_path(), journal);
    ASSERT_EQ(journal.size(), 4096u);
    queue.add_message(4, "2001", "a@example.org", kNow - 20000).remote({"Tbob@x"}).mess("m\n");
    if (full_before) {
      injector.plan({inject_exit(0)});
      fill_disk();
      RunResult r = run_lagwatch({});
      EXPECT_EQ(r.exit_status, 111);
      EXPECT_EQ(r.err, fatal("Could not update '" + journal_path() + "': " + errno_text(ENOSPC)));
      EXPECT_TRUE(injector.calls().empty());
      remove_path(sandbox_root() + "/filler");
    } else {
      injector.plan({inject_fill_disk()});
    }
    RunResult r = run_lagwatch({});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(injector.calls().size(), 1u);
    EXPECT_EQ(run_file.read(), std::to_string(kNow));
  }
}

// The journal counts only for the window it names; print-only runs read it and never write it.
TEST_F(OnceE2eTest, JournalBelongsToItsWindow) {
  struct Case {
    const char* name;
    std::string header;
    bool print_only;
    bool sent;
  };
  const Case cases[] = {
      {"OtherWindowIsIgnored", "999\n", false, true},
      {"SameWindowSkips", "1000\n", false, false},
      {"PrintOnlyReadsIt", "1000\n", true, false},
      {"PrintOnlyIgnoresOtherWindow", "999\n", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    run_file.write("1000");
    queue.add_message(4, "2001", "a@example.org", kNow - 20000).remote({"Tbob@x"}).mess("m\n");
    const std::string journal = c.header + "4/2001 " + std::to_string(kNow - 20000) + "\n";
    write_file(journal_path(), journal);
    RunResult r =
        run_lagwatch(c.print_only ? std::vector<std::string>{"-N"} : std::vector<std::string>{});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    const bool notice = c.print_only ? !r.out.empty() : !injector.calls().empty();
    EXPECT_EQ(notice, c.sent);
    if (c.print_only) {
      EXPECT_EQ(read_file(journal_path()), journal);
      EXPECT_EQ(run_file.read(), "1000");
    } else {
      EXPECT_EQ(read_file(journal_path()), "");
      EXPECT_EQ(run_file.read(), std::to_string(kNow));
    }
  }
}

}  // namespace
}  // namespace lagwatch::e2e
