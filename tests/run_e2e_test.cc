// End-to-end tests of a run: the notification window, the run file, the control files, the
// queue walk and its failures, through the real program in the sandbox.

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "harness.h"

namespace lagwatch::e2e {
namespace {

class RunE2eTest : public SandboxTest {};

constexpr const char* kSender = "alice@example.org";

std::string decimal(int64_t value) { return std::to_string(static_cast<long long>(value)); }

std::string expiry_line(const std::string& filename, int64_t expiry) {
  return debug("filename=" + filename + " expiry=" + decimal(expiry));
}

std::string undone_line(const std::string& filename, const std::string& sender, int undone) {
  return debug("filename=" + filename + " sender='" + sender +
               "' undone=" + std::to_string(undone));
}

std::string fatal(const std::string& text) { return "lagwatch: Fatal: " + text + ".\n"; }

// The harness itself: the clock is frozen at the chosen `now`, and the modification time that
// the test set is what the program reads (libfaketime must not fake file times).
TEST_F(RunE2eTest, ClockIsFrozenAndInfoTimesAreReal) {
  queue.add_message(5, "1065493", kSender, 1000000000);
  RunResult r = run_lagwatch({"-d"}, at_time(1790000000));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, default_config_debug_lines(0, 14400, 1790000000) +
                       expiry_line("5/1065493", 1000014400) + undone_line("5/1065493", kSender, 0));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(run_file.read(), "1790000000");
}

// One message against the window (lastrun, now]. The message has no recipient left, so a due
// message shows only the dispatch line with undone=0 and nothing is sent.
TEST_F(RunE2eTest, WindowEdges) {
  enum Outcome { kDue, kNotYetExpired, kPreviouslyExpired };
  struct Case {
    const char* name;
    std::optional<std::string> run_file;  // nullopt: no run file
    int64_t lastrun;                      // what the run file gives
    std::vector<std::string> args;        // after "-d"
    int64_t opt_age;
    int64_t mtime;
    Outcome outcome;
  };
  const int64_t last = kNow - 3600;
  const Case cases[] = {
      {"ExpiryEqualToNowIsDue", decimal(last), last, {}, 14400, kNow - 14400, kDue},
      {"ExpiryOneAfterNowHasNotYetExpired",
       decimal(last),
       last,
       {},
       14400,
       kNow - 14399,
       kNotYetExpired},
      {"ExpiryEqualToLastrunWasPreviouslyExpired",
       decimal(last),
       last,
       {},
       14400,
       last - 14400,
       kPreviouslyExpired},
      {"ExpiryOneAfterLastrunIsDue", decimal(last), last, {}, 14400, last - 14399, kDue},
      {"NoRunFileMakesAnOldMessageDue", std::nullopt, 0, {}, 14400, 1, kDue},
      {"NoRunFileAndExpiryZeroWasPreviouslyExpired",
       std::nullopt,
       0,
       {"-t", "0"},
       0,
       0,
       kPreviouslyExpired},
      {"AgeZeroIsDueAtTheModificationTime", decimal(last), last, {"-t", "0"}, 0, kNow, kDue},
      {"AgeZeroOneSecondAheadHasNotYetExpired",
       decimal(last),
       last,
       {"-t", "0"},
       0,
       kNow + 1,
       kNotYetExpired},
      {"NegativeAgeMovesExpiryBeforeTheModificationTime",
       decimal(last),
       last,
       {"-t", "-100"},
       -100,
       kNow + 100,
       kDue},
      {"NegativeAgeOneSecondLateHasNotYetExpired",
       decimal(last),
       last,
       {"-t", "-100"},
       -100,
       kNow + 101,
       kNotYetExpired},
      {"LastrunAfterNowMakesAnExpiredMessageNotDue",
       decimal(kNow + 10),
       kNow + 10,
       {},
       14400,
       kNow - 14405,
       kPreviouslyExpired},
      {"LastrunAfterNowExpiryBetweenThem",
       decimal(kNow + 10),
       kNow + 10,
       {},
       14400,
       kNow - 14395,
       kNotYetExpired},
      {"LastrunEqualToNowMakesNothingDue",
       decimal(kNow),
       kNow,
       {},
       14400,
       kNow - 14400,
       kPreviouslyExpired},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    if (c.run_file) run_file.write(*c.run_file);
    Message m = queue.add_message(7, "1065510", kSender, c.mtime);
    std::vector<std::string> args = {"-d"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = run_lagwatch(args);
    std::string expected = default_config_debug_lines(c.lastrun, c.opt_age) +
                           expiry_line(m.filename(), c.mtime + c.opt_age);
    switch (c.outcome) {
      case kDue:
        expected += undone_line(m.filename(), kSender, 0);
        break;
      case kNotYetExpired:
        expected += debug("ignoring, has not yet expired");
        break;
      case kPreviouslyExpired:
        expected += debug("ignoring, was previously expired");
        break;
    }
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(run_file.read(), decimal(kNow));
  }
}

// A due message with an undelivered recipient reaches the injector; one outside the window
// does not. The injector gets exactly the specified argument vector, in the queue directory.
TEST_F(RunE2eTest, OnlyDueMessagesReachTheInjector) {
  run_file.write(decimal(kNow - 600));
  queue.add_message(1, "2001", "due@example.org", kNow - 14400 - 300)
      .remote({"Tbob@example.net"})
      .mess("Subject: due\n\nbody\n");
  queue.add_message(2, "2002", "early@example.org", kNow - 14000)
      .remote({"Tcarol@example.net"})
      .mess("Subject: early\n\nbody\n");
  queue.add_message(3, "2003", "old@example.org", kNow - 14400 - 601)
      .remote({"Tdave@example.net"})
      .mess("Subject: old\n\nbody\n");
  RunResult r = run_lagwatch({});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, "");
  std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv,
            (std::vector<std::string>{injector_path(), "-f", "", "-a", "due@example.org"}));
  EXPECT_EQ(calls[0].cwd, queue_dir());
  EXPECT_TRUE(calls[0].read_input);
  EXPECT_EQ(run_file.read(), decimal(kNow));
}

// Consecutive completed runs have adjoining windows: a message falls due in exactly one.
TEST_F(RunE2eTest, ConsecutiveRunsNeverBothFindAMessageDue) {
  const int64_t t1 = kNow;
  const int64_t t2 = kNow + 900;
  const int64_t t3 = kNow + 1800;
  run_file.write(decimal(t1 - 900));
  // Expiry exactly at t1, between t1 and t2, exactly at t2, and exactly at t3.
  const struct {
    const char* name;
    int64_t expiry;
    int due_in_run;  // 1, 2 or 3
  } messages[] = {
      {"3001", t1, 1},
      {"3002", t1 + 1, 2},
      {"3003", t2, 2},
      {"3004", t3, 3},
  };
  for (const auto& m : messages) {
    queue.add_message(4, m.name, std::string("s") + m.name + "@example.org", m.expiry - 14400)
        .local({std::string("Tu") + m.name + "@example.org"})
        .mess("x\n");
  }
  const int64_t times[] = {t1, t2, t3};
  for (int run = 1; run <= 3; ++run) {
    SCOPED_TRACE("run " + std::to_string(run));
    size_t before = injector.calls().size();
    RunResult r = run_lagwatch({}, at_time(times[run - 1]));
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(run_file.read(), decimal(times[run - 1]));
    std::vector<InjectorCall> calls = injector.calls();
    std::vector<std::string> senders;
    for (size_t i = before; i < calls.size(); ++i) {
      ASSERT_EQ(calls[i].argv.size(), 5u);
      senders.push_back(calls[i].argv[4]);
    }
    std::vector<std::string> expected;
    for (const auto& m : messages) {
      if (m.due_in_run == run) expected.push_back(std::string("s") + m.name + "@example.org");
    }
    std::sort(senders.begin(), senders.end());
    EXPECT_EQ(senders, expected);
  }
}

// The run file gets `now` in "%ld" form with nothing after it, whatever it held before.
TEST_F(RunE2eTest, RunFileHoldsExactlyNow) {
  struct Case {
    const char* name;
    std::optional<std::string> before;
    int64_t now;
  };
  const Case cases[] = {
      {"Missing", std::nullopt, kNow},
      {"Empty", "", kNow},
      {"LongerValueLeavesNoStaleDigits", "17803152009999", kNow},
      {"TrailingLineFeedIsDropped", "1780000000\n", kNow},
      {"LaterLinesAreDropped", "1780000000\nnot a number at all, and rather long\n", kNow},
      {"ShorterNow", "1780315200", 999999999},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    if (c.before) run_file.write(*c.before);
    RunResult r = run_lagwatch({}, at_time(c.now));
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(run_file.read(), decimal(c.now));
  }
}

// What the run file gives as lastrun. A first line that is not a time ends the run before
// anything is sent, in print-only runs too, and leaves the file as it was: read as 0, it would
// make the run notify the whole queue again.
TEST_F(RunE2eTest, RunFileFormats) {
  struct Case {
    const char* name;
    std::optional<std::string> content;
    std::optional<int64_t> lastrun;  // nullopt: not a time
  };
  const Case cases[] = {
      {"Missing", std::nullopt, 0},
      {"Empty", "", 0},
      {"Digits", "1780000000", 1780000000},
      {"DigitsAndLineFeed", "1780000000\n", 1780000000},
      {"OnlyTheFirstLineCounts", "1780000000\n17\n", 1780000000},
      {"LeadingBlanksAndTab", " \t1780000000", 1780000000},
      {"LeadingZeros", "0001780000000", 1780000000},
      {"Negative", "-5", -5},
      {"MostNegative", "-9223372036854775808", -9223372036854775807LL - 1},
      {"PlusSign", "+1780000000", std::nullopt},
      {"TrailingBlank", "1780000000 ", std::nullopt},
      {"TrailingLetter", "1780000000x", std::nullopt},
      {"CarriageReturn", "1780000000\r\n", std::nullopt},
      {"LeadingLineFeed", "\n1780000000", std::nullopt},
      {"OnlyALineFeed", "\n", std::nullopt},
      {"BlankAfterTheSign", "- 5", std::nullopt},
      {"Comment", "# last run\n1780000000\n", std::nullopt},
      {"NulInside",
       std::string("17\0"
                   "80",
                   5),
       std::nullopt},
      {"BeyondSixtyFourBits", "99999999999999999999", std::nullopt},
      {"BelowSixtyFourBits", "-9223372036854775809", std::nullopt},
      {"OnlySign", "-", std::nullopt},
      {"Hexadecimal", "0x10", std::nullopt},
  };
  const std::string not_a_time =
      "lagwatch: Fatal: Run file '" + run_file_path() + "' does not hold a time.\n";
  for (const Case& c : cases) {
    for (bool print_only : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (print_only ? " -N" : ""));
      sandbox_reset();
      queue.add_message(3, "1001", "a@example.org", kNow - 20000).remote({"Tb@x"}).mess("m\n");
      if (c.content) run_file.write(*c.content);
      RunResult r = run_lagwatch(print_only ? std::vector<std::string>{"-d", "-N"}
                                            : std::vector<std::string>{"-d"});
      if (!c.lastrun) {
        EXPECT_EQ(r.exit_status, 111);
        EXPECT_EQ(r.err, not_a_time);
        EXPECT_EQ(r.out, "");
        EXPECT_TRUE(injector.calls().empty());
        EXPECT_EQ(run_file.read(), c.content);
        continue;
      }
      EXPECT_EQ(r.exit_status, 0);
      EXPECT_EQ(r.err.rfind(default_config_debug_lines(*c.lastrun), 0), 0u) << r.err;
      EXPECT_EQ(run_file.read(), print_only ? c.content : decimal(kNow));
    }
  }
}

// queuelifetime is a control number with default 604800.
TEST_F(RunE2eTest, QueuelifetimeFormats) {
  struct Case {
    const char* name;
    std::optional<std::string> content;
    int64_t queuelifetime;
  };
  const Case cases[] = {
      {"Missing", std::nullopt, 604800},
      {"Empty", "", 604800},
      {"Digits", "86400", 86400},
      {"DigitsAndLineFeed", "86400\n", 86400},
      {"LeadingBlanks", "  86400\n", 86400},
      {"PlusSign", "+86400", 86400},
      {"MinusOne", "-1", -1},
      {"Zero", "0\n", 0},
      {"TrailingLetter", "86400s\n", 604800},
      {"TrailingBlank", "86400 \n", 604800},
      {"EmptyFirstLine", "\n86400\n", 604800},
      {"BeyondSixtyFourBitsClamps", "99999999999999999999\n", 9223372036854775807LL},
      {"BinaryNoise",
       std::string("\x01\xff\0"
                   "9",
                   4),
       604800},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    if (c.content) control.write("queuelifetime", *c.content);
    RunResult r = run_lagwatch({"-d"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, config_debug_lines(kMe, c.queuelifetime, nullptr, kNow, 0, 14400));
  }
}

// control/me: the first line, kept as it is; a missing or empty first line ends the run.
TEST_F(RunE2eTest, MeFormats) {
  struct Case {
    const char* name;
    std::optional<std::string> content;  // nullopt: the file is missing
    std::optional<std::string> me;       // nullopt: "Could not read control/me"
  };
  const Case cases[] = {
      {"Missing", std::nullopt, std::nullopt},
      {"Empty", "", std::nullopt},
      {"OnlyALineFeed", "\n", std::nullopt},
      {"EmptyFirstLineAndAHostOnTheSecond", "\nmail.example.org\n", std::nullopt},
      {"LeadingNul", std::string("\0mail\n", 6), std::nullopt},
      {"NoLineFeed", "host.example", "host.example"},
      {"OnlyTheFirstLine", "first.example\nsecond.example\n", "first.example"},
      {"CarriageReturnIsKept", "cr.example\r\n", "cr.example\r"},
      {"BlanksAreKept", " spaced.example \n", " spaced.example "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    run_file.write("1000");
    if (c.content) {
      control.write("me", *c.content);
    } else {
      control.remove("me");
    }
    RunResult r = run_lagwatch({"-d"});
    EXPECT_EQ(r.out, "");
    if (c.me) {
      EXPECT_EQ(r.exit_status, 0);
      EXPECT_EQ(r.err, config_debug_lines(*c.me, 604800, nullptr, kNow, 1000, 14400));
      EXPECT_EQ(run_file.read(), decimal(kNow));
    } else {
      EXPECT_EQ(r.exit_status, 111);
      EXPECT_EQ(r.err, fatal("Could not read control/me"));
      EXPECT_EQ(run_file.read(), "1000");
    }
  }
}

// A carriage return in me is part of the host name, so it shows in the From line.
TEST_F(RunE2eTest, CarriageReturnInMeReachesTheFromLine) {
  control.write("me", "cr.example\r\n");
  queue.add_message(0, "4001", kSender, kNow - 20000).remote({"Tbob@example.net"}).mess("m\n");
  RunResult r = run_lagwatch({"-N", "-b", "0"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  const std::string head =
      "From: <MAILER-DAEMON@cr.example\r>\nTo: <alice@example.org>\n"
      "Subject: delayed delivery notice\n\n";
  EXPECT_EQ(r.out.substr(0, head.size()), head);
}

// The six debug lines of the configuration, with each value they show.
TEST_F(RunE2eTest, ConfigDebugLines) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* extra_rcpt;
    int64_t opt_age;
  };
  const Case cases[] = {
      {"NoExtraRecipientReadsNull", {}, nullptr, 14400},
      {"EmptyExtraRecipientIsNone", {"-x", ""}, nullptr, 14400},
      {"BareNameGetsMe", {"-x", "postmaster"}, "postmaster@mail.example.org", 14400},
      {"AddressIsKept", {"-x", "ops@example.net"}, "ops@example.net", 14400},
      {"TrailingAtIsKept", {"-x", "ops@"}, "ops@", 14400},
      {"LeadingAtIsKept", {"-x", "@ops"}, "@ops", 14400},
      {"AgeFromOption", {"-t", "600"}, nullptr, 600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    control.write("queuelifetime", "86400\n");
    run_file.write("1780000000");
    std::vector<std::string> args = {"-d"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = run_lagwatch(args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, config_debug_lines(kMe, 86400, c.extra_rcpt, kNow, 1780000000, c.opt_age));
  }
}

// Without -d a run that sends nothing writes nothing at all.
TEST_F(RunE2eTest, QuietRunWritesNothing) {
  queue.add_message(0, "5001", kSender, kNow - 20000);
  queue.add_message(1, "5002", kSender, kNow - 100);
  RunResult r = run_lagwatch({});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(run_file.read(), decimal(kNow));
}

// An "info" directory without any entry, or with split directories that are all empty.
TEST_F(RunE2eTest, EmptyQueueCompletes) {
  struct Case {
    const char* name;
    bool remove_splits;
  };
  const Case cases[] = {{"EmptySplits", false}, {"NoSplits", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    if (c.remove_splits) {
      queue.remove("info");
      queue.mkdir("info");
    }
    RunResult r = run_lagwatch({"-d"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, default_config_debug_lines(0));
    EXPECT_EQ(run_file.read(), decimal(kNow));
  }
}

// Several messages are walked in directory order, each with its own lines.
TEST_F(RunE2eTest, WalkVisitsEveryMessageInDirectoryOrder) {
  run_file.write(decimal(kNow - 1000));
  queue.add_message(0, "6001", "a@example.org", kNow - 14400);
  queue.add_message(0, "6024", "b@example.org", kNow - 14400 - 1000);
  queue.add_message(11, "6012", "c@example.org", kNow - 100);
  queue.add_message(22, "6022", "d@example.org", kNow - 14400 - 999);
  RunResult r = run_lagwatch({"-d"});
  EXPECT_EQ(r.exit_status, 0);
  std::string expected = default_config_debug_lines(kNow - 1000);
  for (const std::string& filename : queue.walk_order()) {
    if (filename == "0/6001") {
      expected += expiry_line(filename, kNow) + undone_line(filename, "a@example.org", 0);
    } else if (filename == "0/6024") {
      expected += expiry_line(filename, kNow - 1000) + debug("ignoring, was previously expired");
    } else if (filename == "11/6012") {
      expected +=
          expiry_line(filename, kNow - 100 + 14400) + debug("ignoring, has not yet expired");
    } else if (filename == "22/6022") {
      expected += expiry_line(filename, kNow - 999) + undone_line(filename, "d@example.org", 0);
    } else {
      ADD_FAILURE() << "unexpected queue entry " << filename;
    }
  }
  EXPECT_EQ(r.err, expected);
}

// Entries whose names begin with "." are neither split directories nor messages, whatever
// their type, at both levels.
TEST_F(RunE2eTest, DotEntriesAreSkippedAtBothLevels) {
  run_file.write("1000");
  queue.write("info/.lock", "plain file");  // would be "Not a directory"
  queue.mkdir("info/.tmp");                 // a directory with a message in it
  queue.write("info/.tmp/7001", std::string("Fhidden@example.org\0", 20));
  set_mtime(queue.path("info/.tmp/7001"), kNow - 20000);
  queue.write("info/3/.7002", std::string("Fdot@example.org\0", 17));  // a hidden message
  set_mtime(queue.path("info/3/.7002"), kNow - 20000);
  queue.mkdir("info/3/.sub");
  queue.symlink("nowhere", "info/3/.dangling");
  Message m = queue.add_message(3, "7003", kSender, kNow - 20000);
  RunResult r = run_lagwatch({"-d"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, default_config_debug_lines(1000) + expiry_line(m.filename(), kNow - 5600) +
                       undone_line(m.filename(), kSender, 0));
  EXPECT_EQ(run_file.read(), decimal(kNow));
}

// Failures of the walk: each with its message and status, and the run file as it was.
TEST_F(RunE2eTest, WalkFailuresKeepTheRunFile) {
  struct Case {
    const char* name;
    void (*arrange)(const Queue& queue, const Control& control);
    int exit_status;
    std::string err;
  };
  const Case cases[] = {
      {"MissingControlDirectory", [](const Queue&, const Control&) { remove_path(control_dir()); },
       1, fatal("Could not chdir to '" + control_dir() + "': " + errno_text(ENOENT))},
      {"ControlIsAPlainFile",
       [](const Queue&, const Control&) {
         remove_path(control_dir());
         write_file(control_dir(), "not a directory");
       },
       1, fatal("Could not chdir to '" + control_dir() + "': " + errno_text(ENOTDIR))},
      {"MissingQueueDirectory", [](const Queue&, const Control&) { remove_path(queue_dir()); }, 1,
       fatal("Could not chdir to '" + queue_dir() + "': " + errno_text(ENOENT))},
      {"MissingInfoDirectory", [](const Queue& q, const Control&) { q.remove("info"); }, 111,
       fatal("Can't open queue directory: " + errno_text(ENOENT))},
      {"InfoIsAPlainFile",
       [](const Queue& q, const Control&) {
         q.remove("info");
         q.write("info", "x");
       },
       111, fatal("Can't open queue directory: " + errno_text(ENOTDIR))},
      {"PlainFileAmongTheSplits", [](const Queue& q, const Control&) { q.write("info/stray", ""); },
       111, fatal("Can't open queue directory: " + errno_text(ENOTDIR))},
      // A link is refused as a link, before what it points at is looked for.
      {"DanglingSplitLink", [](const Queue& q, const Control&) { q.symlink("gone", "info/23"); },
       111, fatal("Can't open queue directory: " + errno_text(ELOOP))},
      {"InfoFileInALinkLoop",
       [](const Queue& q, const Control&) { q.symlink("8001", "info/8/8001"); }, 111,
       fatal("Can't open or stat info file 'info/8/8001': " + errno_text(ELOOP))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    run_file.write("1780000000");
    c.arrange(queue, control);
    RunResult r = run_lagwatch({});
    EXPECT_EQ(r.exit_status, c.exit_status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(run_file.read(), "1780000000");
  }
}

// Debug lines (the C library's stderr) and the fatal line that ends the run (the program's own
// stream) reach standard error in the order they were written.
TEST_F(RunE2eTest, DebugLinesPrecedeTheFatalLine) {
  struct Case {
    const char* name;
    void (*arrange)(const Queue& queue, const Control& control);
    bool config_lines;  // load_config got as far as its debug lines
    std::string fatal_line;
  };
  const Case cases[] = {
      {"MissingControlDirectory", [](const Queue&, const Control&) { remove_path(control_dir()); },
       false, fatal("Could not chdir to '" + control_dir() + "': " + errno_text(ENOENT))},
      {"MissingMe", [](const Queue&, const Control& c) { c.remove("me"); }, false,
       fatal("Could not read control/me")},
      {"MissingQueueDirectory", [](const Queue&, const Control&) { remove_path(queue_dir()); },
       true, fatal("Could not chdir to '" + queue_dir() + "': " + errno_text(ENOENT))},
      {"MissingInfoDirectory", [](const Queue& q, const Control&) { q.remove("info"); }, true,
       fatal("Can't open queue directory: " + errno_text(ENOENT))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    run_file.write("1000");
    c.arrange(queue, control);
    RunResult r = run_lagwatch({"-d"});
    EXPECT_EQ(r.exit_status, c.fatal_line.find("chdir") != std::string::npos ? 1 : 111);
    EXPECT_EQ(r.err, (c.config_lines ? default_config_debug_lines(1000) : "") + c.fatal_line);
    EXPECT_EQ(run_file.read(), "1000");
  }
}

// A due message followed by a failing one: the lines of the first come before the failure.
TEST_F(RunE2eTest, WalkStopsAtTheFirstFailure) {
  run_file.write("1000");
  queue.add_message(8, "8201", kSender, kNow - 20000);
  queue.symlink("8202", "info/8/8202");  // a link to itself
  std::string expected = default_config_debug_lines(1000);
  for (const std::string& filename : queue.walk_order()) {
    if (filename == "8/8202") {
      expected += fatal("Can't open or stat info file 'info/8/8202': " + errno_text(ELOOP));
      break;
    }
    expected += expiry_line(filename, kNow - 5600) + undone_line(filename, kSender, 0);
  }
  RunResult r = run_lagwatch({"-d"});
  EXPECT_EQ(r.exit_status, 111);
  EXPECT_EQ(r.err, expected);
  EXPECT_EQ(run_file.read(), "1000");
}

// An info file that cannot be opened for want of permission ends the run, whether or not the
// message would fall due: the walk opens every info file it lists. Root reads anything, so as
// root the run drops to the user nobody, to whom qmail's 0600 info files are closed.
TEST_F(RunE2eTest, UnreadableInfoFileIsFatal) {
  struct Case {
    const char* name;
    int64_t mtime;
  };
  const Case cases[] = {
      {"Due", kNow - 20000},
      {"NotYetExpired", kNow - 100},
      {"PreviouslyExpired", 1000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    run_file.write("1780000000");
    Message m = queue.add_message(9, "8101", kSender, c.mtime);
    ASSERT_EQ(chmod(m.info_path().c_str(), geteuid() == 0 ? 0600 : 0), 0);
    RunOptions options;
    if (geteuid() == 0) {
      give_state_to(65534, 65534);
      options.run_as_uid = 65534;
      options.run_as_gid = 65534;
    }
    RunResult r = run_lagwatch({}, options);
    if (run_never_started(r)) GTEST_SKIP() << r.err;
    EXPECT_EQ(r.exit_status, 111);
    EXPECT_EQ(r.err, fatal("Can't open or stat info file 'info/9/8101': " + errno_text(EACCES)));
    EXPECT_EQ(run_file.read(), "1780000000");
  }
}

// Something other than a regular file among the info files ends the run whatever its time,
// and is never read: a socket fails to open, a FIFO opens without blocking and is refused.
TEST_F(RunE2eTest, InfoEntryThatIsNotARegularFileEndsTheRun) {
  struct Case {
    const char* name;
    bool socket;
    int64_t mtime;
    int exit_status;
    std::string err;
  };
  const std::string not_regular =
      "lagwatch: Fatal: Can't open or stat info file 'info/1/77': not a regular file.\n";
  const Case cases[] = {
      {"SocketOutsideTheWindow", true, kNow - 100, 111,
       "lagwatch: Fatal: Can't open or stat info file 'info/1/77': " + errno_text(ENXIO) + ".\n"},
      {"FifoOutsideTheWindow", false, kNow - 100, 111, not_regular},
      {"FifoInsideTheWindow", false, kNow - 20000, 111, not_regular},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    run_file.write("1780000000");
    const std::string path = queue.path("info/1/77");
    int sock = -1;
    if (c.socket) {
      sock = socket(AF_UNIX, SOCK_STREAM, 0);
      ASSERT_NE(sock, -1);
      sockaddr_un address{};
      address.sun_family = AF_UNIX;
      ASSERT_LT(path.size(), sizeof address.sun_path);
      path.copy(address.sun_path, path.size());
      ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    } else {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    }
    const timespec times[2] = {{c.mtime, 0}, {c.mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    RunResult r = run_lagwatch({});
    if (sock != -1) close(sock);
    EXPECT_EQ(r.exit_status, c.exit_status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(run_file.read(), c.exit_status == 0 ? std::to_string(kNow) : "1780000000");
  }
}

// qmail removes a finished message while the walk runs; its info file is gone when it is
// opened. That message is skipped and the walk goes on to complete the run. Here the injector
// of the message met first removes the other one.
TEST_F(RunE2eTest, MessageThatLeftTheQueueIsSkipped) {
  struct Case {
    const char* name;
    bool debug;
  };
  const Case cases[] = {{"Quiet", false}, {"WithDebugLines", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    run_file.write("1000");
    queue.add_message(6, "9001", kSender, kNow - 20000).remote({"Tbob@x"}).mess("m\n");
    queue.add_message(6, "9002", kSender, kNow - 20000).remote({"Tbob@x"}).mess("m\n");
    const std::vector<std::string> order = queue.walk_order();
    ASSERT_EQ(order.size(), 2u);
    injector.plan({inject_remove("info/" + order[1])});
    RunResult r =
        run_lagwatch(c.debug ? std::vector<std::string>{"-d"} : std::vector<std::string>{});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    std::string expected;
    if (c.debug) {
      expected = default_config_debug_lines(1000) + expiry_line(order[0], kNow - 5600) +
                 undone_line(order[0], kSender, 1) +
                 debug("forking " + injector_path() + " -f '' -a '" + kSender + "' '(null)'") +
                 debug("ignoring " + order[1] + ", message left the queue");
    }
    EXPECT_EQ(r.err, expected);
    EXPECT_EQ(injector.calls().size(), 1u);
    EXPECT_EQ(run_file.read(), decimal(kNow));
  }
}

// The run file is updated in place: a failed write leaves the earlier value whole. A run that
// could not record its notices in the journal sends none.
TEST_F(RunE2eTest, RunFileUpdateFailureKeepsTheOldValue) {
  struct Case {
    const char* name;
    bool directory;      // the run file's path is a directory
    bool journal_ready;  // the journal already belongs to this window, so the run writes none
    bool withheld;       // with a ready journal: a due list message, which gets no journal line
    std::string err;
  };
  const std::string journal = journal_path();
  const Case cases[] = {
      {"FileSizeLimitZero", false, true, false, fatal("Could not update run file")},
      {"RunFileIsADirectory", true, false, false, fatal("Could not update run file")},
      {"JournalCannotGrow", false, false, false,
       fatal("Could not update '" + journal + "': " + errno_text(EFBIG))},
      {"WithheldNoticeWritesNoJournalLine", false, true, true, fatal("Could not update run file")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    if (c.directory) {
      make_dir(run_file_path());
    } else {
      run_file.write("1780000000");
    }
    if (c.journal_ready) {
      write_file(journal, "1780000000\n");
      if (c.withheld) {
        queue.add_message(2, "9102", kSender, kNow - 20000).remote({"Tbob@x"}).mess("List-Id: l\n");
      }
    } else {
      queue.add_message(2, "9101", kSender, kNow - 20000).remote({"Tbob@x"}).mess("m\n");
    }
    RunOptions options;
    options.no_file_growth = !c.directory;
    RunResult r = run_lagwatch({}, options);
    EXPECT_EQ(r.exit_status, 111);
    EXPECT_EQ(r.term_signal, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_TRUE(injector.calls().empty());
    if (c.directory) {
      EXPECT_TRUE(S_ISDIR(stat_path(run_file_path()).st_mode));
    } else {
      EXPECT_EQ(run_file.read(), "1780000000");
    }
  }
}

// Admins pre-create the run file for an unprivileged user; an update keeps its inode, owner
// and mode.
TEST_F(RunE2eTest, PreCreatedRunFileKeepsInodeOwnerAndMode) {
  run_file.write("17803152001234", 0640);
  if (geteuid() == 0) {
    ASSERT_EQ(chown(run_file_path().c_str(), 65534, 65534), 0);
  }
  struct stat before = stat_path(run_file_path());
  RunResult r = run_lagwatch({});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  struct stat after = stat_path(run_file_path());
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(run_file.read(), decimal(kNow));
}

// The user of the run may write the run file and its journal but not the directory that holds
// them (a root-owned /var/run): the update must happen in the file itself.
TEST_F(RunE2eTest, RunFileInADirectoryTheUserCannotWrite) {
  run_file.write("1780000000", 0644);
  RunOptions options;
  if (geteuid() == 0) {
    give_state_to(65534, 65534);
    options.run_as_uid = 65534;
    options.run_as_gid = 65534;
  } else {
    write_file(journal_path(), "");
    ASSERT_EQ(chmod(sandbox_root().c_str(), 0555), 0);
  }
  struct stat before = stat_path(run_file_path());
  RunResult r = run_lagwatch({}, options);
  chmod(sandbox_root().c_str(), 0755);
  if (run_never_started(r)) GTEST_SKIP() << r.err;
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(run_file.read(), decimal(kNow));
  EXPECT_EQ(stat_path(run_file_path()).st_ino, before.st_ino);
}

// A run file created by the program gets mode 0666 less the file-creation mask.
TEST_F(RunE2eTest, NewRunFileModeFollowsTheUmask) {
  struct Case {
    const char* name;
    mode_t umask;
    mode_t mode;
  };
  const Case cases[] = {{"Umask022", 022, 0644}, {"Umask027", 027, 0640}, {"Umask0", 0, 0666}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    RunOptions options;
    options.umask = c.umask;
    RunResult r = run_lagwatch({}, options);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(stat_path(run_file_path()).st_mode & 07777, c.mode);
    EXPECT_EQ(run_file.read(), decimal(kNow));
  }
}

// Print-only mode leaves the run file alone, so the same messages are due again next time.
TEST_F(RunE2eTest, PrintOnlyRunsLeaveTheRunFile) {
  struct Case {
    const char* name;
    std::optional<std::string> run_file;
    int64_t lastrun;
  };
  const Case cases[] = {{"NoRunFile", std::nullopt, 0}, {"OldRunFile", "1000", 1000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    if (c.run_file) run_file.write(*c.run_file);
    Message m = queue.add_message(12, "9201", kSender, kNow - 14400);
    for (int pass = 1; pass <= 2; ++pass) {
      SCOPED_TRACE("pass " + std::to_string(pass));
      RunResult r = run_lagwatch({"-N", "-d"}, at_time(kNow + pass - 1));
      EXPECT_EQ(r.exit_status, 0);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, default_config_debug_lines(c.lastrun, 14400, kNow + pass - 1) +
                           expiry_line(m.filename(), kNow) + undone_line(m.filename(), kSender, 0));
      EXPECT_EQ(run_file.read(), c.run_file);
    }
  }
}

// A run whose injector fails leaves the run file, so the next run tries that notice again.
TEST_F(RunE2eTest, FailedRunIsRepeatedByTheNextRun) {
  struct Case {
    const char* name;
    std::string action;  // the first injector call; empty: no injector to execute
    std::string err;
    size_t failed_calls;  // calls recorded by the failed run
  };
  const Case cases[] = {
      {"InjectorExitsWithAnError", inject_exit(1), fatal("qmail-inject exited with an error"), 1},
      {"InjectorExitsWithTemporaryTrouble", inject_exit(111),
       fatal("qmail-inject exited with an error"), 1},
      {"InjectorKilled", inject_signal(SIGKILL), fatal("qmail-inject crashed"), 1},
      {"InjectorStopped", inject_stop(), fatal("qmail-inject crashed"), 1},
      {"InjectorMissing", "",
       fatal("Exec of qmail-inject failed: " + errno_text(ENOENT)) +
           fatal("qmail-inject exited with an error"),
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    run_file.write("1000");
    queue.add_message(5, "9301", kSender, kNow - 20000).remote({"Tbob@example.net"}).mess("x\n");
    if (c.action.empty()) {
      injector.remove();
    } else {
      injector.plan({c.action, inject_exit(0)});
    }
    RunResult first = run_lagwatch({});
    EXPECT_EQ(first.exit_status, 111);
    EXPECT_EQ(first.err, c.err);
    EXPECT_EQ(run_file.read(), "1000");
    ASSERT_EQ(injector.calls().size(), c.failed_calls);

    if (c.action.empty()) injector.install();
    RunResult second = run_lagwatch({}, at_time(kNow + 60));
    EXPECT_EQ(second.exit_status, 0);
    EXPECT_EQ(second.err, "");
    EXPECT_EQ(run_file.read(), decimal(kNow + 60));
    std::vector<InjectorCall> calls = injector.calls();
    ASSERT_EQ(calls.size(), c.failed_calls + 1);
    EXPECT_EQ(calls.back().argv,
              (std::vector<std::string>{injector_path(), "-f", "", "-a", kSender}));
    if (c.failed_calls == 1) {
      EXPECT_EQ(calls[0].input, calls[1].input);
    }
  }
}

// Odd info files: the leading byte is not examined, the sender ends at the first NUL or at
// the end of the bytes, and nothing past them is read.
TEST_F(RunE2eTest, InfoFileContents) {
  struct Case {
    const char* name;
    std::string bytes;
    std::optional<std::string> sender;  // nullopt: an empty sender, a bounce
  };
  const Case cases[] = {
      {"QmailForm", std::string("Fbob@example.net\0", 17), "bob@example.net"},
      {"NoNul", "Fbob@example.net", "bob@example.net"},
      {"BytesAfterTheNul", std::string("Fbob@example.net\0junk\0more", 26), "bob@example.net"},
      {"OtherLeadingByte", std::string("Xbob@example.net\0", 17), "bob@example.net"},
      {"BlankAndQuotesKept", std::string("F\"a b\"@example.net\0", 19), "\"a b\"@example.net"},
      {"HighBitBytesKept", std::string("F\xe9t\xe9@example.net\0", 17), "\xe9t\xe9@example.net"},
      {"Empty", "", std::nullopt},
      {"OneByte", "F", std::nullopt},
      {"NullSender", std::string("F\0", 2), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    Message m = queue.add_message(10, "9401", "placeholder", kNow - 20000).info_bytes(c.bytes);
    RunResult r = run_lagwatch({"-d"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, default_config_debug_lines(0) + expiry_line(m.filename(), kNow - 5600) +
                         (c.sender ? undone_line(m.filename(), *c.sender, 0)
                                   : debug("ignoring, bounce message")));
    EXPECT_EQ(run_file.read(), decimal(kNow));
  }
}

// The sender of an info file without a NUL reaches the injector as exactly its bytes.
TEST_F(RunE2eTest, SenderWithoutNulReachesTheInjector) {
  queue.add_message(10, "9501", "x", kNow - 20000)
      .info_bytes("Fno-nul@example.net")
      .local({"Dgone@example.net", "Tstill@example.net"})
      .mess("x\n");
  RunResult r = run_lagwatch({});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv,
            (std::vector<std::string>{injector_path(), "-f", "", "-a", "no-nul@example.net"}));
}

// Names far longer than qmail's: no overflow, whether the implementation copes or gives up.
TEST_F(RunE2eTest, LongNamesDoNotOverflow) {
  const std::string long_split(200, '7');
  const std::string long_name(250, '9');
  queue.add_message(long_split, long_name, kSender, kNow - 20000);
  queue.add_message(1, long_name, kSender, kNow - 20000);
  RunResult r = run_lagwatch({});
  EXPECT_EQ(r.term_signal, 0);
  EXPECT_EQ(r.out, "");
  if (r.exit_status == 0) {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(run_file.read(), decimal(kNow));
  } else {
    EXPECT_EQ(r.exit_status, 111);
    EXPECT_EQ(r.err.rfind("lagwatch: Fatal: ", 0), 0u) << r.err;
    EXPECT_EQ(run_file.read(), std::nullopt);
  }
}

// -f names a file relative to the directory the program started in, read before any
// control file.
TEST_F(RunE2eTest, TemplateFileIsReadFromTheStartDirectory) {
  write_file(start_dir() + "/notice.txt", "Custom notice from %s.\n");
  write_file(control_dir() + "/notice.txt", "decoy in control\n");
  write_file(queue_dir() + "/notice.txt", "decoy in the queue\n");
  queue.add_message(0, "9601", kSender, kNow - 20000).remote({"Tbob@example.net"}).mess("m\n");
  RunResult r = run_lagwatch({"-N", "-b", "0", "-f", "notice.txt"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "From: <MAILER-DAEMON@mail.example.org>\nTo: <alice@example.org>\n"
            "Subject: delayed delivery notice\n\nCustom notice from mail.example.org.\n"
            "\nRecipient(s):\n\tbob@example.net\n");
}

// Failures of loading the template file come before anything is read from control/.
TEST_F(RunE2eTest, TemplateFileFailures) {
  struct Case {
    const char* name;
    std::string value;
    std::string err;
  };
  const Case cases[] = {
      {"Missing", "missing.txt", fatal("Could not open 'missing.txt': " + errno_text(ENOENT))},
      {"EmptyValue", "", fatal("Could not open '': " + errno_text(ENOENT))},
      {"MissingInASubdirectory", "sub/x.txt",
       fatal("Could not open 'sub/x.txt': " + errno_text(ENOENT))},
      {"Directory", ".", fatal("Could not read the bounce response file.")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    control.remove("me");  // would be a failure of its own, later
    run_file.write("1000");
    RunResult r = run_lagwatch({"-f", c.value});
    EXPECT_EQ(r.exit_status, 111);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(run_file.read(), "1000");
  }
}

// A template file of 0 bytes is a valid, empty template.
TEST_F(RunE2eTest, EmptyTemplateFileIsAccepted) {
  write_file(start_dir() + "/empty.txt", "");
  queue.add_message(0, "9701", kSender, kNow - 20000).remote({"Tbob@example.net"}).mess("m\n");
  RunResult r = run_lagwatch({"-N", "-b", "0", "-f", "empty.txt"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out,
            "From: <MAILER-DAEMON@mail.example.org>\nTo: <alice@example.org>\n"
            "Subject: delayed delivery notice\n\n\nRecipient(s):\n\tbob@example.net\n");
}

}  // namespace
}  // namespace lagwatch::e2e
