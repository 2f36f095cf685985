// Fuzzes the buffered output stream: any sequence of operations, over a buffer of any small
// capacity, into a descriptor that accepts random short counts and fails at a random call.
//
// Properties:
// - the descriptor receives exactly the bytes of the successful operations, in order; after a
//   failure it has received a prefix of them plus the failed operation's bytes, never more;
// - once a write call failed, every later operation returns 0 and nothing more is written, and
//   the failure state keeps the errno of that call;
// - the record's invariants hold after every operation: flushed <= length <= capacity,
//   position <= length, position < capacity after a success, total = bytes delivered;
// - last_count is the count the operation accepted.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "lib/outstream.h"

namespace {

using lagwatch::fuzz::byte_source;
using lagwatch::fuzz::check;

// What the fake descriptor does: its accepted bytes and its plan for each write call.
struct sink_state {
  std::string received;
  std::vector<uint8_t> plan;  // per call: 0 = fail with EIO-like error, else accept up to it
  size_t call;
  bool failed;
};

sink_state sink;

// Accepts 1..plan bytes (a short write when that is below n), or fails as the plan says.
// A plan byte of 0 fails with -1 and errno ENOSPC; 255 returns 0 (nothing written), which the
// stream must count as a failure too.
long fake_write(int fd, const char* bytes, uint32_t n) {
  check(fd == 7, "write_fn called with the stream's descriptor");
  check(n > 0, "no write call for zero bytes");
  check(!sink.failed, "no write call after a failure");
  const uint8_t step = sink.call < sink.plan.size() ? sink.plan[sink.call] : 200;
  ++sink.call;
  if (step == 0) {
    sink.failed = true;
    errno = ENOSPC;
    return -1;
  }
  if (step == 255) {
    sink.failed = true;
    return 0;
  }
  const uint32_t accepted = step < n ? step : n;
  sink.received.append(bytes, accepted);
  return accepted;
}

void check_invariants(const lagwatch::outstream& s, int result) {
  check(s.flushed <= s.length, "flushed <= length");
  check(s.length <= s.capacity, "length <= capacity");
  check(s.position <= s.length, "position <= length");
  if (result == 1) check(s.position < s.capacity, "position < capacity after success");
  check(s.total == sink.received.size(), "total counts every byte handed over");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  byte_source in = lagwatch::fuzz::source_of(data, size);
  const uint32_t capacity = 1 + take_u8(&in) % 64;
  const size_t plan_length = take_u8(&in) % 32;
  sink = sink_state{};
  for (size_t i = 0; i < plan_length; ++i) sink.plan.push_back(take_u8(&in));

  // The buffer is exactly `capacity` bytes on the heap, so that AddressSanitizer sees a write
  // one past it.
  std::vector<char> storage(capacity);
  lagwatch::outstream s{};
  s.fd = 7;
  s.buffer = storage.data();
  s.capacity = capacity;
  s.write_fn = fake_write;

  std::string expected;  // bytes of the operations that returned 1
  bool stream_failed = false;
  int ops = 0;
  while (!source_empty(&in) && ops < 64) {
    ++ops;
    const uint8_t op = take_u8(&in) % 7;
    std::string offered;  // the bytes this operation hands to the stream
    int result = 0;
    uint32_t accepted_count = 0;
    bool checks_last_count = false;
    switch (op) {
      case 0:
      case 1: {
        // Heap copies of exactly the length given, so that an over-read is caught.
        offered = take_bytes(&in, take_u8(&in));
        std::vector<char> copy(offered.begin(), offered.end());
        const uint32_t n = static_cast<uint32_t>(copy.size());
        result = op == 0 ? lagwatch::outstream_write(&s, copy.data(), n)
                         : lagwatch::outstream_write_direct(&s, copy.data(), n);
        accepted_count = n;
        checks_last_count = true;
        break;
      }
      case 2: {
        offered = take_bytes(&in, 1);
        if (offered.empty()) offered = "x";
        result = lagwatch::outstream_putc(&s, offered[0]);
        accepted_count = 1;
        checks_last_count = true;
        break;
      }
      case 3: {
        const unsigned n = take_u8(&in) % 100;
        const char c = static_cast<char>(take_u8(&in));
        offered.assign(n, c);
        result = lagwatch::outstream_pad(&s, n, c);
        break;
      }
      case 4: {
        // Five strings, each absent when its bit in the mask is clear.
        const uint8_t present = take_u8(&in);
        std::string parts[5];
        const char* pointers[5];
        for (int i = 0; i < 5; ++i) {
          parts[i] = take_until(&in, 0);
          pointers[i] = (present >> i) & 1 ? parts[i].c_str() : nullptr;
          if (pointers[i] != nullptr) offered += parts[i];
        }
        result = lagwatch::outstream_puts5(&s, pointers[0], pointers[1], pointers[2], pointers[3],
                                           pointers[4]);
        break;
      }
      case 5:
        result = lagwatch::outstream_flush(&s);
        break;
      case 6: {
        std::string text = take_until(&in, 0);
        offered = text;
        result = lagwatch::outstream_puts_flush(&s, text.c_str());
        break;
      }
    }

    check(result == 0 || result == 1, "operations return 0 or 1");
    check(!sink.failed || result == 0, "an operation whose write call failed returns 0");
    if (stream_failed) {
      check(result == 0, "every operation after a failure returns 0");
    } else if (result == 1) {
      expected += offered;
      if (checks_last_count) check(s.last_count == accepted_count, "last_count is the count");
      if (op == 5 || op == 6) {
        check(sink.received == expected, "a flush delivers everything so far");
        check(s.length == 0 && s.position == 0 && s.flushed == 0, "a flush empties the buffer");
      }
    } else {
      stream_failed = true;
      check(sink.failed, "a stream fails only when a write call failed");
      check((s.flags & lagwatch::OUTSTREAM_ERROR) != 0, "the failure state is the error");
      check(s.saved_errno ==
                (sink.call <= sink.plan.size() && sink.plan[sink.call - 1] == 0 ? ENOSPC : EIO),
            "saved_errno is the failed call's errno");
    }
    check_invariants(s, result);
    // Whatever happened, the descriptor holds a prefix of what was offered, in order.
    const std::string offered_so_far = expected + (result == 1 ? "" : offered);
    check(sink.received.size() <= offered_so_far.size() &&
              offered_so_far.compare(0, sink.received.size(), sink.received) == 0,
          "the descriptor receives the offered bytes in order and nothing else");
    if (stream_failed) {
      // Nothing after the failure: the bytes of later operations never reach the descriptor.
      expected = sink.received;
    }
  }

  const int flushed = lagwatch::outstream_flush(&s);
  if (!stream_failed && !sink.failed) {
    check(flushed == 1, "the final flush succeeds while writes succeed");
    check(sink.received == expected, "exactly the bytes given, in order");
  }
  if (stream_failed) check(flushed == 0, "a failed stream refuses the final flush");
  return 0;
}
