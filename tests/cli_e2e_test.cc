// End-to-end tests of the command line: the help screen, every usage error, and the options
// reaching the run, through the real program in the sandbox.

#include <cerrno>
#include <string>
#include <vector>

#include "cli/expected_help.h"
#include "harness.h"

namespace lagwatch::e2e {
namespace {

class CliE2eTest : public SandboxTest {};

// The usage line and the help screen, 13 lines and 658 bytes.
const std::string kHelp = kExpectedHelpScreen;

constexpr const char* kSender = "alice@example.org";

std::string decimal(int64_t value) { return std::to_string(static_cast<long long>(value)); }

std::string usage_error(const std::string& message) {
  return "lagwatch: Error: " + message + ".\n";
}

// -h and --help show the usage line and the help screen and end with status 0, before the
// check for positional arguments and without starting the run.
TEST_F(CliE2eTest, HelpRequests) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {"Short", {"-h"}},
      {"Long", {"--help"}},
      {"ShortWithArgumentAfter", {"-h", "foo"}},
      {"LongWithArgumentAfter", {"--help", "foo"}},
      {"InAGroupLast", {"-dh"}},
      {"InAGroupFirst", {"-hd"}},
      {"BeforeOptions", {"-h", "-t", "5"}},
      {"AfterOptions", {"-t", "5", "-x", "ops", "--help"}},
      {"WithDebug", {"-d", "-h"}},
      {"BeforeDoubleDash", {"-h", "--", "-q"}},
      {"Twice", {"-h", "--help"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    control.remove("me");  // a run would end with its own failure
    RunResult r = run_lagwatch(c.args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(r.out.size(), 658u);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(run_file.read(), std::nullopt);
  }
}

// Every usage error: one "Error" line on standard error, the usage line and the help screen on
// standard output, status 1, and no run.
TEST_F(CliE2eTest, UsageErrors) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {"HelpThenUnknownLetter", {"-h", "-q"}, "Unknown option letter -q."},
      {"UnknownLetterThenHelp", {"-q", "-h"}, "Unknown option letter -q."},
      {"HelpWithValue", {"--help=yes"}, "Option --help does not take a value."},
      {"HelpWithEmptyValue", {"--help="}, "Option --help does not take a value."},
      {"LongNamePrefix", {"--hel"}, "Unknown option string: '--hel'"},
      {"LongNameExtended", {"--helper"}, "Unknown option string: '--helper'"},
      {"LongNameExtendedWithValue", {"--helper=1"}, "Unknown option string: '--helper=1'"},
      {"UnknownLongOption", {"-d", "--debug"}, "Unknown option string: '--debug'"},
      {"LongOptionOnlyEquals", {"--=x"}, "Unknown option string: '--=x'"},
      {"ThreeDashes", {"---"}, "Unknown option string: '---'"},
      {"HelpThenUnknownLong", {"-h", "--bogus"}, "Unknown option string: '--bogus'"},
      {"UnknownLetter", {"-q"}, "Unknown option letter -q."},
      {"UnknownLetterAfterFlags", {"-dmq"}, "Unknown option letter -q."},
      {"UpperCaseLetter", {"-D"}, "Unknown option letter -D."},
      {"LetterHIsNotUpperCase", {"-H"}, "Unknown option letter -H."},
      {"HighBitLetter", {"-\xe9"}, "Unknown option letter -\xe9."},
      {"ValueMissingAtTheEnd", {"-t"}, "Option -t requires a value."},
      {"ValueMissingAfterFlags", {"-d", "-f"}, "Option -f requires a value."},
      {"ValueMissingInAGroup", {"-dt"}, "Option -t requires a value."},
      {"ExtraRecipientValueMissing", {"-x"}, "Option -x requires a value."},
      {"CopyBytesValueMissing", {"-b"}, "Option -b requires a value."},
      {"InvalidInteger", {"-t", "12x"}, "Invalid integer: 12x"},
      {"InvalidIntegerInTheGroup", {"-t12x"}, "Invalid integer: 12x"},
      {"GroupRestIsTheValue", {"-td"}, "Invalid integer: d"},
      {"InvalidCopyBytes", {"-b", "abc"}, "Invalid integer: abc"},
      {"TrailingBlank", {"-t", " 12 "}, "Invalid integer:  12 "},
      {"Hexadecimal", {"-t", "0x10"}, "Invalid integer: 0x10"},
      {"DashesAsValue", {"-t", "--"}, "Invalid integer: --"},
      {"FirstErrorWins", {"-t", "1x", "-q"}, "Invalid integer: 1x"},
      {"Positional", {"foo"}, "Too many command-line arguments"},
      {"PositionalStopsParsing", {"-d", "foo", "-m"}, "Too many command-line arguments"},
      {"AfterDoubleDash", {"--", "-d"}, "Too many command-line arguments"},
      {"AfterLoneDash", {"-", "-d"}, "Too many command-line arguments"},
      {"EmptyArgument", {""}, "Too many command-line arguments"},
      {"EmptyAfterDoubleDash", {"--", ""}, "Too many command-line arguments"},
      {"PositionalBeforeHelp", {"foo", "-h"}, "Too many command-line arguments"},
      {"DoubleDashBeforeHelp", {"--", "-h"}, "Too many command-line arguments"},
      {"PositionalAfterAValue", {"-t", "5", "extra"}, "Too many command-line arguments"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    control.remove("me");  // a run would end with its own failure
    RunResult r = run_lagwatch(c.args);
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, usage_error(c.message));
    EXPECT_EQ(r.out, kHelp);
    EXPECT_EQ(run_file.read(), std::nullopt);
    EXPECT_EQ(injector.calls().size(), 0u);
  }
}

// The program calls itself "lagwatch" whatever name it was started under.
TEST_F(CliE2eTest, ProgramNameIsFixed) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int exit_status;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {"Help", {"-h"}, 0, kHelp, ""},
      {"UsageError", {"-q"}, 1, kHelp, usage_error("Unknown option letter -q.")},
      {"Fatal",
       {"-f", "missing"},
       111,
       "",
       "lagwatch: Fatal: Could not open 'missing': " + errno_text(ENOENT) + ".\n"},
      {"Debug", {"-d"}, 0, "", default_config_debug_lines(0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    RunOptions options;
    options.argv0 = "/usr/local/sbin/qmail-late";
    RunResult r = run_lagwatch(c.args, options);
    EXPECT_EQ(r.exit_status, c.exit_status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

// Very long arguments are reported or used whole.
TEST_F(CliE2eTest, LongArguments) {
  const std::string long_text(20000, 'a');
  control.remove("me");
  RunResult unknown = run_lagwatch({"--" + long_text});
  EXPECT_EQ(unknown.exit_status, 1);
  EXPECT_EQ(unknown.err, usage_error("Unknown option string: '--" + long_text + "'"));
  EXPECT_EQ(unknown.out, kHelp);

  RunResult invalid = run_lagwatch({"-t", "1" + long_text});
  EXPECT_EQ(invalid.exit_status, 1);
  EXPECT_EQ(invalid.err, usage_error("Invalid integer: 1" + long_text));

  sandbox_reset();
  const std::string address = long_text + "@example.net";
  RunResult extra = run_lagwatch({"-d", "-x", address});
  EXPECT_EQ(extra.exit_status, 0);
  EXPECT_EQ(extra.err, config_debug_lines(kMe, 604800, address.c_str(), kNow, 0, 14400));
}

// Parsed options reach the run: the values shown by the configuration's debug lines.
TEST_F(CliE2eTest, OptionValuesReachTheRun) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* extra_rcpt;
    int64_t opt_age;
  };
  const Case cases[] = {
      {"DebugAlone", {"-d"}, nullptr, 14400},
      {"DebugTwice", {"-dd"}, nullptr, 14400},
      {"LastValueWins", {"-d", "-t", "100", "-t", "200"}, nullptr, 200},
      {"FlagThenValueInOneGroup", {"-dt", "3600"}, nullptr, 3600},
      {"ValueInTheSameArgument", {"-dt3600"}, nullptr, 3600},
      {"ValueBeforeTheFlag", {"-t3600", "-d"}, nullptr, 3600},
      {"EmptyValueIsZero", {"-d", "-t", ""}, nullptr, 0},
      {"LeadingBlanks", {"-d", "-t", "  42"}, nullptr, 42},
      {"PlusSign", {"-d", "-t", "+7"}, nullptr, 7},
      {"NegativeValue", {"-d", "-t", "-5"}, nullptr, -5},
      {"DashValueTakenWhole", {"-d", "-t-5"}, nullptr, -5},
      {"LargestThirtyTwoBitValue", {"-d", "-t", "2147483647"}, nullptr, 2147483647},
      {"SmallestThirtyTwoBitValue", {"-d", "-t", "-2147483648"}, nullptr, -2147483648LL},
      {"LoneDashEndsParsing", {"-d", "-"}, nullptr, 14400},
      {"DoubleDashEndsParsing", {"-d", "--"}, nullptr, 14400},
      {"ExtraRecipientQualified", {"-d", "-x", "ops"}, "ops@mail.example.org", 14400},
      {"ExtraRecipientInAGroup", {"-dx", "ops"}, "ops@mail.example.org", 14400},
      {"ExtraRecipientAttached", {"-d", "-xops@example.net"}, "ops@example.net", 14400},
      {"ExtraRecipientLastWins", {"-d", "-x", "a", "-x", ""}, nullptr, 14400},
      {"ExtraRecipientTakesADash", {"-d", "-x", "-t"}, "-t@mail.example.org", 14400},
      {"CopyBytesDoNotShow", {"-d", "-b", "-5"}, nullptr, 14400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    RunResult r = run_lagwatch(c.args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, config_debug_lines(kMe, 604800, c.extra_rcpt, kNow, 0, c.opt_age));
    EXPECT_EQ(run_file.read(), decimal(kNow));
  }
}

// No arguments at all, "-" alone and "--" alone: a normal, quiet run.
TEST_F(CliE2eTest, RunWithoutOptions) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
  };
  const Case cases[] = {{"NoArguments", {}}, {"LoneDash", {"-"}}, {"DoubleDash", {"--"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    queue.add_message(3, "101", kSender, kNow - 20000).remote({"Tbob@example.net"}).mess("m\n");
    RunResult r = run_lagwatch(c.args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(run_file.read(), decimal(kNow));
    std::vector<InjectorCall> calls = injector.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{injector_path(), "-f", "", "-a", kSender}));
  }
}

// -t moves every message's expiry, and with it the decision.
TEST_F(CliE2eTest, AgeOptionChangesExpiry) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int64_t opt_age;
    bool due;
  };
  const Case cases[] = {
      {"DefaultFourHours", {"-d"}, 14400, false},
      {"HundredSecondsMakesItDue", {"-d", "-t", "100"}, 100, true},
      {"HundredAndOneIsNotYet", {"-d", "-t", "101"}, 101, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    Message m = queue.add_message(4, "201", kSender, kNow - 100);
    RunResult r = run_lagwatch(c.args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, default_config_debug_lines(0, c.opt_age) +
                         debug("filename=4/201 expiry=" + decimal(kNow - 100 + c.opt_age)) +
                         (c.due ? debug("filename=4/201 sender='alice@example.org' undone=0")
                                : debug("ignoring, has not yet expired")));
  }
}

// "-x -d": -x takes "-d" as its value, so there are no debug lines, and the qualified value
// reaches the injector as its extra recipient.
TEST_F(CliE2eTest, ExtraRecipientTakesTheNextArgumentWhatever) {
  queue.add_message(3, "301", kSender, kNow - 20000).remote({"Tbob@example.net"}).mess("m\n");
  RunResult r = run_lagwatch({"-x", "-d"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv, (std::vector<std::string>{injector_path(), "-f", "", "-a", kSender,
                                                     "-d@mail.example.org"}));
}

// -N prints instead of sending and leaves the run file; without it the injector gets the notice
// and the run file advances.
TEST_F(CliE2eTest, PrintOnlyOption) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    bool print_only;
  };
  const Case cases[] = {
      {"Sending", {"-b", "0"}, false},
      {"PrintOnly", {"-N", "-b", "0"}, true},
      {"PrintOnlyInAGroup", {"-Nb0"}, true},
  };
  const std::string notice =
      "From: <MAILER-DAEMON@mail.example.org>\nTo: <alice@example.org>\n"
      "Subject: delayed delivery notice\n\n"
      "Your message has been received by mail.example.org but has been\n"
      "undeliverable to the following recipients for at least 4 hours.\n"
      "The mail system will continue to attempt to deliver your message\n"
      "to these recipients for a total of 7 days.  You do not need to\n"
      "resend your message at this time.\n"
      "\nRecipient(s):\n\tbob@example.net\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    run_file.write("1000");
    queue.add_message(3, "401", kSender, kNow - 20000).remote({"Tbob@example.net"}).mess("m\n");
    RunResult r = run_lagwatch(c.args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<InjectorCall> calls = injector.calls();
    if (c.print_only) {
      EXPECT_EQ(r.out, notice);
      EXPECT_EQ(calls.size(), 0u);
      EXPECT_EQ(run_file.read(), "1000");
    } else {
      EXPECT_EQ(r.out, "");
      ASSERT_EQ(calls.size(), 1u);
      EXPECT_EQ(calls[0].input, notice);
      EXPECT_EQ(run_file.read(), decimal(kNow));
    }
  }
}

// -f loads the template, relative to the start directory, also when started elsewhere.
TEST_F(CliE2eTest, TemplateOption) {
  struct Case {
    const char* name;
    std::string start;  // relative to the sandbox root
    std::string value;
  };
  const Case cases[] = {
      {"InTheStartDirectory", "start", "t.txt"},
      {"FromAnotherDirectory", "start/sub", "../t.txt"},
      {"AbsolutePath", "start/sub", sandbox_root() + "/start/t.txt"},
      {"AttachedToTheLetter", "start", "t.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    make_dir(start_dir() + "/sub");
    write_file(start_dir() + "/t.txt", "Late: %s, %s, %s.\n");
    queue.add_message(3, "501", kSender, kNow - 20000).local({"Tbob"}).mess("m\n");
    std::vector<std::string> args = {"-N", "-b", "0"};
    if (std::string(c.name) == "AttachedToTheLetter") {
      args.push_back("-f" + c.value);
    } else {
      args.push_back("-f");
      args.push_back(c.value);
    }
    RunResult r = run_lagwatch(args, c.start);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out,
              "From: <MAILER-DAEMON@mail.example.org>\nTo: <alice@example.org>\n"
              "Subject: delayed delivery notice\n\n"
              "Late: mail.example.org, 4 hours, 7 days.\n"
              "\nRecipient(s):\n\tbob\n");
  }
}

}  // namespace
}  // namespace lagwatch::e2e
