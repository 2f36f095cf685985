#include "lib/outstream.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace lagwatch {

namespace {

constexpr uint32_t kStandardBufferSize = 4096;
char stdout_buffer[kStandardBufferSize];
char stderr_buffer[kStandardBufferSize];

int is_failed(const outstream* s) { return (s->flags & OUTSTREAM_FAILED) != 0; }

void set_error(outstream* s, int error) {
  s->flags |= OUTSTREAM_ERROR;
  s->saved_errno = error;
}

// One call of `write_fn`, preceded by the wait for writability when the stream has a timeout.
// Returns the count written, or 0 after setting a failure state. A write function that accepts
// nothing for a non-zero count would make every caller loop forever, so that counts as an
// I/O error.
uint32_t write_once(outstream* s, const char* bytes, uint32_t n) {
  if (s->timeout != 0 && !outstream_wait_writable(s)) return 0;
  long written = s->write_fn(s->fd, bytes, n);
  if (written < 0) {
    set_error(s, errno);
    return 0;
  }
  if (written == 0) {
    set_error(s, EIO);
    return 0;
  }
  s->total += static_cast<uint32_t>(written);
  return static_cast<uint32_t>(written);
}

}  // namespace

outstream out_stdout = {1, stdout_buffer,      kStandardBufferSize, 0, 0, 0, 0, 0, 0, 0,
                        0, outstream_sys_write};
outstream out_stderr = {2, stderr_buffer,      kStandardBufferSize, 0, 0, 0, 0, 0, 0, 0,
                        0, outstream_sys_write};

long outstream_sys_write(int fd, const char* bytes, uint32_t n) {
  // No signal handlers are installed, but a stop and continue can still interrupt a write to a
  // terminal or pipe; nothing has been written then, so the call is simply made again.
  for (;;) {
    ssize_t written = write(fd, bytes, n);
    if (written >= 0 || errno != EINTR) return static_cast<long>(written);
  }
}

int outstream_wait_writable(outstream* s) {
  if (s->timeout == 0) return 1;
  pollfd p = {s->fd, POLLOUT, 0};
  int ready;
  do {
    ready = poll(&p, 1, static_cast<int>(s->timeout));
  } while (ready < 0 && errno == EAGAIN);
  if (ready < 0) {
    set_error(s, errno);
    return 0;
  }
  if (ready == 0) {
    s->flags |= OUTSTREAM_TIMEOUT;
    return 0;
  }
  return 1;
}

int outstream_flush(outstream* s) {
  if (is_failed(s)) return 0;
  while (s->flushed < s->length) {
    uint32_t written = write_once(s, s->buffer + s->flushed, s->length - s->flushed);
    if (written == 0) return 0;
    s->flushed += written;
  }
  s->length = 0;
  s->flushed = 0;
  s->position = 0;
  return 1;
}

int outstream_write_direct(outstream* s, const char* bytes, uint32_t n) {
  if (is_failed(s)) return 0;
  s->last_count = 0;
  if (!outstream_flush(s)) return 0;
  while (n > 0) {
    uint32_t written = write_once(s, bytes, n);
    if (written == 0) return 0;
    bytes += written;
    n -= written;
    s->last_count += written;
  }
  return 1;
}

int outstream_write(outstream* s, const char* bytes, uint32_t n) {
  if (is_failed(s)) return 0;
  if (n >= s->capacity) return outstream_write_direct(s, bytes, n);
  s->last_count = 0;
  uint32_t room = s->capacity - s->position;
  // Data that exactly fills the buffer is written out here, so the buffer is never left full.
  while (n >= room) {
    memcpy(s->buffer + s->position, bytes, room);
    s->position = s->capacity;
    s->length = s->capacity;
    if (!outstream_flush(s)) return 0;
    bytes += room;
    n -= room;
    s->last_count += room;
    room = s->capacity - s->position;
  }
  if (n > 0) memcpy(s->buffer + s->position, bytes, n);
  s->last_count += n;
  s->position += n;
  if (s->length < s->position) s->length = s->position;
  return 1;
}

int outstream_putc(outstream* s, char c) {
  if (is_failed(s)) return 0;
  s->last_count = 0;
  s->buffer[s->position++] = c;
  if (s->length < s->position) s->length = s->position;
  if (s->length >= s->capacity && !outstream_flush(s)) return 0;
  s->last_count = 1;
  return 1;
}

int outstream_pad(outstream* s, unsigned n, char c) {
  // A failed stream refuses even a count of 0, like every other operation.
  if (is_failed(s)) return 0;
  for (unsigned i = 0; i < n; ++i) {
    if (!outstream_putc(s, c)) return 0;
  }
  return 1;
}

namespace {

int write_strings(outstream* s, const char* const* strings, int count) {
  // A failed stream refuses even a call that would write nothing (every string absent).
  if (is_failed(s)) return 0;
  for (int i = 0; i < count; ++i) {
    if (strings[i] == nullptr) continue;
    if (!outstream_write(s, strings[i], static_cast<uint32_t>(strlen(strings[i])))) return 0;
  }
  return 1;
}

}  // namespace

int outstream_puts2(outstream* s, const char* a, const char* b) {
  const char* strings[] = {a, b};
  return write_strings(s, strings, 2);
}

int outstream_puts3(outstream* s, const char* a, const char* b, const char* c) {
  const char* strings[] = {a, b, c};
  return write_strings(s, strings, 3);
}

int outstream_puts5(outstream* s, const char* a, const char* b, const char* c, const char* d,
                    const char* e) {
  const char* strings[] = {a, b, c, d, e};
  return write_strings(s, strings, 5);
}

int outstream_puts_flush(outstream* s, const char* str) {
  return outstream_write(s, str, static_cast<uint32_t>(strlen(str))) && outstream_flush(s);
}

}  // namespace lagwatch
