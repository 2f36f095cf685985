#include "relay/relay.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "lib/bytestr.h"
#include "lib/cdbreader.h"
#include "lib/fileio.h"
#include "run/settings.h"

namespace lagwatch {
namespace {

// What morercpthosts.cdb is in a case.
struct CdbFile {
  enum Kind { kNone, kBuilt, kRaw } kind = kNone;
  std::vector<std::string> keys;  // kBuilt: the keys given to the tinycdb writer
  std::string bytes;              // kRaw: exact bytes
};

CdbFile no_cdb() { return {}; }
CdbFile built_cdb(std::vector<std::string> keys) { return {CdbFile::kBuilt, std::move(keys), ""}; }
CdbFile raw_cdb(std::string bytes) { return {CdbFile::kRaw, {}, std::move(bytes)}; }

void write_bytes(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  f.close();
  EXPECT_TRUE(f.good()) << path;
}

std::string read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Builds `path` from `keys` (each with the data "1") with the tinycdb writer.
void build_cdb(const std::string& path, const std::vector<std::string>& keys) {
  std::string text;
  for (const std::string& k : keys) {
    text.append("+").append(std::to_string(k.size())).append(",1:").append(k).append("->1\n");
  }
  text += "\n";
  const std::string in = path + ".in";
  const std::string tmp = path + ".tmp";
  write_bytes(in, text);
  const pid_t pid = fork();
  if (pid == 0) {
    execlp("cdb", "cdb", "-c", "-t", tmp.c_str(), path.c_str(), in.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "cdb -c failed for " << path;
}

// Counts the positioned reads of the cdb reader.
int cdb_reads = 0;
long counting_read(int fd, char* buf, uint32_t n) {
  ++cdb_reads;
  return read(fd, buf, n);
}

// Every allocation through the byte-string allocator fails.
void* no_memory(unsigned long) { return nullptr; }

// Two anonymous pages, unmapped when the test leaves its scope.
struct GuardedPages {
  explicit GuardedPages(size_t page) : size(2 * page) {
    // An anonymous mapping takes no file: the descriptor argument is -1 by convention.
    // cppcheck-suppress invalidFunctionArg
    area = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  }
  ~GuardedPages() {
    if (area != MAP_FAILED) munmap(area, size);
  }
  GuardedPages(const GuardedPages&) = delete;
  GuardedPages& operator=(const GuardedPages&) = delete;
  size_t size;
  void* area;
};

// Each test runs in a fresh directory standing in for qmail's control directory, with -r set
// and the filter's state forgotten before and after.
class RelayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(LAGWATCH_UNIT_SANDBOX);
    std::string pattern = std::string(LAGWATCH_UNIT_SANDBOX) + "/relay-XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << strerror(errno);
    dir_ = pattern;
    old_cwd_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    settings_reset();
    relay_reset();
  }

  void TearDown() override {
    relay_reset();
    settings_reset();
    fd_set_read_fn(nullptr);
    bytestr_set_allocator(nullptr);
    std::filesystem::current_path(old_cwd_);
    std::filesystem::remove_all(dir_);
  }

  // Lays out the control files and loads them with -r. A null `rcpthosts` leaves it missing.
  void load(const std::optional<std::string>& rcpthosts, const CdbFile& cdb) {
    relay_reset();
    std::filesystem::remove(dir_ + "/rcpthosts");
    std::filesystem::remove(dir_ + "/morercpthosts.cdb");
    if (rcpthosts) write_bytes(dir_ + "/rcpthosts", *rcpthosts);
    if (cdb.kind == CdbFile::kBuilt) build_cdb(dir_ + "/morercpthosts.cdb", cdb.keys);
    if (cdb.kind == CdbFile::kRaw) write_bytes(dir_ + "/morercpthosts.cdb", cdb.bytes);
    settings.opt_rcpthosts_only = 1;
    load_relay_domains();
  }

  std::string dir_;
  std::filesystem::path old_cwd_;
};

TEST_F(RelayTest, WithoutTheOptionEverySenderPasses) {
  // Nothing is loaded, and no control file exists that could be consulted.
  const char* senders[] = {"alice@example.org", "", "no-at-sign", "trailing@", "@"};
  for (const char* sender : senders) {
    EXPECT_EQ(check_sender(sender), 1) << "'" << sender << "'";
  }
}

TEST_F(RelayTest, WithTheOptionOnlyListedDomainsPass) {
  struct Case {
    const char* name;
    std::optional<std::string> rcpthosts;
    CdbFile cdb;
    std::string sender;
    int want;
  };
  const Case cases[] = {
      {"MissingRcpthostsRefusesAll", std::nullopt, no_cdb(), "alice@example.org", 0},
      {"EmptyRcpthostsRefusesAll", "", no_cdb(), "alice@example.org", 0},
      {"ExactDomainPasses", "example.org\n", no_cdb(), "alice@example.org", 1},
      {"OtherDomainIsRefused", "example.org\n", no_cdb(), "alice@example.net", 0},
      {"SenderWithoutAtIsRefused", "example.org\n\n", no_cdb(), "example.org", 0},
      {"EmptySenderIsRefusedEvenWithEmptyKey", "\n", no_cdb(), "", 0},
      {"OtherLetterCaseIsRefused", "EXAMPLE.ORG\n", no_cdb(), "alice@example.org", 0},
      {"TrailingBlankIsPartOfTheKey", "example.org \n", no_cdb(), "alice@example.org", 0},
      {"TrailingBlankMatchesItsOwnBytes", "example.org \n", no_cdb(), "alice@example.org ", 1},
      {"CarriageReturnIsPartOfTheKey", "example.org\r\n", no_cdb(), "alice@example.org", 0},
      {"CarriageReturnMatchesItsOwnBytes", "example.org\r\n", no_cdb(), "alice@example.org\r", 1},
      {"LeadingBlankIsKept", " example.org\n", no_cdb(), "alice@example.org", 0},
      {"CommentLineIsSkipped", "#b.c\n", no_cdb(), "x@b.c", 0},
      {"CommentLineIsNotAKey", "#b.c\n", no_cdb(), "x@#b.c", 0},
      {"HashAfterABlankIsAnOrdinaryByte", " #b.c\n", no_cdb(), "x@ #b.c", 1},
      {"HashInsideALineIsAnOrdinaryByte", "b#c\n", no_cdb(), "x@b#c", 1},
      {"LastLineWithoutNewlineCounts", "one.example\nexample.org", no_cdb(), "a@example.org", 1},
      {"OnlyLineWithoutNewlineCounts", "example.org", no_cdb(), "a@example.org", 1},
      {"LineAfterACommentCounts", "#x\nexample.org\n", no_cdb(), "a@example.org", 1},
      {"FileOfOneNewlineHoldsTheEmptyKey", "\n", no_cdb(), "alice@", 1},
      {"EmptyMiddleLineIsTheEmptyKey", "a.example\n\nb.example\n", no_cdb(), "alice@", 1},
      {"FinalNewlineAddsNoEmptyKey", "example.org\n", no_cdb(), "alice@", 0},
      {"AtAsLastByteWithoutEmptyKey", "example.org\n", no_cdb(), "example.org@", 0},
      {"TextEndsAtItsFirstNul", std::string("example.org\0other.org\n", 22), no_cdb(),
       "a@other.org", 0},
      {"LineBeforeTheNulCounts", std::string("x\nexample.org\0other.org\n", 24), no_cdb(),
       "a@example.org", 1},
      {"LineCutByTheNulIsItsBytesBeforeIt", std::string("exam\0ple.org\n", 13), no_cdb(), "a@exam",
       1},
      {"DuplicateLineStillMatches", "example.org\nexample.org\n", no_cdb(), "a@example.org", 1},
      // Candidates of "a.b.c": "a.b.c", ".b.c", ".c".
      {"DotParentMatchesSubdomain", ".b.c\n", no_cdb(), "x@a.b.c", 1},
      {"DotTopMatchesSubdomain", ".c\n", no_cdb(), "x@a.b.c", 1},
      {"BareParentDoesNotMatchSubdomain", "b.c\n", no_cdb(), "x@a.b.c", 0},
      {"DotParentDoesNotMatchItself", ".b.c\n", no_cdb(), "x@b.c", 0},
      {"BareTopIsNoCandidate", "c\n", no_cdb(), "x@a.b.c", 0},
      // Text "x@b.c" after the first "@": "x@b.c", ".c".
      {"SecondAtStaysInTheDomain", "x@b.c\n", no_cdb(), "y@x@b.c", 1},
      {"SecondAtDomainSuffix", ".c\n", no_cdb(), "y@x@b.c", 1},
      {"SecondAtSkipsTheMiddle", "b.c\n", no_cdb(), "y@x@b.c", 0},
      // Text ".c": only ".c".
      {"LeadingDotDomainIsItsOnlyCandidate", ".c\n", no_cdb(), "x@.c", 1},
      {"LeadingDotDomainHasNoBareCandidate", "c\n", no_cdb(), "x@.c", 0},
      // Text "b.c.": "b.c.", ".c.", ".".
      {"TrailingDotDomainExact", "b.c.\n", no_cdb(), "x@b.c.", 1},
      {"TrailingDotDomainMiddle", ".c.\n", no_cdb(), "x@b.c.", 1},
      {"TrailingDotDomainLoneDot", ".\n", no_cdb(), "x@b.c.", 1},
      {"TrailingDotDomainIsNotTheBareDomain", "b.c\n", no_cdb(), "x@b.c.", 0},
      // Text "a..b": "a..b", "..b", ".b".
      {"DoubleDotSecondCandidate", "..b\n", no_cdb(), "x@a..b", 1},
      {"DoubleDotThirdCandidate", ".b\n", no_cdb(), "x@a..b", 1},
      {"DoubleDotBareTop", "b\n", no_cdb(), "x@a..b", 0},
      // morercpthosts.cdb.
      {"CdbExactDomainPasses", "", built_cdb({"example.net", ".example.com"}), "a@example.net", 1},
      {"CdbDotParentPasses", "", built_cdb({"example.net", ".example.com"}), "a@mail.example.com",
       1},
      {"CdbDotParentIsNotTheBareDomain", "", built_cdb({"example.net", ".example.com"}),
       "a@example.com", 0},
      {"CdbOtherLetterCaseIsRefused", "", built_cdb({"example.net"}), "a@EXAMPLE.NET", 0},
      {"CdbEmptyKeyPassesAtAsLastByte", "", built_cdb({""}), "alice@", 1},
      {"CdbSenderWithoutAtIsRefused", "", built_cdb({"example.net"}), "example.net", 0},
      {"CdbAndRcpthostsBothCount", "example.org\n", built_cdb({"example.net"}), "a@example.org", 1},
      {"EmptyCdbCountsAsListed", "", raw_cdb(""), "a@anything.example", 1},
      {"EmptyCdbStillNeedsAnAt", "", raw_cdb(""), "anything.example", 0},
      {"EmptyCdbPassesTheEmptyDomain", "", raw_cdb(""), "a@", 1},
  };
  for (const Case& c : cases) {
    load(c.rcpthosts, c.cdb);
    EXPECT_EQ(check_sender(c.sender.c_str()), c.want) << c.name;
    // The answer does not depend on an earlier look-up having run.
    EXPECT_EQ(check_sender(c.sender.c_str()), c.want) << c.name << " (again)";
  }
}

TEST_F(RelayTest, TruncatedCdbCountsALookUpPastItsEndAsListed) {
  build_cdb(dir_ + "/full.cdb", {"example.net"});
  const std::string bytes = read_bytes(dir_ + "/full.cdb");
  // Cut the header after 1000 bytes: a domain whose descriptor lies beyond the cut fails to be
  // looked up, one whose descriptor is still there finds an empty table.
  auto table_of = [](const std::string& d) {
    return cdbreader_hash(d.data(), static_cast<uint32_t>(d.size())) % 256;
  };
  // Domains without a dot have one candidate only: themselves.
  std::string beyond, within;
  for (int i = 0; i < 10000 && (beyond.empty() || within.empty()); ++i) {
    const std::string d = std::string("d").append(std::to_string(i));
    const uint32_t table = table_of(d);
    if (table * 8 + 8 > 1000 && beyond.empty()) beyond = d;
    if (table * 8 + 8 <= 1000 && table != table_of("example.net") && within.empty()) within = d;
  }
  ASSERT_FALSE(beyond.empty());
  ASSERT_FALSE(within.empty());
  load("", raw_cdb(bytes.substr(0, 1000)));
  EXPECT_EQ(check_sender(("a@" + beyond).c_str()), 1) << beyond;
  EXPECT_EQ(check_sender(("a@" + within).c_str()), 0) << within;
}

TEST_F(RelayTest, RelaySetIsConsultedBeforeTheCdb) {
  // An empty cdb cannot be mapped, so its look-ups show up as positioned reads.
  load("example.org\n", raw_cdb(""));
  struct Case {
    const char* name;
    const char* sender;
    int reads;
  };
  const Case cases[] = {
      {"ListedDomainReadsNothing", "a@example.org", 0},
      {"UnlistedDomainAsksTheCdb", "a@other.example", 1},
  };
  for (const Case& c : cases) {
    cdb_reads = 0;
    fd_set_read_fn(counting_read);
    EXPECT_EQ(check_sender(c.sender), 1) << c.name;
    fd_set_read_fn(nullptr);
    EXPECT_EQ(cdb_reads, c.reads) << c.name;
  }
}

TEST_F(RelayTest, SenderEndingInAtIsNotReadPastItsEnd) {
  // The sender ends right before an inaccessible page: a look at any byte after its NUL
  // faults.
  const long page = sysconf(_SC_PAGESIZE);
  ASSERT_GT(page, 0);
  const GuardedPages pages(static_cast<size_t>(page));
  ASSERT_NE(pages.area, MAP_FAILED);
  char* guard = static_cast<char*>(pages.area) + page;
  ASSERT_EQ(mprotect(guard, static_cast<size_t>(page), PROT_NONE), 0);
  struct Case {
    const char* name;
    const char* sender;
  };
  const Case cases[] = {
      {"AtIsTheLastByte", "example.org@"},
      {"OnlyAnAt", "@"},
      {"NoAtAtAll", "example.org"},
  };
  load("example.org\n", no_cdb());
  for (const Case& c : cases) {
    const size_t size = strlen(c.sender) + 1;
    char* sender = guard - size;
    memcpy(sender, c.sender, size);
    EXPECT_EQ(check_sender(sender), 0) << c.name;
  }
}

TEST_F(RelayTest, RunningOutOfMemoryEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  write_bytes(dir_ + "/rcpthosts", "example.org\n");
  settings.opt_rcpthosts_only = 1;
  EXPECT_EXIT(
      {
        bytestr_set_allocator(no_memory);
        load_relay_domains();
      },
      ::testing::ExitedWithCode(111), "^lagwatch: Fatal: Out of memory\\.\n$")
      << "loading";
  load_relay_domains();
  // The scratch key holds at most "example.org" so far; a longer domain must grow it.
  const std::string sender = "a@" + std::string(200, 'x') + ".example";
  EXPECT_EXIT(
      {
        bytestr_set_allocator(no_memory);
        check_sender(sender.c_str());
      },
      ::testing::ExitedWithCode(111), "^lagwatch: Fatal: Out of memory\\.\n$")
      << "checking";
}

}  // namespace
}  // namespace lagwatch
