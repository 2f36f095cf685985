#ifndef LAGWATCH_LIB_OUTSTREAM_H_
#define LAGWATCH_LIB_OUTSTREAM_H_

#include <cstdint>

namespace lagwatch {

// Writes up to `n` bytes to `fd`. Returns the count written, or -1 with errno set.
using outstream_write_fn = long (*)(int fd, const char* bytes, uint32_t n);

// Sticky failure states; once one is set every operation on the stream returns 0.
constexpr unsigned OUTSTREAM_ERROR = 0x02;
constexpr unsigned OUTSTREAM_TIMEOUT = 0x04;
constexpr unsigned OUTSTREAM_FAILED = 0x0f;

// Buffered output over a file descriptor. The buffer is not owned by the stream.
struct outstream {
  int fd;
  char* buffer;
  uint32_t capacity;
  uint32_t length;      // valid bytes: the highest `position` reached since the last flush
  uint32_t flushed;     // bytes of `length` the current flush has written; 0 between flushes
  uint32_t total;       // bytes handed to the descriptor over the stream's life
  uint32_t timeout;     // milliseconds each write may wait for writability; 0 = no wait
  unsigned flags;       // failure states
  int saved_errno;      // errno of the call that set OUTSTREAM_ERROR
  uint32_t position;    // where the next byte goes
  uint32_t last_count;  // bytes accepted by the latest write, putc or write_direct
  outstream_write_fn write_fn;
};

// Standard output (descriptor 1) and standard error (descriptor 2), 4096-byte buffers each.
extern outstream out_stdout;
extern outstream out_stderr;

// The system's write(2), in the shape of outstream_write_fn.
long outstream_sys_write(int fd, const char* bytes, uint32_t n);

// Every operation returns 1 on success and 0 when the stream has (or gets) a failure state.

// Appends `n` bytes, writing the buffer out whenever it fills. Data of at least the buffer's
// capacity goes straight to the descriptor through outstream_write_direct.
int outstream_write(outstream* s, const char* bytes, uint32_t n);

// Writes out what is buffered, then the `n` bytes directly to the descriptor.
int outstream_write_direct(outstream* s, const char* bytes, uint32_t n);

// Appends one byte.
int outstream_putc(outstream* s, char c);

// Appends `c` `n` times.
int outstream_pad(outstream* s, unsigned n, char c);

// Append each string that is not null, in order; stop at the first failure.
int outstream_puts2(outstream* s, const char* a, const char* b);
int outstream_puts3(outstream* s, const char* a, const char* b, const char* c);
int outstream_puts5(outstream* s, const char* a, const char* b, const char* c, const char* d,
                    const char* e);

// Appends `str`, then flushes.
int outstream_puts_flush(outstream* s, const char* str);

// Writes out the buffered bytes, continuing after short writes.
int outstream_flush(outstream* s);

// Waits (up to `timeout` ms) until the descriptor is writable; returns 1 at once when
// `timeout` is 0.
int outstream_wait_writable(outstream* s);

}  // namespace lagwatch

#endif  // LAGWATCH_LIB_OUTSTREAM_H_
