// End-to-end tests of the relay-domain filter (-r): rcpthosts lines taken as raw bytes, the
// chain of domain candidates, and morercpthosts.cdb built by the tinycdb writer, intact, empty
// or cut short.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace lagwatch::e2e {
namespace {

class RelayE2eTest : public SandboxTest {};

// What control/morercpthosts.cdb is in a case.
struct Cdb {
  enum Kind { kNone, kBuilt, kEmpty, kHeaderOnly } kind = kNone;
  std::vector<std::string> keys;  // kBuilt and kHeaderOnly: the keys given to the writer
};

Cdb no_cdb() { return {}; }
Cdb built(std::vector<std::string> keys) { return {Cdb::kBuilt, std::move(keys)}; }
Cdb empty_file() { return {Cdb::kEmpty, {}}; }
// The writer's file cut right after its 2048-byte header: every hash table is gone.
Cdb header_only(std::vector<std::string> keys) { return {Cdb::kHeaderOnly, std::move(keys)}; }

// The key hash of the cdb format, to pick domains by the hash table they fall into.
uint32_t cdb_hash(const std::string& key) {
  uint32_t h = 5381;
  for (unsigned char b : key) h = (h * 33) ^ b;
  return h;
}

// Writes control/morercpthosts.cdb with `cdb -c` from `keys`, each with the data "1".
void build_cdb(const Control& control, const std::vector<std::string>& keys) {
  std::string text;
  for (const std::string& k : keys) {
    text.append("+").append(std::to_string(k.size())).append(",1:").append(k).append("->1\n");
  }
  text += "\n";
  const std::string in = sandbox_root() + "/morercpthosts.in";
  const std::string tmp = sandbox_root() + "/morercpthosts.tmp";
  const std::string out = control.path("morercpthosts.cdb");
  write_file(in, text);
  const pid_t pid = fork();
  if (pid == 0) {
    execlp("cdb", "cdb", "-c", "-t", tmp.c_str(), out.c_str(), in.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "cdb -c failed";
}

void lay_out_cdb(const Control& control, const Cdb& cdb) {
  switch (cdb.kind) {
    case Cdb::kNone:
      break;
    case Cdb::kBuilt:
      build_cdb(control, cdb.keys);
      break;
    case Cdb::kEmpty:
      control.write("morercpthosts.cdb", "");
      break;
    case Cdb::kHeaderOnly: {
      build_cdb(control, cdb.keys);
      const std::optional<std::string> whole = read_file(control.path("morercpthosts.cdb"));
      ASSERT_TRUE(whole.has_value());
      ASSERT_GT(whole->size(), 2048u);
      control.write("morercpthosts.cdb", whole->substr(0, 2048));
      break;
    }
  }
}

std::string forking(const std::string& sender) {
  return debug("forking " + injector_path() + " -f '' -a '" + sender + "' '(null)'");
}

constexpr int64_t kDue = kNow - 14400;

// The debug output of one due message with one undelivered recipient, passed or refused.
std::string expected_err(const std::string& sender, bool passes) {
  std::string err =
      default_config_debug_lines(0) + debug("filename=3/1065493 expiry=" + std::to_string(kNow));
  if (passes) {
    return err + debug("filename=3/1065493 sender='" + sender + "' undone=1") + forking(sender);
  }
  return err + debug("ignoring, sender was not in rcpthosts");
}

TEST_F(RelayE2eTest, OnlySendersOfListedDomainsGetNotices) {
  // A dotless domain in the same hash table as "example.net" but not stored: a cut cdb fails
  // its look-up (and so lists it), an intact one does not hold it.
  std::string same_table;
  for (int i = 0; same_table.empty() && i < 1000000; ++i) {
    const std::string d = std::string("o").append(std::to_string(i));
    if (cdb_hash(d) % 256 == cdb_hash("example.net") % 256) same_table = d;
  }
  ASSERT_FALSE(same_table.empty());
  std::string other_table;
  for (int i = 0; other_table.empty(); ++i) {
    const std::string d = std::string("o").append(std::to_string(i));
    if (cdb_hash(d) % 256 != cdb_hash("example.net") % 256) other_table = d;
  }
  struct Case {
    const char* name;
    std::optional<std::string> rcpthosts;  // nullopt: no rcpthosts file
    Cdb cdb;
    std::string sender;
    bool passes;
  };
  const Case cases[] = {
      {"NoControlFilesRefuseEverySender", std::nullopt, no_cdb(), "alice@example.org", false},
      {"ExactLinePasses", "example.org\n", no_cdb(), "alice@example.org", true},
      {"UnlistedDomainIsRefused", "example.org\n", no_cdb(), "alice@example.net", false},
      {"SenderWithoutAtIsRefused", "example.org\n", no_cdb(), "example.org", false},
      {"EmptySenderIsRefusedBeforeAnyBounceCheck", "\n", no_cdb(), "", false},
      {"OtherLetterCaseIsRefused", "EXAMPLE.ORG\n", no_cdb(), "alice@example.org", false},
      {"CarriageReturnKeepsTheBareDomainOut", "example.org\r\n", no_cdb(), "alice@example.org",
       false},
      {"TrailingBlankLineMatchesItsOwnBytes", "example.org \n", no_cdb(), "alice@example.org ",
       true},
      {"TrailingBlankKeepsTheBareDomainOut", "example.org \n", no_cdb(), "alice@example.org",
       false},
      {"TrailingTabKeepsTheBareDomainOut", "example.org\t\n", no_cdb(), "alice@example.org", false},
      {"TrailingBlankLineMatchesItsOwnBytes", "example.org \n", no_cdb(), "alice@example.org ",
       true},
      {"LastLineWithoutNewlineCounts", "one.example\nexample.org", no_cdb(), "alice@example.org",
       true},
      {"CommentLineIsSkipped", "#example.org\n", no_cdb(), "alice@example.org", false},
      {"HashAfterABlankIsPartOfTheKey", " #b.c\n", no_cdb(), "x@ #b.c", true},
      {"EmptyLineListsTheEmptyDomain", "example.org\n\n", no_cdb(), "example.org@", true},
      {"AtAsLastByteWithoutEmptyKeyIsRefused", "example.org\n", no_cdb(), "example.org@", false},
      // "a.b.c": "a.b.c", ".b.c", ".c".
      {"ChainWholeDomain", "a.b.c\n", no_cdb(), "x@a.b.c", true},
      {"ChainDotParent", ".b.c\n", no_cdb(), "x@a.b.c", true},
      {"ChainDotTop", ".c\n", no_cdb(), "x@a.b.c", true},
      {"ChainBareParentIsNoCandidate", "b.c\n", no_cdb(), "x@a.b.c", false},
      {"ChainDotLineDoesNotMatchItsBareDomain", ".b.c\n", no_cdb(), "x@b.c", false},
      // "x@b.c" after the first "@": "x@b.c", ".c".
      {"SecondAtWholeText", "x@b.c\n", no_cdb(), "y@x@b.c", true},
      {"SecondAtDotTop", ".c\n", no_cdb(), "y@x@b.c", true},
      {"SecondAtBareDomainIsNoCandidate", "b.c\n", no_cdb(), "y@x@b.c", false},
      // ".c": only ".c".
      {"LeadingDotDomain", ".c\n", no_cdb(), "x@.c", true},
      {"LeadingDotDomainBareIsNoCandidate", "c\n", no_cdb(), "x@.c", false},
      // "b.c.": "b.c.", ".c.", ".".
      {"TrailingDotWhole", "b.c.\n", no_cdb(), "x@b.c.", true},
      {"TrailingDotMiddle", ".c.\n", no_cdb(), "x@b.c.", true},
      {"TrailingDotLoneDot", ".\n", no_cdb(), "x@b.c.", true},
      {"TrailingDotBareDomainIsNoCandidate", "b.c\n", no_cdb(), "x@b.c.", false},
      // "a..b": "a..b", "..b", ".b".
      {"DoubleDotSecond", "..b\n", no_cdb(), "x@a..b", true},
      {"DoubleDotThird", ".b\n", no_cdb(), "x@a..b", true},
      {"DoubleDotBareTopIsNoCandidate", "b\n", no_cdb(), "x@a..b", false},
      // morercpthosts.cdb.
      {"CdbExactDomain", "", built({"example.net", ".example.com"}), "a@example.net", true},
      {"CdbDotParent", "", built({"example.net", ".example.com"}), "a@mail.example.com", true},
      {"CdbDotLineDoesNotMatchItsBareDomain", "", built({"example.net", ".example.com"}),
       "a@example.com", false},
      {"CdbOtherLetterCase", "", built({"example.net"}), "a@Example.Net", false},
      {"CdbWithoutRcpthosts", std::nullopt, built({"example.net"}), "a@example.net", true},
      {"CdbAbsentDomainInAStoredKeysTable", "", built({"example.net"}), "a@" + same_table, false},
      {"EmptyCdbListsEveryDomain", "", empty_file(), "a@anything.example", true},
      {"EmptyCdbStillRefusesASenderWithoutAt", "", empty_file(), "anything.example", false},
      {"CutCdbListsADomainWhoseTableIsGone", "", header_only({"example.net"}), "a@" + same_table,
       true},
      {"CutCdbStillAnswersFromAnEmptyTable", "", header_only({"example.net"}), "a@" + other_table,
       false},
  };
  for (const Case& c : cases) {
    sandbox_reset();
    if (c.rcpthosts) control.write("rcpthosts", *c.rcpthosts);
    lay_out_cdb(control, c.cdb);
    queue.add_message(3, "1065493", c.sender, kDue)
        .remote({"Tbob@remote.example"})
        .mess("Subject: hi\n\nhello\n");
    const RunResult r = run_lagwatch({"-r", "-N", "-d"});
    EXPECT_EQ(r.exit_status, 0) << c.name;
    EXPECT_EQ(r.err, expected_err(c.sender, c.passes)) << c.name;
    EXPECT_EQ(!r.out.empty(), c.passes) << c.name << ": notice on standard output";
    EXPECT_TRUE(injector.calls().empty()) << c.name;
  }
}

TEST_F(RelayE2eTest, FilterDecidesWhichSendersTheInjectorIsStartedFor) {
  control.write("rcpthosts", "example.org\n");
  queue.add_message(3, "1065493", "alice@example.org", kDue)
      .remote({"Tbob@remote.example"})
      .mess("Subject: hi\n\nhello\n");
  queue.add_message(4, "1065494", "mallory@elsewhere.example", kDue)
      .remote({"Tbob@remote.example"})
      .mess("Subject: hi\n\nhello\n");
  const RunResult r = run_lagwatch({"-r"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  const std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv,
            (std::vector<std::string>{injector_path(), "-f", "", "-a", "alice@example.org"}));
}

TEST_F(RelayE2eTest, WithoutTheOptionNeitherControlFileIsOpened) {
  // Opening a FIFO for reading waits for a writer: a run that touched either file would hang.
  for (const char* name : {"rcpthosts", "morercpthosts.cdb"}) {
    ASSERT_EQ(mkfifo(control.path(name).c_str(), 0644), 0) << name;
  }
  struct Case {
    const char* name;
    std::string sender;
  };
  const Case cases[] = {
      {"SenderWithADomain", "alice@example.org"},
      {"SenderWithoutAt", "alice"},
  };
  int number = 1065493;
  for (const Case& c : cases) {
    queue.remove("info/3");
    queue.add_message(3, std::to_string(number), c.sender, kDue)
        .remote({"Tbob@remote.example"})
        .mess("Subject: hi\n\nhello\n");
    const RunResult r = run_lagwatch({"-N", "-d"});
    EXPECT_EQ(r.exit_status, 0) << c.name;
    const std::string filename = "3/" + std::to_string(number);
    EXPECT_EQ(r.err, default_config_debug_lines(0) +
                         debug("filename=" + filename + " expiry=" + std::to_string(kNow)) +
                         debug("filename=" + filename + " sender='" + c.sender + "' undone=1") +
                         forking(c.sender))
        << c.name;
    EXPECT_FALSE(r.out.empty()) << c.name;
    ++number;
  }
}

}  // namespace
}  // namespace lagwatch::e2e
