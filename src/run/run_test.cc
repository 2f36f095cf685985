#include "run/run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "as_user.h"
#include "lib/fileio.h"
#include "notice/dispatch.h"
#include "run/conf.h"
#include "run/settings.h"

namespace lagwatch {

// The notice dispatch is replaced in this test program by a recorder, so that the walk's own
// decisions are seen apart from what the dispatch does with a message. The linker takes these
// definitions and leaves the library's dispatch out, since nothing else here needs it.
struct dispatch_call {
  std::string sender;
  std::string filename;
  bool info_file_open;  // the walk still held "info/" + filename open during the call
};
std::vector<dispatch_call> dispatch_calls;
uint32_t notices_refused;
// Called by the recorder with each filename, when set.
std::function<void(const std::string&)> on_dispatch;

namespace {

namespace fs = std::filesystem;

bool descriptor_open_on(const fs::path& target) {
  std::error_code error;
  fs::path wanted = fs::canonical(target, error);
  if (error) return false;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc/self/fd")) {
    fs::path opened = fs::read_symlink(entry.path(), error);
    if (!error && opened == wanted) return true;
  }
  return false;
}

}  // namespace

notice_result dispatch_notice(const char* sender, const char* filename) {
  fs::path info = fs::path(queue_dir) / "info" / filename;
  dispatch_calls.push_back({sender, filename, descriptor_open_on(info)});
  if (on_dispatch) on_dispatch(filename);
  return {NOTICE_NONE, 0, nullptr};
}

namespace {

const std::string kSandbox = LAGWATCH_UNIT_SANDBOX;
const std::string kInfo = std::string(queue_dir) + "/info";
const int64_t kNow = 1700000000;
const int64_t kLastrun = kNow - 3600;
const int32_t kAge = 14400;

void put_file(const std::string& path, const std::string& bytes) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

std::string read_whole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void set_mtime(const std::string& path, int64_t mtime) {
  struct timespec times[2] = {{static_cast<time_t>(mtime), 0}, {static_cast<time_t>(mtime), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// Puts the info file of message `filename` ("SPLIT/NAME") into the queue.
void add_message(const std::string& filename, const std::string& content, int64_t mtime) {
  std::string path = kInfo + "/" + filename;
  put_file(path, content);
  set_mtime(path, mtime);
}

// An info file holding the sender "a@example.org".
const std::string kInfoContent = std::string("Fa@example.org\0", 15);

std::string line(const std::string& text) { return "lagwatch: " + text + "\n"; }

std::string expiry_line(const std::string& filename, int64_t expiry) {
  return line("filename=" + filename + " expiry=" + std::to_string(expiry));
}

// What a child process did: its exit status (-1 when it did not exit normally) and what it
// wrote on standard error.
struct child_result {
  int status;
  std::string err;
};

// Runs `body` in a child process whose standard error is a pipe (which neither a file-size
// limit nor a change of user concerns), and returns how the child ended. The child exits with
// 0 when `body` returns.
child_result run_in_child(const std::function<void()>& body) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return {-1, "pipe failed"};
  pid_t pid = fork();
  if (pid == 0) {
    close(pipe_fds[0]);
    if (dup2(pipe_fds[1], 2) == -1) _exit(3);
    body();
    _exit(0);
  }
  close(pipe_fds[1]);
  child_result result = {-1, ""};
  char buffer[256];
  ssize_t got;
  while ((got = read(pipe_fds[0], buffer, sizeof buffer)) > 0) result.err.append(buffer, got);
  close(pipe_fds[0]);
  int wait_status = 0;
  if (pid > 0 && waitpid(pid, &wait_status, 0) == pid && WIFEXITED(wait_status)) {
    result.status = WEXITSTATUS(wait_status);
  }
  return result;
}

class WalkTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir("/"), 0);
    fs::remove_all(queue_dir);
    fs::create_directories(kInfo);
    settings_reset();
    settings.now = kNow;
    settings.lastrun = kLastrun;
    settings.opt_age = kAge;
    settings.opt_debug = 1;
    dispatch_calls.clear();
    notices_refused = 0;
  }
  void TearDown() override {
    ASSERT_EQ(chdir("/"), 0);
    settings_reset();
  }
  // Walks the queue and returns what it wrote on standard error.
  static std::string walk() {
    testing::internal::CaptureStderr();
    scan_queue();
    return testing::internal::GetCapturedStderr();
  }
};

TEST(WindowTest, DueExactlyWhenLastrunBeforeExpiryAtOrBeforeNow) {
  struct Case {
    const char* name;
    int64_t expiry, lastrun, now;
    bool due;
  };
  const Case cases[] = {
      {"ExpiryEqualToNowIsDue", 1000, 500, 1000, true},
      {"ExpiryOneAfterNowIsNotDue", 1001, 500, 1000, false},
      {"ExpiryEqualToLastrunIsNotDue", 500, 500, 1000, false},
      {"ExpiryOneAfterLastrunIsDue", 501, 500, 1000, true},
      {"LastrunAfterNowNothingDue", 1500, 2000, 1000, false},
      {"LastrunAfterNowNothingDueBelow", 900, 2000, 1000, false},
      {"FirstRunTakesOldExpiry", 1, 0, 1000, true},
      {"NegativeExpiryAfterNegativeLastrun", -5, -10, 0, true},
      {"EmptyWindowWhenLastrunEqualsNow", 1000, 1000, 1000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(in_window(c.expiry, c.lastrun, c.now), c.due);
  }
}

TEST_F(WalkTest, WindowEdgesDecideEachMessage) {
  struct Case {
    const char* name;
    int32_t age;
    int64_t lastrun;
    int64_t mtime;
    std::string tail;  // the line after the expiry line; empty when the message is due
  };
  const std::string not_yet = line("ignoring, has not yet expired");
  const std::string previously = line("ignoring, was previously expired");
  const Case cases[] = {
      {"ExpiryEqualToNowIsDue", kAge, kLastrun, kNow - kAge, ""},
      {"ExpiryOneAfterNowHasNotYetExpired", kAge, kLastrun, kNow - kAge + 1, not_yet},
      {"ExpiryEqualToLastrunWasPreviouslyExpired", kAge, kLastrun, kLastrun - kAge, previously},
      {"ExpiryOneAfterLastrunIsDue", kAge, kLastrun, kLastrun - kAge + 1, ""},
      {"FirstRunTakesEveryOldMessage", kAge, 0, 1, ""},
      {"ClockWentBackLaterExpiryNotYet", kAge, kNow + 100, kNow - kAge + 50, not_yet},
      {"ClockWentBackEarlierExpiryPrevious", kAge, kNow + 100, kNow - kAge - 10, previously},
      {"ZeroAgeDueAtModificationTime", 0, kLastrun, kNow, ""},
      {"NegativeAgeMovesExpiryBack", -100, kLastrun, kNow + 50, ""},
      {"NegativeAgeStillHonoursNow", -100, kLastrun, kNow + 101, not_yet},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(kInfo);
    add_message("7/1065493", kInfoContent, c.mtime);
    settings.opt_age = c.age;
    settings.lastrun = c.lastrun;
    dispatch_calls.clear();
    std::string err = walk();
    EXPECT_EQ(err, expiry_line("7/1065493", c.mtime + c.age) + c.tail);
    if (c.tail.empty()) {
      ASSERT_EQ(dispatch_calls.size(), 1u);
      EXPECT_EQ(dispatch_calls[0].filename, "7/1065493");
      EXPECT_EQ(dispatch_calls[0].sender, "a@example.org");
    } else {
      EXPECT_TRUE(dispatch_calls.empty());
    }
  }
}

TEST_F(WalkTest, SenderIsTakenFromTheBytesAfterTheFirst) {
  struct Case {
    const char* name;
    std::string content;
    std::string sender;
  };
  const Case cases[] = {
      {"QmailFormat", std::string("Fops@example.org\0", 17), "ops@example.org"},
      {"NullSender", std::string("F\0", 2), ""},
      {"DoubleBounceSender", std::string("F#@[]\0", 6), "#@[]"},
      {"EmptyFileGivesEmptySender", "", ""},
      {"OneByteGivesEmptySender", "F", ""},
      {"MissingNulEndsAtLastByte", "Fops@example.org", "ops@example.org"},
      {"FirstByteNotExamined", std::string("Xops@x\0tail", 11), "ops@x"},
      {"BlanksAndQuotesKept", std::string("F\"a b\"@x\0", 9), "\"a b\"@x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(kInfo);
    add_message("0/23", c.content, kNow - kAge);
    dispatch_calls.clear();
    EXPECT_EQ(walk(), expiry_line("0/23", kNow));
    ASSERT_EQ(dispatch_calls.size(), 1u);
    EXPECT_EQ(dispatch_calls[0].sender, c.sender);
    EXPECT_TRUE(dispatch_calls[0].info_file_open);
  }
}

TEST_F(WalkTest, SenderRefusedByTheFilterIsNotDispatched) {
  // With -r, a sender without a domain is never in rcpthosts.
  settings.opt_rcpthosts_only = 1;
  add_message("3/77", std::string("Fnobody\0", 8), kNow - kAge);
  EXPECT_EQ(walk(), expiry_line("3/77", kNow) + line("ignoring, sender was not in rcpthosts"));
  EXPECT_TRUE(dispatch_calls.empty());
}

TEST_F(WalkTest, DebugLinesOnlyWithDebug) {
  settings.opt_debug = 0;
  add_message("0/1", kInfoContent, kNow - kAge);
  add_message("0/2", kInfoContent, kNow);
  add_message("0/3", kInfoContent, kLastrun - kAge);
  EXPECT_EQ(walk(), "");
  ASSERT_EQ(dispatch_calls.size(), 1u);
  EXPECT_EQ(dispatch_calls[0].filename, "0/1");
}

// Splits the debug output into one text per message, each beginning with its expiry line, and
// sorts them: the walk follows directory order, which the test does not know.
std::vector<std::string> per_message(const std::string& err) {
  std::vector<std::string> groups;
  size_t start = 0;
  while (start < err.size()) {
    size_t next = err.find("lagwatch: filename=", start + 1);
    if (next == std::string::npos) next = err.size();
    groups.push_back(err.substr(start, next - start));
    start = next;
  }
  std::sort(groups.begin(), groups.end());
  return groups;
}

TEST_F(WalkTest, EveryMessageOfEverySplitIsJudgedOnce) {
  std::vector<std::string> expected;
  for (int split = 0; split < 23; ++split) {
    for (int n = 0; n < 3; ++n) {
      std::string filename = std::to_string(split) + "/" + std::to_string(split + 23 * n);
      bool due = n == 0;
      add_message(filename, kInfoContent, due ? kNow - kAge : kNow);
      expected.push_back(expiry_line(filename, due ? kNow : kNow + kAge) +
                         (due ? "" : line("ignoring, has not yet expired")));
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(per_message(walk()), expected);
  EXPECT_EQ(dispatch_calls.size(), 23u);
  for (const dispatch_call& call : dispatch_calls) EXPECT_TRUE(call.info_file_open);
}

TEST_F(WalkTest, DotEntriesAreSkippedAtBothLevels) {
  struct Case {
    const char* name;
    std::string path;  // relative to info
    bool directory;
  };
  const Case cases[] = {
      {"DotFileInInfo", ".lock", false},
      {"DotDirectoryInInfo", ".old", true},
      {"DotDirectoryWithMessagesInInfo", ".new/5", false},
      {"DotFileInSplit", "0/.tmp", false},
      {"DotDirectoryInSplit", "0/.dir", true},
  };
  add_message("0/5", kInfoContent, kNow);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.directory) {
      fs::create_directories(kInfo + "/" + c.path);
    } else {
      add_message(c.path, kInfoContent, kNow - kAge);
    }
  }
  EXPECT_EQ(walk(), expiry_line("0/5", kNow + kAge) + line("ignoring, has not yet expired"));
  EXPECT_TRUE(dispatch_calls.empty());
}

TEST_F(WalkTest, EmptyQueueWalksWithoutOutput) {
  EXPECT_EQ(walk(), "");
  fs::create_directories(kInfo + "/0");
  fs::create_directories(kInfo + "/22");
  EXPECT_EQ(walk(), "");
  EXPECT_TRUE(dispatch_calls.empty());
}

TEST_F(WalkTest, MessageThatLeftTheQueueIsSkipped) {
  // Whichever of the two due messages the walk meets first, its dispatch removes the other, as
  // qmail removes a message between the listing of its split directory and the look at it.
  add_message("1/24", kInfoContent, kNow - kAge);
  add_message("1/25", kInfoContent, kNow - kAge);
  on_dispatch = [](const std::string& filename) {
    fs::remove(kInfo + "/" + (filename == "1/24" ? "1/25" : "1/24"));
  };
  const std::string err = walk();
  on_dispatch = nullptr;
  ASSERT_EQ(dispatch_calls.size(), 1u);
  const std::string first = dispatch_calls[0].filename;
  const std::string second = first == "1/24" ? "1/25" : "1/24";
  EXPECT_EQ(err,
            expiry_line(first, kNow) + line("ignoring " + second + ", message left the queue"));
}

TEST_F(WalkTest, NamesOfAnyLengthAreWalkedWhole) {
  // The longest names a directory entry can have; the filename is 511 bytes long.
  std::string split(255, '9');
  std::string name(255, '8');
  std::string filename = split + "/" + name;
  add_message(filename, kInfoContent, kNow - kAge);
  EXPECT_EQ(walk(), expiry_line(filename, kNow));
  ASSERT_EQ(dispatch_calls.size(), 1u);
  EXPECT_EQ(dispatch_calls[0].filename, filename);
}

TEST_F(WalkTest, InfoFileThatCannotBeOpenedEndsTheRunInAndOutsideTheWindow) {
  // The walk runs as the user nobody, to whom the mode refuses the file (root reads anything);
  // AsUser lets nobody reach the sandbox even when the build tree lies in /root.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand the file to root and walk as nobody";
  struct Case {
    const char* name;
    mode_t mode;
    int64_t mtime;
    int status;
    std::string err;
  };
  const std::string refused = std::string("lagwatch: Fatal: Can't open or stat info file ") +
                              "'info/9/8101': " + strerror(EACCES) + ".\n";
  const Case cases[] = {
      {"DueUnreadable", 0600, kNow - kAge, 111, refused},
      {"NotYetExpiredUnreadable", 0600, kNow, 111, refused},
      {"PreviouslyExpiredUnreadable", 0600, 1000, 111, refused},
      {"NoPermissionAtAll", 0, kNow, 111, refused},
      {"NotYetExpiredReadable", 0644, kNow, 0, ""},
      {"PreviouslyExpiredReadable", 0604, 1000, 0, ""},
  };
  settings.opt_debug = 0;
  const test_support::AsUser nobody(kSandbox, 65534, 65534);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(kInfo);
    add_message("9/8101", kInfoContent, c.mtime);
    ASSERT_EQ(chmod((kInfo + "/9/8101").c_str(), c.mode), 0);
    ASSERT_EQ(chown((kInfo + "/9/8101").c_str(), 0, 0), 0);
    child_result result = run_in_child([&nobody] {
      if (!nobody.enter()) _exit(6);
      scan_queue();
    });
    if (result.status == 6) GTEST_SKIP() << result.err;
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
  }
}

TEST_F(WalkTest, CheckMessageWorksFromTheQueueDirectory) {
  add_message("4/100", kInfoContent, kNow - kAge);
  ASSERT_EQ(chdir(queue_dir), 0);
  testing::internal::CaptureStderr();
  check_message("4/100");
  check_message("4/101");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            expiry_line("4/100", kNow) + line("ignoring 4/101, message left the queue"));
  ASSERT_EQ(dispatch_calls.size(), 1u);
  EXPECT_TRUE(dispatch_calls[0].info_file_open);
}

TEST_F(WalkTest, ScanSplitDirectoryWorksFromTheQueueDirectory) {
  add_message("6/200", kInfoContent, kNow);
  ASSERT_EQ(chdir(queue_dir), 0);
  testing::internal::CaptureStderr();
  scan_split_directory("6");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            expiry_line("6/200", kNow + kAge) + line("ignoring, has not yet expired"));
}

using WalkDeathTest = WalkTest;

TEST_F(WalkDeathTest, WalkFailures) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    int status;
    std::string err;
    std::function<void()> act = scan_queue;
  };
  const std::string fatal_prefix = "lagwatch: Fatal: ";
  // info/0 is a link to a directory that holds a due, well-formed info file 31.
  const auto link_split = [] {
    const std::string elsewhere = std::string(queue_dir) + "/elsewhere";
    put_file(elsewhere + "/31", kInfoContent);
    set_mtime(elsewhere + "/31", kNow - kAge);
    fs::create_symlink(elsewhere, kInfo + "/0");
  };
  const auto check_through_link = [] {
    ASSERT_EQ(chdir(queue_dir), 0);
    check_message("0/31");
  };
  const std::string link_refused =
      fatal_prefix + "Can't open or stat info file 'info/0/31': " + strerror(ELOOP) + ".\n";
  const Case cases[] = {
      {"PlainFileInInfo", [] { put_file(kInfo + "/12", "not a directory"); }, 111,
       fatal_prefix + "Can't open queue directory: " + strerror(ENOTDIR) + ".\n"},
      {"MissingInfoDirectory", [] { fs::remove_all(kInfo); }, 111,
       fatal_prefix + "Can't open queue directory: " + strerror(ENOENT) + ".\n"},
      {"InfoIsAPlainFile",
       [] {
         fs::remove_all(kInfo);
         put_file(kInfo, "");
       },
       111, fatal_prefix + "Can't open queue directory: " + strerror(ENOTDIR) + ".\n"},
      {"MissingQueueDirectory", [] { fs::remove_all(queue_dir); }, 1,
       fatal_prefix + "Could not chdir to '" + queue_dir + "': " + strerror(ENOENT) + ".\n"},
      {"InfoFileLinkLoop",
       [] {
         fs::create_directories(kInfo + "/0");
         fs::create_symlink("31", kInfo + "/0/31");
       },
       111, fatal_prefix + "Can't open or stat info file 'info/0/31': " + strerror(ELOOP) + ".\n"},
      {"DueDirectoryAmongMessages",
       [] {
         fs::create_directories(kInfo + "/0/32");
         set_mtime(kInfo + "/0/32", kNow - kAge);
       },
       111, fatal_prefix + "Can't open or stat info file 'info/0/32': not a regular file.\n"},
      {"DirectoryOutsideTheWindow",
       [] {
         fs::create_directories(kInfo + "/0/33");
         set_mtime(kInfo + "/0/33", kNow);
       },
       111, fatal_prefix + "Can't open or stat info file 'info/0/33': not a regular file.\n"},
      {"DanglingLink",
       [] {
         fs::create_directories(kInfo + "/2");
         fs::create_symlink("no-such-message", kInfo + "/2/25");
       },
       111, fatal_prefix + "Can't open or stat info file 'info/2/25': " + strerror(ELOOP) + ".\n"},
      {"InfoFileThroughALinkedSplitOutsideAWalk", link_split, 111, link_refused,
       check_through_link},
      // The way of a kernel without openat2.
      {"LinkedSplitOneComponentAtATime",
       [&link_split] {
         fd_set_one_component_at_a_time(true);
         link_split();
       },
       111, fatal_prefix + "Can't open queue directory: " + strerror(ELOOP) + ".\n"},
  };
  settings.opt_debug = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(queue_dir);
    fs::create_directories(kInfo);
    auto walk_in_child = [&c] {
      c.arrange();
      c.act();
    };
    // The analyzer follows gtest's child branch, which ends the process, and takes the
    // filesystem paths still alive there for leaks.
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks)
    EXPECT_EXIT(walk_in_child(), testing::ExitedWithCode(c.status), testing::Eq(c.err));
  }
}

TEST_F(WalkDeathTest, OverlongFilenameIsReportedNotOverflowed) {
  fs::create_directories(kInfo + "/0");  // a missing split would make the message one that left
  ASSERT_EQ(chdir(queue_dir), 0);
  std::string filename = "0/" + std::string(5000, '1');
  EXPECT_EXIT(check_message(filename.c_str()), testing::ExitedWithCode(111),
              testing::Eq("lagwatch: Fatal: Can't open or stat info file 'info/" + filename +
                          "': " + strerror(ENAMETOOLONG) + ".\n"));
}

class RunFileTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::remove_all(run_file_path);
    settings_reset();
    saved_umask_ = umask(022);
  }
  void TearDown() override {
    umask(saved_umask_);
    fs::remove_all(run_file_path);
    settings_reset();
  }
  mode_t saved_umask_ = 0;
};

TEST_F(RunFileTest, WritesNowInPlaceWithoutStaleDigits) {
  struct Case {
    const char* name;
    const char* old_content;  // null = no run file
    int64_t now;
    std::string expected;
  };
  const Case cases[] = {
      {"CreatedWhenMissing", nullptr, 1700000000, "1700000000"},
      {"ShorterValueLeavesNoStaleDigits", "170000000012345", 1700000000, "1700000000"},
      {"LineFeedOfOldValueRemoved", "1700000000\n", 1700003600, "1700003600"},
      {"LongerValueOverEmptyFile", "", 1700003600, "1700003600"},
      {"NegativeValue", "12", -5, "-5"},
      {"Zero", "1700000000", 0, "0"},
      {"LargestValue", "1", INT64_MAX, "9223372036854775807"},
      {"SmallestValue", "1", INT64_MIN, "-9223372036854775808"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(run_file_path);
    if (c.old_content != nullptr) put_file(run_file_path, c.old_content);
    settings.now = c.now;
    update_run_file();
    EXPECT_EQ(read_whole(run_file_path), c.expected);
  }
}

TEST_F(RunFileTest, NewFileGetsModeOfFopen) {
  settings.now = 42;
  update_run_file();
  struct stat status;
  ASSERT_EQ(stat(run_file_path, &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0644u);  // 0666 less the umask 022
}

TEST_F(RunFileTest, ExistingFileKeepsItsInodeAndMode) {
  put_file(run_file_path, "1700000000");
  ASSERT_EQ(chmod(run_file_path, 0620), 0);
  struct stat before;
  ASSERT_EQ(stat(run_file_path, &before), 0);
  settings.now = 1700003600;
  update_run_file();
  struct stat after;
  ASSERT_EQ(stat(run_file_path, &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_dev, before.st_dev);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(read_whole(run_file_path), "1700003600");
}

child_result update_under_file_size_limit(rlim_t limit) {
  return run_in_child([limit] {
    // The limit's signal ignored, so that a write beyond the limit fails with EFBIG instead.
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {limit, limit};
    if (setrlimit(RLIMIT_FSIZE, &rl) != 0) _exit(4);
    update_run_file();
  });
}

TEST_F(RunFileTest, FailedUpdateKeepsThePreviousValue) {
  struct Case {
    const char* name;
    const char* old_content;  // null = no run file
    rlim_t limit;
  };
  const Case cases[] = {
      {"NoRoomAtAll", "1234567890", 0},
      {"NoRoomLongerOldValue", "12345678901234", 0},
      {"NoRoomMissingFile", nullptr, 0},
      // Room for part of the digits only: nothing may be written, or the file would hold new
      // digits followed by old ones, a number that no run ever started at.
      {"RoomForPartOfTheDigits", "1234567890", 4},
      {"RoomForAllButOneDigit", "1234567890", 9},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(run_file_path);
    if (c.old_content != nullptr) put_file(run_file_path, c.old_content);
    settings.now = 1700003600;
    child_result result = update_under_file_size_limit(c.limit);
    EXPECT_EQ(result.status, 111);
    EXPECT_EQ(result.err, "lagwatch: Fatal: Could not update run file.\n");
    EXPECT_EQ(read_whole(run_file_path), c.old_content != nullptr ? c.old_content : "");
  }
}

TEST_F(RunFileTest, UpdateSucceedsWhenTheLimitLeavesRoom) {
  put_file(run_file_path, "1234567890");
  settings.now = 1700003600;
  child_result result = update_under_file_size_limit(10);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(read_whole(run_file_path), "1700003600");
}

using RunFileDeathTest = RunFileTest;

TEST_F(RunFileDeathTest, DirectoryInPlaceOfRunFileIsAFailure) {
  fs::create_directories(run_file_path);
  settings.now = 1700003600;
  EXPECT_EXIT(update_run_file(), testing::ExitedWithCode(111),
              testing::Eq("lagwatch: Fatal: Could not update run file.\n"));
  EXPECT_TRUE(fs::is_directory(run_file_path));
}

class RunTest : public WalkTest {
 protected:
  void SetUp() override {
    WalkTest::SetUp();
    settings.opt_debug = 0;
    fs::remove_all(control_dir);
    put_file(std::string(control_dir) + "/me", "mx.example.org\n");
    put_file(run_file_path, "1700000000");
    scratch_ = kSandbox + "/run-test";
    fs::remove_all(scratch_);
    fs::create_directories(scratch_);
  }
  void TearDown() override {
    notices_refused = 0;
    fs::remove_all(run_file_path);
    WalkTest::TearDown();
  }
  std::string scratch_;
};

TEST_F(RunTest, RunFileAfterTheWalk) {
  struct Case {
    const char* name;
    int no_send;
    uint32_t refused;
    int status;
    bool written;
  };
  const Case cases[] = {
      {"CompletedRunWritesNow", 0, 0, 0, true},
      {"PrintOnlyLeavesRunFile", 1, 0, 0, false},
      {"RefusedNoticesGiveStatus100AndStillWrite", 0, 2, 100, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put_file(run_file_path, "1700000000");
    add_message("0/1", kInfoContent, time(nullptr) - kAge - 10);
    settings_reset();
    settings.opt_no_send = c.no_send;
    notices_refused = c.refused;
    dispatch_calls.clear();
    EXPECT_EQ(run(0, nullptr), c.status);
    EXPECT_EQ(settings.lastrun, 1700000000);
    EXPECT_EQ(read_whole(run_file_path),
              c.written ? std::to_string(settings.now) : std::string("1700000000"));
    EXPECT_EQ(fs::current_path(), fs::path(queue_dir));
    ASSERT_EQ(dispatch_calls.size(), 1u);
    ASSERT_EQ(chdir("/"), 0);
  }
}

TEST_F(RunTest, RelativeTemplatePathNamesFileInStartDirectory) {
  put_file(scratch_ + "/template", "Custom %s %s %s\n");
  ASSERT_EQ(chdir(scratch_.c_str()), 0);
  settings.opt_bounce_file = "template";
  EXPECT_EQ(run(0, nullptr), 0);
  EXPECT_STREQ(settings.notice_template, "Custom %s %s %s\n");
}

using RunDeathTest = RunTest;

TEST_F(RunDeathTest, FailedRunLeavesRunFile) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::string err;
  };
  const std::string missing_template = kSandbox + "/run-test/absent";
  const std::string no_such_file = strerror(ENOENT);
  const Case cases[] = {
      {"TemplateFailsBeforeControlFiles",
       [missing_template] {
         fs::remove(std::string(control_dir) + "/me");
         settings.opt_bounce_file = missing_template.c_str();
       },
       "lagwatch: Fatal: Could not open '" + missing_template + "': " + no_such_file + ".\n"},
      {"MissingMe", [] { fs::remove(std::string(control_dir) + "/me"); },
       "lagwatch: Fatal: Could not read control/me.\n"},
      {"PlainFileInInfo", [] { put_file(kInfo + "/x", ""); },
       std::string("lagwatch: Fatal: Can't open queue directory: ") + strerror(ENOTDIR) + ".\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // What a child removes is gone for the next case too.
    put_file(std::string(control_dir) + "/me", "mx.example.org\n");
    auto run_then_die = [&c] {
      c.arrange();
      run(0, nullptr);
    };
    EXPECT_EXIT(run_then_die(), testing::ExitedWithCode(111), testing::Eq(c.err));
    EXPECT_EQ(read_whole(run_file_path), "1700000000");
  }
}

}  // namespace
}  // namespace lagwatch
