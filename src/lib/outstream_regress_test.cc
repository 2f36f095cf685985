// Faults that fuzzing found in the output stream, each pinned by the case that showed it.

#include <cerrno>
#include <cstdint>
#include <functional>
#include <string>

#include "gtest/gtest.h"
#include "lib/outstream.h"

namespace lagwatch {
namespace {

long failing_write(int, const char*, uint32_t) {
  errno = EIO;
  return -1;
}

// A stream over a one-byte buffer whose descriptor fails: one putc fills the buffer, the
// flush fails, and the stream is in its failure state.
struct FailedStream {
  char buffer[1];
  outstream s;
  FailedStream() : buffer{}, s{} {
    s.fd = 9;
    s.buffer = buffer;
    s.capacity = 1;
    s.write_fn = failing_write;
    EXPECT_EQ(outstream_putc(&s, 'x'), 0);
    EXPECT_NE(s.flags & OUTSTREAM_ERROR, 0u);
  }
};

// Calls that would write nothing used to return 1 on a failed stream, because they never
// reached an operation that tests the failure state: outstream_pad with a count of 0, and the
// puts functions with every string absent. A failed stream refuses every operation.
TEST(OutstreamRegress, FailedStreamRefusesCallsThatWriteNothing) {
  struct Case {
    const char* name;
    std::function<int(outstream*)> call;
  };
  const Case cases[] = {
      {"pad with count 0", [](outstream* s) { return outstream_pad(s, 0, ' '); }},
      {"puts2 with both absent", [](outstream* s) { return outstream_puts2(s, nullptr, nullptr); }},
      {"puts3 with all absent",
       [](outstream* s) { return outstream_puts3(s, nullptr, nullptr, nullptr); }},
      {"puts5 with all absent",
       [](outstream* s) {
         return outstream_puts5(s, nullptr, nullptr, nullptr, nullptr, nullptr);
       }},
      {"puts2 with empty strings", [](outstream* s) { return outstream_puts2(s, "", ""); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FailedStream f;
    const outstream before = f.s;
    EXPECT_EQ(c.call(&f.s), 0);
    EXPECT_EQ(f.s.position, before.position);
    EXPECT_EQ(f.s.length, before.length);
    EXPECT_EQ(f.s.total, before.total);
    EXPECT_EQ(f.s.saved_errno, EIO);
  }
}

}  // namespace
}  // namespace lagwatch
