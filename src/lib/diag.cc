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

void die_oom() { fatal(111, "Out of memory", nullptr, nullptr, nullptr, nullptr, nullptr, 0); }

void chdir_or_die(const char* path) {
  if (chdir(path) != 0) fatal(1, "Could not chdir to '", path, "'", nullptr, nullptr, nullptr, 1);
}

void debug_line(const char* format, ...) {
  int error = errno;
  static const char kPrefix[] = "lagwatch: ";
  constexpr size_t kPrefixLength = sizeof kPrefix - 1;
  // The line is composed first and handed to the unbuffered stderr in one piece, so it leaves in
  // one write and cannot be split by the injector's own messages on the same descriptor.
  char local[1024];
  memcpy(local, kPrefix, kPrefixLength);
  va_list args;
  va_start(args, format);
  int text_length = vsnprintf(local + kPrefixLength, sizeof local - kPrefixLength, format, args);
  va_end(args);
  if (text_length < 0) {
    errno = error;
    return;
  }
  size_t line_length = kPrefixLength + static_cast<size_t>(text_length) + 1;
  char* line = local;
  if (line_length > sizeof local) {
    line = static_cast<char*>(malloc(line_length));
    if (line != nullptr) {
      memcpy(line, kPrefix, kPrefixLength);
      va_start(args, format);
      vsnprintf(line + kPrefixLength, line_length - kPrefixLength, format, args);
      va_end(args);
    }
  }
  if (line != nullptr) {
    line[line_length - 1] = '\n';
    fwrite(line, 1, line_length, stderr);
    if (line != local) free(line);
  } else {
    // Without memory for the whole line it still goes out complete, in pieces.
    flockfile(stderr);
    fputs(kPrefix, stderr);
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    funlockfile(stderr);
  }
  errno = error;
}

}  // namespace lagwatch
