// Notices end to end: the exact bytes handed to qmail-inject (or printed with -N), the
// injector's argument vector, working directory and exit status, and the faults mended in
// the dispatch (broken pipe, vanished message text, bounce senders, senders that look like
// options, refused notices).

#include <signal.h>

#include <cerrno>
#include <map>
#include <string>
#include <vector>

#include "harness.h"

namespace lagwatch::e2e {
namespace {

// ---- Expected notice bytes -----------------------------------------------------------------

std::string head(const std::string& sender) {
  return "From: <MAILER-DAEMON@mail.example.org>\nTo: <" + sender +
         ">\nSubject: delayed delivery notice\n";
}

std::string builtin_body(const std::string& age, const std::string& lifetime) {
  return "Your message has been received by mail.example.org but has been\n"
         "undeliverable to the following recipients for at least " +
         age +
         ".\n"
         "The mail system will continue to attempt to deliver your message\n"
         "to these recipients for a total of " +
         lifetime +
         ".  You do not need to\n"
         "resend your message at this time.\n";
}

const std::string kBody = builtin_body("4 hours", "7 days");

struct Copy {
  bool wanted;
  std::string bytes;  // what follows the copy heading, "[...]" included
};

std::string plain_notice(const std::string& sender, const std::string& lines, const Copy& copy,
                         const std::string& body = kBody) {
  std::string n = head(sender) + "\n" + body + "\nRecipient(s):\n" + lines;
  if (copy.wanted) {
    n += "\n--- Below this line is a copy of the original message.\n\n" + copy.bytes + "\n";
  }
  return n;
}

// A MIME notice with "BOUNDARY" in place of its boundary.
std::string mime_notice(const std::string& sender, const std::string& lines, const Copy& copy) {
  std::string n = head(sender) +
                  "MIME-Version: 1.0\n"
                  "Content-Type: multipart/mixed; boundary=\"BOUNDARY\"\n"
                  "\n"
                  "This is a multi-part message in MIME format.\n"
                  "(If you can see this message, your E-mail client is not MIME compatible.)\n"
                  "--BOUNDARY\n"
                  "Content-Type: text/plain; charset=us-ascii\n"
                  "Content-Transfer-Encoding: 7bit\n"
                  "\n" +
                  kBody + "\nRecipient(s):\n" + lines;
  if (copy.wanted) {
    n += "\nThe following attachment contains a copy of the original message.\n\n"
         "--BOUNDARY\nContent-Type: message/rfc822\nContent-Disposition: inline\n\n" +
         copy.bytes;
  }
  return n + "\n--BOUNDARY--\n";
}

// The boundary of a MIME notice, checked for its form; empty when there is none.
std::string boundary_of(const std::string& notice) {
  const std::string key = "boundary=\"";
  const size_t at = notice.find(key);
  if (at == std::string::npos || at + key.size() + 64 > notice.size()) {
    ADD_FAILURE() << "no boundary in:\n" << notice;
    return "";
  }
  std::string b = notice.substr(at + key.size(), 64);
  EXPECT_EQ(b.find_first_not_of("0123456789ABCDEF"), std::string::npos) << b;
  return b;
}

// `notice` with every occurrence of its boundary replaced by "BOUNDARY".
std::string boundary_named(std::string notice) {
  const std::string b = boundary_of(notice);
  if (b.empty()) return notice;
  for (size_t at = notice.find(b); at != std::string::npos; at = notice.find(b, at)) {
    notice.replace(at, b.size(), "BOUNDARY");
  }
  return notice;
}

std::vector<std::string> argv_for(const std::vector<std::string>& after_a) {
  std::vector<std::string> argv = {injector_path(), "-f", "", "-a"};
  argv.insert(argv.end(), after_a.begin(), after_a.end());
  return argv;
}

std::string forking(const std::string& sender, const std::string& extra = "(null)") {
  return debug("forking " + injector_path() + " -f '' -a '" + sender + "' '" + extra + "'");
}

// The due time of every message below: its expiry equals the frozen `now`.
constexpr int64_t kDue = kNow - 14400;

const char kMessage[] = "From: alice@example.org\nTo: bob@remote.example\nSubject: hi\n\nhello\n";

class NoticeE2eTest : public SandboxTest {};

// ---- Notice bytes ---------------------------------------------------------------------------

TEST_F(NoticeE2eTest, PlainNoticeReachesTheInjectorByteForByte) {
  queue.add_message(3, "1065493", "alice@example.org", kDue)
      .remote({"Tbob@remote.example", "Dcarol@done.example", "Tdave@far.example"})
      .local({"Terin@mail.example.org"})
      .mess(kMessage);
  RunResult r = run_lagwatch({"-d"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, default_config_debug_lines(0) +
                       debug("filename=3/1065493 expiry=" + std::to_string(kNow)) +
                       debug("filename=3/1065493 sender='alice@example.org' undone=3") +
                       forking("alice@example.org"));
  const std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv, argv_for({"alice@example.org"}));
  EXPECT_EQ(calls[0].cwd, queue_dir());
  EXPECT_EQ(calls[0].input, plain_notice("alice@example.org",
                                         "\terin@mail.example.org\n\tbob@remote.example\n"
                                         "\tdave@far.example\n",
                                         {true, kMessage}));
  EXPECT_EQ(run_file.read(), std::to_string(kNow));
}

TEST_F(NoticeE2eTest, MimeNoticeReachesTheInjectorByteForByte) {
  queue.add_message(7, "2000007", "alice@example.org", kDue)
      .remote({"Tbob@remote.example"})
      .mess(kMessage);
  RunResult r = run_lagwatch({"-m"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  const std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(boundary_named(calls[0].input),
            mime_notice("alice@example.org", "\tbob@remote.example\n", {true, kMessage}));
}

std::string letters(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
  return s;
}

TEST_F(NoticeE2eTest, CopyOfTheMessageFollowsTheByteLimit) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    size_t message_size;
    bool write_mess;
    Copy copy;
  };
  const Case cases[] = {
      {"NoCopyPlain", {"-b", "0"}, 100, true, {false, ""}},
      {"NoCopyMessageTextMissingNoNotice", {"-b", "0"}, 0, false, {false, ""}},
      {"ShorterThanLimit", {"-b", "100"}, 50, true, {true, letters(50)}},
      {"ExactlyTheLimit", {"-b", "100"}, 100, true, {true, letters(100) + "[...]"}},
      {"LongerThanLimit", {"-b", "100"}, 150, true, {true, letters(100) + "[...]"}},
      {"LimitAcrossTwoReads", {"-b", "5000"}, 10000, true, {true, letters(5000) + "[...]"}},
      {"EmptyMessageWithLimit", {"-b", "100"}, 0, true, {true, ""}},
      {"EmptyMessageWhole", {}, 0, true, {true, ""}},
      {"WholeLargeMessage", {}, 100000, true, {true, letters(100000)}},
  };
  for (const Case& c : cases) {
    sandbox_reset();
    Message m = queue.add_message(1, "100", "s@example.org", kDue).remote({"Tr@x.example"});
    if (c.write_mess) m.mess(letters(c.message_size));
    for (const bool mime : {false, true}) {
      std::vector<std::string> args = c.args;
      args.push_back("-N");
      if (mime) args.push_back("-m");
      RunResult r = run_lagwatch(args);
      EXPECT_EQ(r.exit_status, 0) << c.name;
      EXPECT_EQ(r.err, "") << c.name;
      // The text is read for its header even when none of it is copied: without it, no notice.
      const std::string expected = !c.write_mess ? ""
                                   : mime
                                       ? mime_notice("s@example.org", "\tr@x.example\n", c.copy)
                                       : plain_notice("s@example.org", "\tr@x.example\n", c.copy);
      EXPECT_EQ(mime && c.write_mess ? boundary_named(r.out) : r.out, expected)
          << c.name << (mime ? " MIME" : "");
    }
  }
}

TEST_F(NoticeE2eTest, EveryMimeNoticeOfARunHasItsOwnBoundary) {
  queue.add_message(1, "101", "a@example.org", kDue).remote({"Tr@x"}).mess("one\n");
  queue.add_message(2, "102", "b@example.org", kDue).remote({"Tr@x"}).mess("two\n");
  // A running clock: the boundary is seeded from the time of day of each notice.
  RunResult r = run_lagwatch({"-m"}, RunOptions{.clock_runs = true});
  EXPECT_EQ(r.exit_status, 0);
  const std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 2u);
  const std::string first = boundary_of(calls[0].input);
  const std::string second = boundary_of(calls[1].input);
  EXPECT_NE(first, second);
  // Each boundary is used in all four places of its own notice and nowhere else.
  for (const InjectorCall& call : calls) {
    const std::string b = boundary_of(call.input);
    size_t count = 0;
    for (size_t at = call.input.find(b); at != std::string::npos; at = call.input.find(b, at + 1)) {
      ++count;
    }
    EXPECT_EQ(count, 4u);
  }
}

TEST_F(NoticeE2eTest, DurationsFollowThresholdAndQueueLifetime) {
  struct Case {
    const char* name;
    int64_t age;
    const char* lifetime_file;
    const char* age_text;
    const char* lifetime_text;
  };
  const Case cases[] = {
      {"Defaults", 14400, nullptr, "4 hours", "7 days"},
      {"JustBelowADay", 86399, "86399\n", "23 hours", "23 hours"},
      {"ExactlyADay", 86400, "86400", "1 days", "1 days"},
      {"DayAndAnHour", 90000, "90000\n", "1 days", "1 days"},
      {"ExactlyAnHour", 3600, "3600\n", "1 hours", "1 hours"},
      {"JustBelowTwoHours", 7199, "7199\n", "1 hours", "1 hours"},
      {"JustBelowAnHour", 3599, "3599\n", "59 minutes", "59 minutes"},
      {"ExactlyAMinute", 60, "60\n", "1 minutes", "1 minutes"},
      {"JustBelowAMinute", 59, "59\n", "59 seconds", "59 seconds"},
      {"Zero", 0, "0\n", "0 seconds", "0 seconds"},
      {"Negative", -5, "-5\n", "-5 seconds", "-5 seconds"},
  };
  for (const Case& c : cases) {
    sandbox_reset();
    if (c.lifetime_file != nullptr) control.write("queuelifetime", c.lifetime_file);
    queue.add_message(4, "400", "s@example.org", kNow - c.age).remote({"Tr@x"}).mess("m\n");
    RunResult r = run_lagwatch({"-N", "-b", "0", "-t", std::to_string(c.age)});
    EXPECT_EQ(r.exit_status, 0) << c.name;
    EXPECT_EQ(r.out, plain_notice("s@example.org", "\tr@x\n", {false, ""},
                                  builtin_body(c.age_text, c.lifetime_text)))
        << c.name;
  }
}

// ---- Templates ------------------------------------------------------------------------------

TEST_F(NoticeE2eTest, TemplateFileIsExpandedSafely) {
  struct Case {
    const char* name;
    std::string tmpl;
    std::string body;
  };
  const Case cases[] = {
      {"ZeroBytes", "", ""},
      {"NoConversion", "Still queued.\n", "Still queued.\n"},
      {"PercentPercent", "100%% late: %s\n", "100% late: mail.example.org\n"},
      {"WidthAndPrecision", "[%5.2s]", "[   ma]"},
      {"AllThreeInOrder", "%s/%s/%s", "mail.example.org/4 hours/7 days"},
      {"StoreConversionIsText", "%n%s", "%nmail.example.org"},
      {"IntegerConversionIsText", "%d %s", "%d mail.example.org"},
      {"FourStrings", "%s %s %s %s", "mail.example.org 4 hours 7 days %s"},
      {"LonePercentAtEnd", "ends with %", "ends with %"},
      {"StarWidthIsText", "%*s|%s", "%*s|mail.example.org"},
      {"NulEndsTheTemplate", std::string("kept\0dropped", 12), "kept"},
  };
  for (const Case& c : cases) {
    sandbox_reset();
    write_file(start_dir() + "/notice.txt", c.tmpl);
    queue.add_message(4, "401", "s@example.org", kDue).remote({"Tr@x"}).mess("m\n");
    RunResult r = run_lagwatch({"-N", "-b", "0", "-f", "notice.txt"});
    EXPECT_EQ(r.exit_status, 0) << c.name;
    EXPECT_EQ(r.err, "") << c.name;
    EXPECT_EQ(r.out, plain_notice("s@example.org", "\tr@x\n", {false, ""}, c.body)) << c.name;
  }
}

TEST_F(NoticeE2eTest, TemplatePathIsRelativeToTheStartDirectory) {
  make_dir(sandbox_root() + "/elsewhere/sub");
  write_file(sandbox_root() + "/elsewhere/sub/t", "From elsewhere: %s\n");
  queue.add_message(4, "402", "s@example.org", kDue).remote({"Tr@x"}).mess("m\n");
  RunResult r = run_lagwatch({"-N", "-b", "0", "-f", "sub/t"}, "elsewhere");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, plain_notice("s@example.org", "\tr@x\n", {false, ""},
                                "From elsewhere: mail.example.org\n"));
}

// ---- The injector ---------------------------------------------------------------------------

TEST_F(NoticeE2eTest, ArgumentVectorCarriesTheExtraRecipient) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> after_a;
    const char* extra_shown;
  };
  const Case cases[] = {
      {"WithoutExtra", {}, {"alice@example.org"}, "(null)"},
      {"ExtraQualifiedWithMe",
       {"-x", "postmaster"},
       {"alice@example.org", "postmaster@mail.example.org"},
       "postmaster@mail.example.org"},
      {"ExtraWithAtKept",
       {"-x", "ops@example.net"},
       {"alice@example.org", "ops@example.net"},
       "ops@example.net"},
      {"EmptyExtraIsNone", {"-x", ""}, {"alice@example.org"}, "(null)"},
  };
  for (const Case& c : cases) {
    sandbox_reset();
    queue.add_message(5, "500", "alice@example.org", kDue).remote({"Tr@x"}).mess("m\n");
    std::vector<std::string> args = c.args;
    args.push_back("-d");
    RunResult r = run_lagwatch(args);
    EXPECT_EQ(r.exit_status, 0) << c.name;
    EXPECT_NE(r.err.find(forking("alice@example.org", c.extra_shown)), std::string::npos)
        << c.name << "\n"
        << r.err;
    const std::vector<InjectorCall> calls = injector.calls();
    ASSERT_EQ(calls.size(), 1u) << c.name;
    EXPECT_EQ(calls[0].argv, argv_for(c.after_a)) << c.name;
    EXPECT_EQ(calls[0].cwd, queue_dir()) << c.name;
  }
}

TEST_F(NoticeE2eTest, InjectorOutcomeDecidesTheRun) {
  struct Case {
    const char* name;
    std::string plan;
    bool remove_injector;
    int exit_status;
    std::string err;
  };
  const Case cases[] = {
      {"ExitZeroGoesOn", inject_exit(0), false, 0, ""},
      {"ExitNonZeroEndsRun", inject_exit(111), false, 111,
       "lagwatch: Fatal: qmail-inject exited with an error.\n"},
      {"ExitOneEndsRun", inject_exit(1), false, 111,
       "lagwatch: Fatal: qmail-inject exited with an error.\n"},
      {"KilledBySignal", inject_signal(SIGKILL), false, 111,
       "lagwatch: Fatal: qmail-inject crashed.\n"},
      {"Stopped", inject_stop(), false, 111, "lagwatch: Fatal: qmail-inject crashed.\n"},
      {"ExecFails", "", true, 111,
       "lagwatch: Fatal: Exec of qmail-inject failed: " + errno_text(ENOENT) +
           ".\nlagwatch: Fatal: qmail-inject exited with an error.\n"},
  };
  for (const Case& c : cases) {
    sandbox_reset();
    run_file.write("1000");
    queue.add_message(6, "600", "a@example.org", kDue).remote({"Tr@x"}).mess("first\n");
    if (c.remove_injector) {
      injector.remove();
    } else {
      injector.plan({c.plan});
    }
    RunResult r = run_lagwatch({});
    EXPECT_EQ(r.exit_status, c.exit_status) << c.name;
    EXPECT_EQ(r.term_signal, 0) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(run_file.read(), c.exit_status == 0 ? std::to_string(kNow) : "1000") << c.name;
    if (!c.remove_injector) {
      const std::vector<InjectorCall> calls = injector.calls();
      ASSERT_EQ(calls.size(), 1u) << c.name;
      EXPECT_EQ(calls[0].input, plain_notice("a@example.org", "\tr@x\n", {true, "first\n"}))
          << c.name;
    }
  }
}

// Each notice reaches its injector whole and alone, although the first, in walk order, is far
// longer than the two after it.
TEST_F(NoticeE2eTest, WalkGoesOnAfterAnAcceptedNotice) {
  queue.add_message(1, "11", "a@example.org", kDue).remote({"Tr1@x"});
  queue.add_message(2, "12", "b@example.org", kDue).remote({"Tr2@x"});
  queue.add_message(3, "13", "c@example.org", kDue).local({"Tr3@x"});
  const std::map<std::string, std::string> sender = {
      {"1/11", "a@example.org"}, {"2/12", "b@example.org"}, {"3/13", "c@example.org"}};
  const std::vector<std::string> order = queue.walk_order();
  ASSERT_EQ(order.size(), 3u);
  const auto text = [&](size_t i) { return i == 0 ? letters(100000) : order[i] + "\n"; };
  for (size_t i = 0; i < 3; ++i) queue.write("mess/" + order[i], text(i));
  injector.plan({inject_exit(0), inject_exit(0), inject_exit(0)});
  RunResult r = run_lagwatch({});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, "");
  const std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const std::string line = "\tr" + order[i].substr(0, 1) + "@x\n";
    EXPECT_EQ(calls[i].input, plain_notice(sender.at(order[i]), line, {true, text(i)})) << i;
  }
  EXPECT_EQ(run_file.read(), std::to_string(kNow));
}

// An injector that quits without reading a notice larger than a pipe buffer is judged by its exit
// status alone: the whole notice lay ready for it, so exit 0 accepted it, however much it read.
TEST_F(NoticeE2eTest, InjectorThatQuitsEarlyIsJudgedByItsExitStatus) {
  struct Case {
    const char* name;
    std::string plan;
    int exit_status;
    std::string err;
  };
  const Case cases[] = {
      {"QuitsWithoutReading", inject_early_exit(0), 0, ""},
      {"ReadsALittleThenFails", inject_partial(1000, 111), 111,
       "lagwatch: Fatal: qmail-inject exited with an error.\n"},
      {"QuitsWithTemporaryError", inject_early_exit(111), 111,
       "lagwatch: Fatal: qmail-inject exited with an error.\n"},
  };
  for (const Case& c : cases) {
    sandbox_reset();
    run_file.write("1000");
    queue.add_message(8, "800", "a@example.org", kDue).remote({"Tr@x"}).mess(letters(300000));
    injector.plan({c.plan});
    RunResult r = run_lagwatch({});
    EXPECT_EQ(r.term_signal, 0) << c.name;
    EXPECT_EQ(r.exit_status, c.exit_status) << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
    EXPECT_EQ(run_file.read(), c.exit_status == 0 ? std::to_string(kNow) : "1000") << c.name;
  }
}

// ---- Print-only mode ------------------------------------------------------------------------

TEST_F(NoticeE2eTest, PrintOnlyWritesNoticesBackToBack) {
  queue.add_message(1, "21", "a@example.org", kDue).remote({"Tr1@x"}).mess("one\n");
  queue.add_message(2, "22", "b@example.org", kDue).local({"Tr2@x"}).mess("two\n");
  run_file.write("1000");
  const std::map<std::string, std::string> expected = {
      {"1/21", plain_notice("a@example.org", "\tr1@x\n", {true, "one\n"})},
      {"2/22", plain_notice("b@example.org", "\tr2@x\n", {true, "two\n"})},
  };
  const std::map<std::string, std::string> senders = {{"1/21", "a@example.org"},
                                                      {"2/22", "b@example.org"}};
  std::string out;
  std::string err = default_config_debug_lines(1000);
  for (const std::string& f : queue.walk_order()) {
    out += expected.at(f);
    err += debug("filename=" + f + " expiry=" + std::to_string(kNow)) +
           debug("filename=" + f + " sender='" + senders.at(f) + "' undone=1") +
           forking(senders.at(f));
  }
  RunResult r = run_lagwatch({"-N", "-d"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
  EXPECT_TRUE(injector.calls().empty());
  EXPECT_EQ(run_file.read(), "1000");
}

// ---- Mended faults --------------------------------------------------------------------------

TEST_F(NoticeE2eTest, MessageTextGoneSkipsTheMessage) {
  queue.add_message(1, "31", "a@example.org", kDue).remote({"Tr1@x"});  // no mess file
  queue.add_message(2, "32", "b@example.org", kDue).remote({"Tr2@x"}).mess("two\n");
  RunResult r = run_lagwatch({"-d"});
  EXPECT_EQ(r.exit_status, 0);
  std::string err = default_config_debug_lines(0);
  for (const std::string& f : queue.walk_order()) {
    err += debug("filename=" + f + " expiry=" + std::to_string(kNow));
    if (f == "1/31") {
      err += debug("filename=1/31 sender='a@example.org' undone=1") +
             debug("ignoring 1/31, message left the queue");
    } else {
      err += debug("filename=2/32 sender='b@example.org' undone=1") + forking("b@example.org");
    }
  }
  EXPECT_EQ(r.err, err);
  const std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv, argv_for({"b@example.org"}));
  EXPECT_EQ(run_file.read(), std::to_string(kNow));
}

TEST_F(NoticeE2eTest, UnopenableMessageTextEndsTheRunBeforeAnyInjector) {
  // With -b 0 too: the text is opened for its header even when none of it is copied.
  const std::vector<std::string> arg_lists[] = {{"-d"}, {"-N", "-d"}, {"-N", "-d", "-b", "0"}};
  for (const std::vector<std::string>& args : arg_lists) {
    SCOPED_TRACE(testing::PrintToString(args));
    sandbox_reset();
    run_file.write("1000");
    const Message m = queue.add_message(1, "33", "a@example.org", kDue).remote({"Tr@x"});
    make_symlink("33", m.mess_path());  // a link to itself: ELOOP
    RunResult r = run_lagwatch(args);
    EXPECT_EQ(r.exit_status, 111);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, default_config_debug_lines(1000) +
                         debug("filename=1/33 expiry=" + std::to_string(kNow)) +
                         debug("filename=1/33 sender='a@example.org' undone=1") +
                         "lagwatch: Fatal: Could not open message file: " + errno_text(ELOOP) +
                         ".\n");
    EXPECT_TRUE(injector.calls().empty());
    EXPECT_EQ(run_file.read(), "1000");
  }
}

TEST_F(NoticeE2eTest, BounceMessagesGetNoNotice) {
  struct Case {
    const char* name;
    std::string sender;
  };
  const Case cases[] = {{"NullSender", ""}, {"DoubleBounce", "#@[]"}};
  for (const Case& c : cases) {
    sandbox_reset();
    queue.add_message(9, "900", c.sender, kDue).remote({"Tr@x"}).mess("bounce\n");
    RunResult r = run_lagwatch({"-d"});
    EXPECT_EQ(r.exit_status, 0) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
    EXPECT_EQ(r.err, default_config_debug_lines(0) +
                         debug("filename=9/900 expiry=" + std::to_string(kNow)) +
                         debug("ignoring, bounce message"))
        << c.name;
    EXPECT_TRUE(injector.calls().empty()) << c.name;
    EXPECT_EQ(run_file.read(), std::to_string(kNow)) << c.name;
  }
}

// A list manager counts a notice to its bounce address against the subscriber, and RFC 3834
// asks for no automatic answer to automatic mail: the header withholds the notice. The text is
// opened for its header also when -b 0 copies none of it.
TEST_F(NoticeE2eTest, ListBulkAndAutomaticMailGetNoNotice) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* text;  // the message text
  };
  const Case cases[] = {
      {"ListIdPrintOnly", {"-N"}, "List-Id: <l.example.org>\n\nbody\n"},
      {"PrecedenceBulkSent", {}, "Subject: x\nPrecedence: bulk\n\nbody\n"},
      {"AutoSubmittedWithoutCopy", {"-N", "-b", "0"}, "Auto-Submitted: auto-replied\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    queue.add_message(1, "100", "s@x.org", kDue).remote({"Tr@x"}).mess(c.text);
    std::vector<std::string> args = c.args;
    args.push_back("-d");
    RunResult r = run_lagwatch(args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, default_config_debug_lines(0) +
                         debug("filename=1/100 expiry=" + std::to_string(kNow)) +
                         debug("filename=1/100 sender='s@x.org' undone=1") +
                         debug("ignoring, list or automatic mail"));
    EXPECT_TRUE(injector.calls().empty());
  }
}

TEST_F(NoticeE2eTest, SenderLikeAnOptionComesAfterDoubleDash) {
  struct Case {
    const char* name;
    std::string sender;
    std::vector<std::string> args;
    std::vector<std::string> after_a;
    const char* extra_shown;
  };
  const Case cases[] = {
      {"DashSender", "-x@x.example", {}, {"--", "-x@x.example"}, "(null)"},
      {"DashNSender", "-n", {}, {"--", "-n"}, "(null)"},
      {"DashSenderWithExtra",
       "-x@x.example",
       {"-x", "ops"},
       {"--", "-x@x.example", "ops@mail.example.org"},
       "ops@mail.example.org"},
      {"DashInsideIsPlain", "a-b@x.example", {}, {"a-b@x.example"}, "(null)"},
  };
  for (const Case& c : cases) {
    sandbox_reset();
    queue.add_message(2, "200", c.sender, kDue).remote({"Tr@x"}).mess("m\n");
    std::vector<std::string> args = c.args;
    args.push_back("-d");
    RunResult r = run_lagwatch(args);
    EXPECT_EQ(r.exit_status, 0) << c.name;
    EXPECT_NE(r.err.find(forking(c.sender, c.extra_shown)), std::string::npos) << c.name;
    const std::vector<InjectorCall> calls = injector.calls();
    ASSERT_EQ(calls.size(), 1u) << c.name;
    EXPECT_EQ(calls[0].argv, argv_for(c.after_a)) << c.name;
    EXPECT_EQ(calls[0].input, plain_notice(c.sender, "\tr@x\n", {true, "m\n"})) << c.name;
  }
}

TEST_F(NoticeE2eTest, RefusedNoticesDoNotStopTheOthers) {
  // Four due messages; the injector refuses the second and the fourth call, once after reading
  // the notice and once before reading any of a notice larger than a pipe buffer.
  queue.add_message(1, "41", "a@example.org", kDue).remote({"Tr@x"}).mess(letters(300000));
  queue.add_message(2, "42", "b@example.org", kDue).remote({"Tr@x"}).mess(letters(300000));
  queue.add_message(3, "43", "c@example.org", kDue).remote({"Tr@x"}).mess(letters(300000));
  queue.add_message(4, "44", "d@example.org", kDue).remote({"Tr@x"}).mess(letters(300000));
  run_file.write("1000");
  injector.plan({inject_exit(0), inject_exit(100), inject_exit(0), inject_early_exit(100)});
  const std::vector<std::string> order = queue.walk_order();
  ASSERT_EQ(order.size(), 4u);
  RunResult r = run_lagwatch({});
  EXPECT_EQ(r.exit_status, 100);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "lagwatch: Error: qmail-inject refused the notice for 'info/" + order[1] +
                       "'.\nlagwatch: Error: qmail-inject refused the notice for 'info/" +
                       order[3] + "'.\n");
  const std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 4u);
  const std::map<std::string, std::string> senders = {{"1/41", "a@example.org"},
                                                      {"2/42", "b@example.org"},
                                                      {"3/43", "c@example.org"},
                                                      {"4/44", "d@example.org"}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(calls[i].argv, argv_for({senders.at(order[i])})) << i;
  }
  EXPECT_EQ(run_file.read(), std::to_string(kNow));

  // The next run starts its window at this run's start: nothing is sent again.
  RunResult again = run_lagwatch({}, at_time(kNow + 300));
  EXPECT_EQ(again.exit_status, 0);
  EXPECT_EQ(again.err, "");
  EXPECT_EQ(injector.calls().size(), 4u);
  EXPECT_EQ(run_file.read(), std::to_string(kNow + 300));
}

}  // namespace
}  // namespace lagwatch::e2e
