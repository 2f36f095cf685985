#include "harness.h"

namespace lagwatch::e2e {
namespace {

class RunE2eTest : public SandboxTest {};

// The harness freezes the clock at the chosen `now` and leaves file times as they are on disk.
TEST_F(RunE2eTest, ClockIsFrozenAndInfoTimesAreReal) {
  queue.add_message(5, "1065493", "alice@example.org", 1000000000);
  RunResult r = run_lagwatch({"-d"}, RunOptions{.now = 1790000000});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.err, default_config_debug_lines(0, 14400, 1790000000) +
                       debug("filename=5/1065493 expiry=1000014400") +
                       debug("filename=5/1065493 sender='alice@example.org' undone=0"));
  EXPECT_EQ(run_file.read(), "1790000000");
}

}  // namespace
}  // namespace lagwatch::e2e
