#include "lib/outstream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

namespace lagwatch {
namespace {

// A write function that records each call, accepts at most `max_accept` bytes per call
// (0 = all) and fails with `fail_errno` at call number `fail_at` (1-based; 0 = never).
struct Recorder {
  std::vector<uint32_t> offered;
  std::string output;
  uint32_t max_accept;
  size_t fail_at;
  int fail_errno;
  bool accept_nothing;
};
Recorder recorder;

long recording_write(int /*fd*/, const char* bytes, uint32_t n) {
  recorder.offered.push_back(n);
  if (recorder.offered.size() == recorder.fail_at) {
    errno = recorder.fail_errno;
    return -1;
  }
  if (recorder.accept_nothing) return 0;
  uint32_t accepted = recorder.max_accept != 0 && n > recorder.max_accept ? recorder.max_accept : n;
  recorder.output.append(bytes, accepted);
  return accepted;
}

// A stream over the recorder with a buffer of `capacity` bytes.
struct TestStream {
  std::vector<char> storage;
  outstream s{};
  explicit TestStream(uint32_t capacity) : storage(capacity) {
    recorder = Recorder{};
    s.fd = 9;
    s.buffer = storage.data();
    s.capacity = capacity;
    s.write_fn = recording_write;
  }
};

// Distinct bytes, so that reordering or loss shows in the output.
std::string pattern(uint32_t n, char first) {
  std::string bytes(n, '\0');
  for (uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<char>(first + i % 23);
  return bytes;
}

struct Op {
  char kind;  // 'w' write, 'd' write_direct, 'c' putc, 'f' flush
  uint32_t n;
};

TEST(OutstreamTest, BufferEdgesAndShortWrites) {
  struct Case {
    const char* name;
    uint32_t capacity;
    uint32_t max_accept;
    std::vector<Op> ops;
    std::vector<uint32_t> offered;  // byte counts handed to write_fn, call by call
    uint32_t position;
    uint32_t last_count;
  };
  const Case cases[] = {
      {"ExactFillWritesBufferOutInSameCall", 8, 0, {{'w', 3}, {'w', 5}}, {8}, 0, 5},
      {"ByteAfterExactFillGoesToIndexZero", 8, 0, {{'w', 3}, {'w', 5}, {'c', 1}}, {8}, 1, 1},
      {"WriteSpanningBufferKeepsTheRest", 8, 0, {{'w', 5}, {'w', 6}}, {8}, 3, 6},
      {"FullSizeWriteSendsBufferedBytesFirst",
       4096,
       0,
       {{'w', 10}, {'w', 4096}},
       {10, 4096},
       0,
       4096},
      {"LargeWriteIntoEmptyStreamIsOneCall", 8, 0, {{'w', 20}}, {20}, 0, 20},
      {"PutcFillingBufferWritesItOut", 4, 0, {{'c', 1}, {'c', 1}, {'c', 1}, {'c', 1}}, {4}, 0, 1},
      {"FlushOfEmptyStreamMakesNoCall", 8, 0, {{'f', 0}}, {}, 0, 0},
      {"ShortFlushIsContinued", 16, 3, {{'w', 10}, {'f', 0}}, {10, 7, 4, 1}, 0, 10},
      {"ShortDirectWriteIsContinued", 4, 3, {{'c', 1}, {'d', 5}}, {1, 5, 2}, 0, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestStream t(c.capacity);
    recorder.max_accept = c.max_accept;
    std::string sent;
    for (const Op& op : c.ops) {
      std::string bytes = pattern(op.n, static_cast<char>('A' + sent.size() % 7));
      sent += bytes;
      int ok = op.kind == 'w'   ? outstream_write(&t.s, bytes.data(), op.n)
               : op.kind == 'd' ? outstream_write_direct(&t.s, bytes.data(), op.n)
               : op.kind == 'c' ? outstream_putc(&t.s, bytes[0])
                                : outstream_flush(&t.s);
      ASSERT_EQ(ok, 1);
    }
    EXPECT_EQ(recorder.offered, c.offered);
    EXPECT_EQ(t.s.position, c.position);
    EXPECT_EQ(t.s.length, c.position);
    EXPECT_LT(t.s.position, t.s.capacity);
    EXPECT_EQ(t.s.last_count, c.last_count);
    EXPECT_EQ(t.s.total, recorder.output.size());
    ASSERT_EQ(outstream_flush(&t.s), 1);
    EXPECT_EQ(recorder.output, sent);
  }
}

TEST(OutstreamTest, FailureIsStickyAndWritesNothingMore) {
  struct Case {
    const char* name;
    std::function<int(outstream*)> op;
  };
  const Case cases[] = {
      {"Write", [](outstream* s) { return outstream_write(s, "xy", 2); }},
      {"WriteDirect", [](outstream* s) { return outstream_write_direct(s, "xy", 2); }},
      {"Putc", [](outstream* s) { return outstream_putc(s, 'x'); }},
      {"Pad", [](outstream* s) { return outstream_pad(s, 3, 'x'); }},
      {"Puts2", [](outstream* s) { return outstream_puts2(s, "x", "y"); }},
      {"Puts3", [](outstream* s) { return outstream_puts3(s, "x", "y", "z"); }},
      {"Puts5", [](outstream* s) { return outstream_puts5(s, "a", "b", "c", "d", "e"); }},
      {"PutsFlush", [](outstream* s) { return outstream_puts_flush(s, "x"); }},
      {"Flush", [](outstream* s) { return outstream_flush(s); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestStream t(16);
    recorder.max_accept = 4;
    recorder.fail_at = 2;
    recorder.fail_errno = EPIPE;
    ASSERT_EQ(outstream_write(&t.s, "0123456789", 10), 1);
    // The second call of the flush fails: what the first wrote stays counted, the rest stays
    // buffered.
    EXPECT_EQ(outstream_flush(&t.s), 0);
    EXPECT_EQ(t.s.flags, OUTSTREAM_ERROR);
    EXPECT_EQ(t.s.saved_errno, EPIPE);
    EXPECT_EQ(t.s.flushed, 4u);
    EXPECT_EQ(t.s.length, 10u);
    EXPECT_EQ(t.s.total, 4u);
    recorder.fail_at = 0;
    EXPECT_EQ(c.op(&t.s), 0);
    EXPECT_EQ(recorder.offered.size(), 2u);
    EXPECT_EQ(t.s.length, 10u);
    EXPECT_EQ(t.s.position, 10u);
    EXPECT_EQ(std::string(t.s.buffer, 10), "0123456789");
  }
}

TEST(OutstreamTest, WriteFunctionAcceptingNothingIsAnError) {
  TestStream t(16);
  recorder.accept_nothing = true;
  EXPECT_EQ(outstream_puts_flush(&t.s, "abc"), 0);
  EXPECT_EQ(recorder.offered.size(), 1u);
  EXPECT_EQ(t.s.flags, OUTSTREAM_ERROR);
  EXPECT_EQ(t.s.saved_errno, EIO);
}

TEST(OutstreamTest, StringOperationsWriteWhatIsPresent) {
  struct Case {
    const char* name;
    std::function<int(outstream*)> op;
    std::string output;
    size_t calls;
  };
  const Case cases[] = {
      {"PadZeroWritesNothing", [](outstream* s) { return outstream_pad(s, 0, 'x'); }, "", 0},
      {"PadRepeatsTheChar", [](outstream* s) { return outstream_pad(s, 5, '-'); }, "-----", 1},
      {"Puts3SkipsAbsentFirst",
       [](outstream* s) { return outstream_puts3(s, nullptr, "two", "three"); }, "twothree", 1},
      {"Puts2SkipsAbsentSecond", [](outstream* s) { return outstream_puts2(s, "one", nullptr); },
       "one", 1},
      {"Puts5KeepsOrder",
       [](outstream* s) { return outstream_puts5(s, "a", "", "c", nullptr, "e"); }, "ace", 1},
      {"PutsFlushWritesEarlierBytesInSameCall",
       [](outstream* s) { return outstream_putc(s, '>') && outstream_puts_flush(s, "line\n"); },
       ">line\n", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TestStream t(64);
    EXPECT_EQ(c.op(&t.s), 1);
    ASSERT_EQ(outstream_flush(&t.s), 1);
    EXPECT_EQ(recorder.output, c.output);
    EXPECT_EQ(recorder.offered.size(), c.calls);
  }
}

// A pipe whose write end is non-blocking; with `fill` set it is filled until it takes no more.
struct Pipe {
  int fds[2] = {-1, -1};
  explicit Pipe(bool fill) {
    if (pipe(fds) != 0 || fcntl(fds[1], F_SETFL, O_NONBLOCK) != 0) ADD_FAILURE() << "pipe";
    char block[4096] = {};
    while (fill && write(fds[1], block, sizeof block) > 0) {
    }
    while (fill && write(fds[1], block, 1) > 0) {
    }
  }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
};

TEST(OutstreamTest, WaitForWritability) {
  struct Case {
    const char* name;
    bool full;
    int result;
    unsigned flags;
  };
  const Case cases[] = {
      {"FullPipeRunsIntoTimeout", true, 0, OUTSTREAM_TIMEOUT},
      {"EmptyPipeIsWritten", false, 1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pipe p(c.full);
    char buffer[16];
    outstream s{};
    s.fd = p.fds[1];
    s.buffer = buffer;
    s.capacity = sizeof buffer;
    s.timeout = 20;
    s.write_fn = outstream_sys_write;
    EXPECT_EQ(outstream_puts_flush(&s, "hello"), c.result);
    EXPECT_EQ(s.flags, c.flags);
    EXPECT_EQ(s.total, c.result ? 5u : 0u);
    // A timed-out stream stays failed even once the descriptor could take bytes again.
    EXPECT_EQ(outstream_putc(&s, 'x'), c.result);
  }
}

TEST(OutstreamTest, StandardStreamsWriteToDescriptorsOneAndTwo) {
  struct Case {
    const char* name;
    const outstream* s;
    int fd;
  };
  const Case cases[] = {{"Stdout", &out_stdout, 1}, {"Stderr", &out_stderr, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.s->fd, c.fd);
    EXPECT_NE(c.s->buffer, nullptr);
    EXPECT_EQ(c.s->capacity, 4096u);
    EXPECT_EQ(c.s->timeout, 0u);
    EXPECT_EQ(c.s->write_fn, outstream_sys_write);
  }
  EXPECT_NE(out_stdout.buffer, out_stderr.buffer);
}

TEST(OutstreamTest, SystemWriteReportsErrno) {
  Pipe p(false);
  EXPECT_EQ(outstream_sys_write(p.fds[1], "abc", 3), 3);
  char got[4] = {};
  EXPECT_EQ(read(p.fds[0], got, sizeof got), 3);
  EXPECT_STREQ(got, "abc");
  errno = 0;
  EXPECT_EQ(outstream_sys_write(p.fds[0], "abc", 3), -1);  // the read end
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
}  // namespace lagwatch
