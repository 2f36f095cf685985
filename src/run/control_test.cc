#include "run/control.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "run/conf.h"
#include "run/settings.h"

namespace lagwatch {
namespace {

namespace fs = std::filesystem;

const std::string kSandbox = LAGWATCH_UNIT_SANDBOX;
const std::string kScratch = kSandbox + "/control-test";

// What a test puts in place of a file: nothing, a file with these bytes, or a directory.
enum Shape { kMissing, kFile, kDirectory };

void put_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

void put(const std::string& path, Shape shape, const std::string& bytes) {
  fs::remove_all(path);
  if (shape == kFile) put_file(path, bytes);
  if (shape == kDirectory) fs::create_directories(path);
}

class ControlTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir("/"), 0);
    fs::remove_all(kScratch);
    fs::create_directories(kScratch);
    fs::remove_all(control_dir);
    fs::create_directories(control_dir);
    fs::remove_all(run_file_path);
    settings_reset();
  }
  void TearDown() override {
    ASSERT_EQ(chdir("/"), 0);
    settings_reset();
  }
  static std::string scratch(const char* name) { return kScratch + "/" + name; }
  static std::string control(const char* name) { return std::string(control_dir) + "/" + name; }
};

TEST_F(ControlTest, ReadControlFileGivesBytesReadAndNeverNull) {
  struct Case {
    const char* name;
    Shape shape;
    std::string content;
    std::string expected;
  };
  const Case cases[] = {
      {"MissingFileIsEmptyText", kMissing, "", ""},
      {"EmptyFileIsEmptyText", kFile, "", ""},
      {"WholeContentWithFinalLineFeed", kFile, "alpha\nbeta\n", "alpha\nbeta\n"},
      {"NulBytesAreKept", kFile, std::string("T a\0D b\0", 8), std::string("T a\0D b\0", 8)},
      {"NoFinalLineFeed", kFile, "x", "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put(scratch("f"), c.shape, c.content);
    uint32_t length = 12345;
    char* text = read_control_file(kScratch.c_str(), "f", &length);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(length, c.expected.size());
    EXPECT_EQ(std::string(text, length), c.expected);
    EXPECT_EQ(text[length], '\0');
    free(text);
  }
}

using ControlDeathTest = ControlTest;

// A missing file is the empty text; a file that exists but cannot be read ends the run, as
// qmail's own control readers make the difference.
TEST_F(ControlDeathTest, UnreadableControlFileEndsTheRun) {
  put_file(scratch("secret"), "hidden");
  ASSERT_EQ(chmod(scratch("secret").c_str(), 0), 0);
  fs::create_directories(scratch("dir"));
  struct Case {
    const char* name;
    const char* file;
    bool drop_root;  // root reads any file, so the read happens as nobody
    int error;
  };
  const Case cases[] = {
      {"NoReadPermission", "secret", true, EACCES},
      {"Directory", "dir", false, EISDIR},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto read_it = [&c] {
      if (c.drop_root && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(2);
      read_control_file(kScratch.c_str(), c.file);
    };
    // The analyzer follows gtest's child branch, which ends the process, and takes the
    // strings still alive there for leaks.
    // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDeleteLeaks)
    EXPECT_EXIT(read_it(), testing::ExitedWithCode(111),
                testing::Eq("lagwatch: Fatal: Could not read '" + kScratch + "/" + c.file +
                            "': " + strerror(c.error) + ".\n"));
  }
}

TEST_F(ControlTest, OpenControlFileJoinsDirectoryAndName) {
  put_file(scratch("one"), "1");
  fs::create_directories(scratch("sub"));
  put_file(scratch("sub") + "/two", "2");
  struct Case {
    const char* name;
    std::string dir;  // "" = no directory
    std::string file;
    int expected_byte;  // -1 = the open fails
  };
  const Case cases[] = {
      {"DirectoryAndName", kScratch, "one", '1'},
      {"DirectoryEndingInSlash", kScratch + "/", "one", '1'},
      {"AbsoluteNameWithoutDirectory", "", scratch("one"), '1'},
      {"NameWithSlashInsideDirectory", kScratch, "sub/two", '2'},
      {"MissingFileGivesMinusOne", kScratch, "absent", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int fd = open_control_file(c.dir.empty() ? nullptr : c.dir.c_str(), c.file.c_str());
    if (c.expected_byte == -1) {
      EXPECT_EQ(fd, -1);
      EXPECT_EQ(errno, ENOENT);
      continue;
    }
    ASSERT_NE(fd, -1);
    char byte = 0;
    EXPECT_EQ(read(fd, &byte, 1), 1);
    EXPECT_EQ(byte, c.expected_byte);
    close(fd);
  }
}

TEST_F(ControlTest, TwoOpensInARowGiveIndependentDescriptors) {
  fs::create_directories(scratch("a"));
  fs::create_directories(scratch("b"));
  put_file(scratch("a") + "/n", "from a");
  put_file(scratch("b") + "/n", "from b, longer path buffer use");
  std::string dir_a = scratch("a");
  std::string dir_b = scratch("b");
  int fd_a = open_control_file(dir_a.c_str(), "n");
  int fd_b = open_control_file(dir_b.c_str(), "n");
  ASSERT_NE(fd_a, -1);
  ASSERT_NE(fd_b, -1);
  char buffer[64] = {};
  ASSERT_EQ(read(fd_a, buffer, sizeof buffer), 6);
  EXPECT_STREQ(buffer, "from a");
  char other[64] = {};
  ASSERT_EQ(read(fd_b, other, sizeof other), 30);
  EXPECT_STREQ(other, "from b, longer path buffer use");
  close(fd_a);
  close(fd_b);
}

TEST_F(ControlTest, ReadControlLineKeepsAllButTheFirstLineFeed) {
  struct Case {
    const char* name;
    Shape shape;
    std::string content;
    std::string expected;
  };
  const Case cases[] = {
      {"LineFeedRemoved", kFile, "mail.example.org\n", "mail.example.org"},
      {"CarriageReturnKept", kFile, "mail.example.org\r\n", "mail.example.org\r"},
      {"BlanksAndTabsKept", kFile, " \thost \n", " \thost "},
      {"OnlyFirstLine", kFile, "first\nsecond\n", "first"},
      {"EmptyFirstLine", kFile, "\nsecond\n", ""},
      {"NoLineFeed", kFile, "host", "host"},
      {"NulEndsTheText", kFile, std::string("ho\0st\n", 6), "ho"},
      {"MissingFile", kMissing, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put(scratch("line"), c.shape, c.content);
    char* text = read_control_line(scratch("line").c_str());
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), c.expected);
    free(text);
  }
}

TEST_F(ControlTest, ReadControlLongReadsLikeStrtolWithDefault) {
  struct Case {
    const char* name;
    Shape shape;
    std::string content;
    int64_t expected;
  };
  const int64_t kDefault = 604800;
  const Case cases[] = {
      {"Digits", kFile, "86400", 86400},
      {"DigitsAndLineFeed", kFile, "86400\n", 86400},
      {"LeadingBlank", kFile, " 86400", 86400},
      {"LeadingTab", kFile, "\t5", 5},
      {"PlusSign", kFile, "+86400", 86400},
      {"MinusOne", kFile, "-1", -1},
      {"TrailingLetter", kFile, "86400x", kDefault},
      {"TrailingBlank", kFile, "86400 ", kDefault},
      {"TrailingCarriageReturn", kFile, "86400\r\n", kDefault},
      {"OnlyFirstLineCounts", kFile, "12\njunk", 12},
      {"EmptyFile", kFile, "", kDefault},
      {"EmptyFirstLine", kFile, "\n86400\n", kDefault},
      {"OnlyBlanks", kFile, "   ", kDefault},
      {"SignAlone", kFile, "-", kDefault},
      {"Letters", kFile, "abc", kDefault},
      {"MissingFile", kMissing, "", kDefault},
      {"Int64Max", kFile, "9223372036854775807", INT64_MAX},
      {"Int64Min", kFile, "-9223372036854775808", INT64_MIN},
      {"BeyondInt64ClampsToMax", kFile, "99999999999999999999", INT64_MAX},
      {"BeyondInt64NegativeClampsToMin", kFile, "-99999999999999999999", INT64_MIN},
      {"LeadingZeros", kFile, "007", 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put(scratch("number"), c.shape, c.content);
    EXPECT_EQ(read_control_long(scratch("number").c_str(), kDefault), c.expected);
  }
}

// Control files as load_config finds them.
struct ControlFiles {
  const char* me;             // null = missing
  const char* queuelifetime;  // null = missing
  const char* run_file;       // null = missing
};

void put_control_files(const ControlFiles& files) {
  std::string dir = control_dir;
  fs::remove(dir + "/me");
  fs::remove(dir + "/queuelifetime");
  fs::remove(run_file_path);
  if (files.me != nullptr) put_file(dir + "/me", files.me);
  if (files.queuelifetime != nullptr) put_file(dir + "/queuelifetime", files.queuelifetime);
  if (files.run_file != nullptr) put_file(run_file_path, files.run_file);
}

TEST_F(ControlTest, LoadConfigReadsControlValuesAndRunFile) {
  struct Case {
    const char* name;
    ControlFiles files;
    std::string me;
    int64_t queuelifetime;
    int64_t lastrun;
  };
  const Case cases[] = {
      {"AllPresent",
       {"mx.example.org\n", "86400\n", "1700000000"},
       "mx.example.org",
       86400,
       1700000000},
      {"DefaultsWhenMissing", {"mx", nullptr, nullptr}, "mx", 604800, 0},
      {"DefaultsWhenEmpty", {"mx", "", ""}, "mx", 604800, 0},
      {"CarriageReturnStaysInMe", {"mx\r\n", "3600", "5\n"}, "mx\r", 3600, 5},
      {"RunFileLaterLinesIgnored", {"mx", "3600", "170000\nx"}, "mx", 3600, 170000},
      {"BlanksBeforeRunFileNumber", {"mx", "3600", "  42"}, "mx", 3600, 42},
      {"NegativeRunFile", {"mx", "3600", "-42"}, "mx", 3600, -42},
      {"SecondLineOfMeIgnored", {"first\nsecond\n", nullptr, nullptr}, "first", 604800, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put_control_files(c.files);
    settings_reset();
    int64_t before = time(nullptr);
    load_config();
    int64_t after = time(nullptr);
    EXPECT_EQ(std::string(settings.me), c.me);
    EXPECT_EQ(settings.queuelifetime, c.queuelifetime);
    EXPECT_EQ(settings.lastrun, c.lastrun);
    EXPECT_GE(settings.now, before);
    EXPECT_LE(settings.now, after);
    EXPECT_EQ(settings.extra_rcpt, nullptr);
    EXPECT_EQ(fs::current_path(), fs::path(control_dir));
  }
}

TEST_F(ControlTest, LoadConfigQualifiesTheExtraRecipient) {
  struct Case {
    const char* name;
    const char* opt_extra_rcpt;
    const char* expected;  // null = no extra recipient
    bool same_text;        // the option's own text is used
  };
  const Case cases[] = {
      {"AbsentGivesNone", nullptr, nullptr, false},
      {"EmptyGivesNone", "", nullptr, false},
      {"BareNameGetsMe", "postmaster", "postmaster@mx.example.org", false},
      {"AddressUsedUnchanged", "ops@example.net", "ops@example.net", true},
      {"AtAtEndUsedUnchanged", "ops@", "ops@", true},
      {"AtAtStartUsedUnchanged", "@example.net", "@example.net", true},
  };
  put_control_files({"mx.example.org\n", nullptr, nullptr});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings_reset();
    settings.opt_extra_rcpt = c.opt_extra_rcpt;
    load_config();
    if (c.expected == nullptr) {
      EXPECT_EQ(settings.extra_rcpt, nullptr);
      continue;
    }
    ASSERT_NE(settings.extra_rcpt, nullptr);
    EXPECT_STREQ(settings.extra_rcpt, c.expected);
    EXPECT_EQ(settings.extra_rcpt == c.opt_extra_rcpt, c.same_text);
  }
}

TEST_F(ControlTest, LoadConfigDebugLinesInOrder) {
  struct Case {
    const char* name;
    const char* opt_extra_rcpt;
    int32_t opt_age;
    std::string extra_text;
  };
  const Case cases[] = {
      {"NoExtraRecipientReadsNull", nullptr, 14400, "(null)"},
      {"QualifiedExtraRecipient", "ops", 14400, "ops@mx"},
      {"NegativeAgeKeepsItsSign", nullptr, -60, "(null)"},
  };
  put_control_files({"mx\n", "86400", "1700000000\n"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    settings_reset();
    settings.opt_debug = 1;
    settings.opt_extra_rcpt = c.opt_extra_rcpt;
    settings.opt_age = c.opt_age;
    testing::internal::CaptureStderr();
    load_config();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err,
              "lagwatch: me='mx'\n"
              "lagwatch: queuelifetime=86400\n"
              "lagwatch: extra_rcpt='" +
                  c.extra_text +
                  "'\n"
                  "lagwatch: now=" +
                  std::to_string(settings.now) +
                  "\n"
                  "lagwatch: lastrun=1700000000\n"
                  "lagwatch: opt_age=" +
                  std::to_string(c.opt_age) + "\n");
  }
}

TEST_F(ControlTest, LoadConfigWithoutDebugWritesNothing) {
  put_control_files({"mx\n", nullptr, nullptr});
  testing::internal::CaptureStderr();
  load_config();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST_F(ControlDeathTest, LoadConfigFailures) {
  struct Case {
    const char* name;
    ControlFiles files;
    bool remove_control_dir;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {"MissingMe",
       {nullptr, "3600", nullptr},
       false,
       111,
       "lagwatch: Fatal: Could not read control/me.\n"},
      {"EmptyMe",
       {"", "3600", nullptr},
       false,
       111,
       "lagwatch: Fatal: Could not read control/me.\n"},
      {"EmptyFirstLineOfMe",
       {"\nmx\n", "3600", nullptr},
       false,
       111,
       "lagwatch: Fatal: Could not read control/me.\n"},
      {"MissingControlDirectory",
       {nullptr, nullptr, nullptr},
       true,
       1,
       std::string("lagwatch: Fatal: Could not chdir to '") + control_dir +
           "': " + strerror(ENOENT) + ".\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::create_directories(control_dir);
    put_control_files(c.files);
    if (c.remove_control_dir) fs::remove_all(control_dir);
    EXPECT_EXIT(load_config(), testing::ExitedWithCode(c.status), testing::Eq(c.err));
  }
}

TEST_F(ControlTest, LoadBounceFileMakesTheWholeFileTheTemplate) {
  struct Case {
    const char* name;
    std::string content;
    std::string expected;
  };
  const Case cases[] = {
      {"EmptyFileGivesEmptyTemplate", "", ""},
      {"WholeContent", "Host %s, age %s, life %s.\n", "Host %s, age %s, life %s.\n"},
      {"NulEndsTheTemplate", std::string("ab\0cd", 5), "ab"},
      {"NoFinalLineFeed", "text", "text"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    put_file(scratch("template"), c.content);
    settings_reset();
    load_bounce_file(scratch("template").c_str());
    EXPECT_EQ(std::string(settings.notice_template), c.expected);
    EXPECT_NE(settings.notice_template, default_notice_template);
  }
}

TEST_F(ControlTest, LoadBounceFileRelativePathUsesCurrentDirectory) {
  put_file(scratch("relative"), "from the start directory");
  ASSERT_EQ(chdir(kScratch.c_str()), 0);
  load_bounce_file("relative");
  EXPECT_STREQ(settings.notice_template, "from the start directory");
}

TEST_F(ControlDeathTest, LoadBounceFileFailures) {
  fs::create_directories(scratch("a-directory"));
  struct Case {
    const char* name;
    std::string path;
    std::string err;
  };
  const std::string missing = scratch("absent");
  const std::string directory = scratch("a-directory");
  const Case cases[] = {
      {"MissingFile", missing,
       "lagwatch: Fatal: Could not open '" + missing + "': " + strerror(ENOENT) + ".\n"},
      {"EmptyPath", "",
       std::string("lagwatch: Fatal: Could not open '': ") + strerror(ENOENT) + ".\n"},
      {"DirectoryCannotBeReadWhole", directory,
       "lagwatch: Fatal: Could not read the bounce response file..\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(load_bounce_file(c.path.c_str()), testing::ExitedWithCode(111), testing::Eq(c.err));
  }
}

#if defined(__SANITIZE_ADDRESS__)
#define LAGWATCH_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LAGWATCH_UNDER_ASAN 1
#endif
#endif

TEST_F(ControlDeathTest, LoadBounceFileWithoutMemoryForTheTemplate) {
#ifdef LAGWATCH_UNDER_ASAN
  GTEST_SKIP() << "AddressSanitizer needs its address space and aborts on failed allocations";
#else
  // A sparse file larger than the address space the child is allowed.
  const std::string big = scratch("big");
  int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_NE(fd, -1);
  ASSERT_EQ(ftruncate(fd, off_t{1} << 32), 0);
  close(fd);
  auto load_with_little_memory = [&big] {
    struct rlimit limit = {rlim_t{1} << 30, rlim_t{1} << 30};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
    load_bounce_file(big.c_str());
  };
  EXPECT_EXIT(
      load_with_little_memory(), testing::ExitedWithCode(111),
      testing::Eq(
          "lagwatch: Fatal: Could not allocate bytes for loading bounce response file..\n"));
  fs::remove(big);
#endif
}

}  // namespace
}  // namespace lagwatch
