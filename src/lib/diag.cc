#include "lib/diag.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/bytestr.h"
#include "lib/outstream.h"

namespace lagwatch {

void (*fatal_log)(const char* text);

namespace {

// Hands the text of a fatal diagnostic to fatal_log. Without memory for it the log loses it.
void log_fatal(const char* const parts[6], const char* error_text) {
  bytestr text = {};
  bool ok = bytestr_set_cstr(&text, "Fatal: ") != 0;
  for (int i = 0; i < 6 && ok; ++i) {
    if (parts[i] != nullptr) ok = bytestr_append_cstr(&text, parts[i]) != 0;
  }
  if (ok && error_text != nullptr) {
    ok = bytestr_append_cstr(&text, ": ") != 0 && bytestr_append_cstr(&text, error_text) != 0;
  }
  if (ok && bytestr_append_char(&text, '.')) fatal_log(text.data);
  free(text.data);
}

constexpr char kDebugPrefix[] = "lagwatch: ";
constexpr size_t kDebugPrefixLength = sizeof kDebugPrefix - 1;

// Expands `format` after the prefix into `line` of `size` bytes, leaving the last byte for the
// line feed. Returns the whole line's length with its line feed, or 0 when the format fails.
size_t compose_debug_line(char* line, size_t size, const char* format, va_list args) {
  memcpy(line, kDebugPrefix, kDebugPrefixLength);
  const int n = vsnprintf(line + kDebugPrefixLength, size - kDebugPrefixLength, format, args);
  return n < 0 ? 0 : kDebugPrefixLength + static_cast<size_t>(n) + 1;
}

// The line is composed first and handed to the unbuffered stderr in one piece, so it leaves in
// one write and cannot be split by the injector's own messages on the same descriptor. Without
// memory for a long line it still goes out complete, in pieces.
void write_debug_line(const char* format, va_list args) {
  char local[1024];
  va_list again;
  va_copy(again, args);
  const size_t length = compose_debug_line(local, sizeof local, format, args);
  char* line = local;
  if (length > sizeof local) {
    line = static_cast<char*>(malloc(length));
    if (line != nullptr) compose_debug_line(line, length, format, again);
  }
  if (length == 0) {  // the format failed: nothing to write
    va_end(again);
    return;
  }
  if (line != nullptr) {
    line[length - 1] = '\n';
    fwrite(line, 1, length, stderr);
    if (line != local) free(line);
  } else {
    flockfile(stderr);
    fputs(kDebugPrefix, stderr);
    vfprintf(stderr, format, again);
    fputc('\n', stderr);
    funlockfile(stderr);
  }
  va_end(again);
}

}  // namespace

void write_diagnostic(const char* label, const char* p1, const char* p2, const char* p3,
                      const char* p4, const char* p5, const char* p6, int with_errno) {
  // The error text must describe the failure the caller saw, not anything a write below does.
  int error = errno;
  // Results are ignored on purpose: when standard error cannot be written there is nowhere
  // left to say so.
  outstream_puts3(&out_stderr, "lagwatch: ", label, ": ");
  outstream_puts3(&out_stderr, p1, p2, p3);
  outstream_puts3(&out_stderr, p4, p5, p6);
  if (with_errno) outstream_puts2(&out_stderr, ": ", strerror(error));
  outstream_puts_flush(&out_stderr, ".\n");
  errno = error;
}

void fatal(int status, const char* p1, const char* p2, const char* p3, const char* p4,
           const char* p5, const char* p6, int with_errno) {
  const int error = errno;
  write_diagnostic("Fatal", p1, p2, p3, p4, p5, p6, with_errno);
  if (fatal_log != nullptr) {
    const char* const parts[6] = {p1, p2, p3, p4, p5, p6};
    log_fatal(parts, with_errno ? strerror(error) : nullptr);
  }
  exit(status);
}

void report_error(const char* p1, const char* p2, const char* p3, const char* p4, const char* p5,
                  const char* p6, int with_errno) {
  write_diagnostic("Error", p1, p2, p3, p4, p5, p6, with_errno);
}

void die_oom() { fatal(111, NO_ERRNO, "Out of memory"); }

void chdir_or_die(const char* path) {
  if (chdir(path) != 0) fatal(1, WITH_ERRNO, "Could not chdir to '", path, "'");
}

void debug_line(const char* format, ...) {
  const int error = errno;
  va_list args;
  va_start(args, format);
  write_debug_line(format, args);
  va_end(args);
  errno = error;
}

}  // namespace lagwatch
