// Tests of the end-to-end harness itself: what the fake injector records and does for each
// plan line, and the clock the runs see. Every other end-to-end test relies on these.

#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness.h"

namespace lagwatch::e2e {
namespace {

class HarnessE2eTest : public SandboxTest {};

// A message body larger than a pipe's buffer, so that the injector's reading matters.
const std::string kLargeBody(200000, 'm');

// Each plan line: whether the call read its input and how much, and that a stopped injector
// does not outlive the run.
TEST_F(HarnessE2eTest, InjectorPlanLines) {
  struct Case {
    const char* name;
    std::vector<std::string> plan;
    bool read_input;
    bool whole_input;  // the whole notice, else `input_bytes` of it
    size_t input_bytes;
    int exit_status;  // of the program
  };
  const Case cases[] = {
      {"NoPlanExitsZero", {}, true, true, 0, 0},
      {"ExitZero", {inject_exit(0)}, true, true, 0, 0},
      {"ExitOne", {inject_exit(1)}, true, true, 0, 111},
      {"Signal", {inject_signal(SIGTERM)}, true, true, 0, 111},
      {"Stop", {inject_stop()}, true, true, 0, 111},
      {"EarlyExit", {inject_early_exit(0)}, false, false, 0, 0},
      {"Partial", {inject_partial(10, 0)}, true, false, 10, 0},
      {"Slow", {inject_slow(1)}, true, true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sandbox_reset();
    queue.add_message(1, "11", "a@example.org", kNow - 20000)
        .remote({"Tb@example.net"})
        .mess(kLargeBody);
    if (!c.plan.empty()) injector.plan(c.plan);
    RunResult r = run_lagwatch({});
    EXPECT_EQ(r.exit_status, c.exit_status);
    std::vector<InjectorCall> calls = injector.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].read_input, c.read_input);
    if (c.whole_input) {
      EXPECT_EQ(calls[0].input.rfind("From: <MAILER-DAEMON@mail.example.org>\n", 0), 0u);
      EXPECT_NE(calls[0].input.find(kLargeBody), std::string::npos);
    } else {
      EXPECT_EQ(calls[0].input.size(), c.input_bytes);
    }
    // The injector is gone once the run is collected, also one that stopped itself.
    EXPECT_EQ(kill(calls[0].pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
  }
}

// Plan lines apply to the calls in order; calls past the plan exit 0.
TEST_F(HarnessE2eTest, PlanLinesFollowTheCalls) {
  for (int i = 0; i < 3; ++i) {
    queue
        .add_message(2, std::to_string(21 + i), "s" + std::to_string(i) + "@example.org",
                     kNow - 20000)
        .local({"Tu@example.net"})
        .mess("x\n");
  }
  injector.plan({inject_exit(0), inject_exit(0)});
  RunResult first = run_lagwatch({});
  EXPECT_EQ(first.exit_status, 0);
  EXPECT_EQ(injector.calls().size(), 3u);

  sandbox_reset();
  for (int i = 0; i < 3; ++i) {
    queue
        .add_message(2, std::to_string(21 + i), "s" + std::to_string(i) + "@example.org",
                     kNow - 20000)
        .local({"Tu@example.net"})
        .mess("x\n");
  }
  injector.plan({inject_exit(0), inject_exit(1)});
  RunResult second = run_lagwatch({});
  EXPECT_EQ(second.exit_status, 111);
  EXPECT_EQ(injector.calls().size(), 2u);
}

// Argument bytes are recorded exactly: empty arguments, blanks, quotes and high-bit bytes.
TEST_F(HarnessE2eTest, InjectorArgumentsAreExactBytes) {
  const std::string sender = "\"J\xf6rg Q.\" <x>@example.org";
  queue.add_message(3, "31", sender, kNow - 20000).remote({"Tb@example.net"}).mess("x\n");
  RunResult r = run_lagwatch({"-x", "two words@example.net"});
  EXPECT_EQ(r.exit_status, 0);
  std::vector<InjectorCall> calls = injector.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].argv, (std::vector<std::string>{injector_path(), "-f", "", "-a", sender,
                                                     "two words@example.net"}));
  EXPECT_EQ(calls[0].cwd, queue_dir());
}

// A running clock starts at the chosen moment and goes on from there (a loaded machine may
// take a few seconds to reach the program's clock reading).
TEST_F(HarnessE2eTest, RunningClockStartsAtNow) {
  RunOptions options;
  options.now = 1790000000;
  options.clock_runs = true;
  RunResult r = run_lagwatch({"-d"}, options);
  EXPECT_EQ(r.exit_status, 0);
  const std::string written = run_file.read().value_or("");
  char* end = nullptr;
  const long long now = std::strtoll(written.c_str(), &end, 10);
  ASSERT_TRUE(!written.empty() && *end == '\0') << written;
  EXPECT_GE(now, 1790000000);
  EXPECT_LE(now, 1790000010);
  EXPECT_EQ(r.err, default_config_debug_lines(0, 14400, now));
}

}  // namespace
}  // namespace lagwatch::e2e
