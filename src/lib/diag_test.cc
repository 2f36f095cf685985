#include "lib/diag.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "lib/outstream.h"

namespace lagwatch {
namespace {

const std::string kMissingDir = LAGWATCH_UNIT_SANDBOX "/no-such-directory";

TEST(DiagDeathTest, FatalLinesAndExitStatuses) {
  struct Case {
    const char* name;
    std::function<void()> die;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {"OutOfMemoryIs111", [] { die_oom(); }, 111, "lagwatch: Fatal: Out of memory.\n"},
      {"MissingWorkingDirectoryIsStatusOne", [] { chdir_or_die(kMissingDir.c_str()); }, 1,
       "lagwatch: Fatal: Could not chdir to '" + kMissingDir + "': " + strerror(ENOENT) + ".\n"},
      {"ErrnoTextBetweenLastPartAndPeriod",
       [] {
         errno = EACCES;
         fatal(111, "Can't open '", "info/0/12", "'", nullptr, nullptr, nullptr, 1);
       },
       111, std::string("lagwatch: Fatal: Can't open 'info/0/12': ") + strerror(EACCES) + ".\n"},
      {"LastPartEndingInPeriodShowsTwo",
       [] { fatal(111, "Ends with a period.", nullptr, nullptr, nullptr, nullptr, nullptr, 0); },
       111, "lagwatch: Fatal: Ends with a period..\n"},
      {"AllSixPartsInOrder", [] { fatal(111, "1", "2", "3", "4", "5", "6", 0); }, 111,
       "lagwatch: Fatal: 123456.\n"},
      {"FailedStderrStillExitsWithStatus",
       [] {
         out_stderr.flags |= OUTSTREAM_ERROR;
         fatal(111, "lost", nullptr, nullptr, nullptr, nullptr, nullptr, 0);
       },
       111, ""},
      {"CLibraryStreamsAreFlushedAtExit",
       [] {
         static char buffer[BUFSIZ];
         setvbuf(stderr, buffer, _IOFBF, sizeof buffer);
         fputs("pending", stderr);
         fatal(111, "X", nullptr, nullptr, nullptr, nullptr, nullptr, 0);
       },
       111, "lagwatch: Fatal: X.\npending"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(c.die(), testing::ExitedWithCode(c.status), testing::Eq(c.err));
  }
}

std::string captured;
long capture_and_clobber_errno(int /*fd*/, const char* bytes, uint32_t n) {
  captured.append(bytes, n);
  errno = EIO;
  return n;
}

// Routes out_stderr into `captured` for one test, with `prefill` bytes already buffered.
struct StderrCapture {
  outstream saved = out_stderr;
  explicit StderrCapture(uint32_t prefill) {
    captured.clear();
    out_stderr.write_fn = capture_and_clobber_errno;
    std::string fill(prefill, '.');
    outstream_write(&out_stderr, fill.data(), prefill);
  }
  ~StderrCapture() { out_stderr = saved; }
};

TEST(DiagTest, ReportedErrorsAreOneFlushedLine) {
  struct Case {
    const char* name;
    uint32_t prefill;
    int error;
    std::function<void()> report;
    std::string err;
  };
  const Case cases[] = {
      {"PartsThenTwoPeriods", 0, 0,
       [] {
         report_error("Option --", "help", " does not take a value.", nullptr, nullptr, nullptr, 0);
       },
       "lagwatch: Error: Option --help does not take a value..\n"},
      {"ErrnoText", 0, ENOENT,
       [] { report_error("Can't read '", "me", "'", nullptr, nullptr, nullptr, 1); },
       std::string("lagwatch: Error: Can't read 'me': ") + strerror(ENOENT) + ".\n"},
      // The buffer fills during the line, so a write happens before the error text is looked
      // up; the text must still be the caller's.
      {"ErrnoTakenBeforeAnyWrite", 4090, EACCES,
       [] { write_diagnostic("Fatal", "x", nullptr, nullptr, nullptr, nullptr, nullptr, 1); },
       std::string(4090, '.') + "lagwatch: Fatal: x: " + strerror(EACCES) + ".\n"},
      {"AbsentPartsAreSkipped", 0, 0,
       [] { report_error(nullptr, "a", nullptr, "b", nullptr, "c", 0); },
       "lagwatch: Error: abc.\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StderrCapture capture(c.prefill);
    errno = c.error;
    c.report();
    EXPECT_EQ(errno, c.error);
    EXPECT_EQ(captured, c.err);
    EXPECT_EQ(out_stderr.length, 0u);  // nothing left behind in the buffer
  }
}

TEST(DiagTest, ChdirOrDieEntersDirectory) {
  char before[PATH_MAX];
  ASSERT_NE(getcwd(before, sizeof before), nullptr);
  chdir_or_die("/");
  char after[PATH_MAX];
  ASSERT_NE(getcwd(after, sizeof after), nullptr);
  EXPECT_STREQ(after, "/");
  ASSERT_EQ(chdir(before), 0);
}

// Runs `call` with descriptor 2 on a pipe and returns what arrived.
std::string stderr_of(const std::function<void()>& call) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  int saved = dup(2);
  if (saved == -1 || dup2(fds[1], 2) == -1) return "dup failed";
  close(fds[1]);
  call();
  fflush(stderr);
  if (dup2(saved, 2) == -1) return "restoring stderr failed";
  close(saved);
  std::string got;
  char block[4096];
  ssize_t n;
  while ((n = read(fds[0], block, sizeof block)) > 0) got.append(block, static_cast<size_t>(n));
  close(fds[0]);
  return got;
}

TEST(DiagTest, DebugLines) {
  static const std::string kLong(10000, 'a');
  struct Case {
    const char* name;
    std::function<void()> call;
    std::string err;
  };
  const Case cases[] = {
      {"PrefixFormatAndLineFeed", [] { debug_line("skipping %s, age %d", "0/123", 5); },
       "lagwatch: skipping 0/123, age 5\n"},
      {"LongLineIsWhole", [] { debug_line("%s!", kLong.c_str()); }, "lagwatch: " + kLong + "!\n"},
      {"EmptyText", [] { debug_line("%s", ""); }, "lagwatch: \n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    errno = EPERM;
    EXPECT_EQ(stderr_of(c.call), c.err);
    EXPECT_EQ(errno, EPERM);
  }
}

}  // namespace
}  // namespace lagwatch
