#ifndef LAGWATCH_LIB_DIAG_H_
#define LAGWATCH_LIB_DIAG_H_

namespace lagwatch {

// Diagnostics. A diagnostic line is "lagwatch: " LABEL ": " + the parts that are not null +
// (": " + strerror(errno) when `with_errno`) + ".\n", written to out_stderr and flushed.
// The period is always added, so a message that ends with one shows two.

// Writes one diagnostic line with `label`. Output failures are ignored.
void write_diagnostic(const char* label, const char* p1, const char* p2, const char* p3,
                      const char* p4, const char* p5, const char* p6, int with_errno);

// When set, receives the text of every "Fatal" diagnostic, "Fatal: " + the message + ".",
// before the process ends; the run points it at the system log.
extern void (*fatal_log)(const char* text);

// Writes a "Fatal" diagnostic and ends the process with `status`.
[[noreturn]] void fatal(int status, const char* p1, const char* p2, const char* p3, const char* p4,
                        const char* p5, const char* p6, int with_errno);

// Writes an "Error" diagnostic and returns.
void report_error(const char* p1, const char* p2, const char* p3, const char* p4, const char* p5,
                  const char* p6, int with_errno);

// Whether a diagnostic ends with ": " and the system's text for errno.
enum diag_errno : int { NO_ERRNO = 0, WITH_ERRNO = 1 };

// The short form of fatal: names only the parts (one to six texts) and whether the system's
// error text follows, e.g. fatal(111, WITH_ERRNO, "Could not read '", path, "'").
template <typename... Parts>
[[noreturn]] void fatal(int status, diag_errno with_errno, Parts... parts) {
  static_assert(sizeof...(Parts) >= 1 && sizeof...(Parts) <= 6, "one to six parts");
  const char* p[6] = {parts...};
  fatal(status, p[0], p[1], p[2], p[3], p[4], p[5], with_errno);
}

// The short form of report_error, as fatal's above.
template <typename... Parts>
void report_error(diag_errno with_errno, Parts... parts) {
  static_assert(sizeof...(Parts) >= 1 && sizeof...(Parts) <= 6, "one to six parts");
  const char* p[6] = {parts...};
  report_error(p[0], p[1], p[2], p[3], p[4], p[5], with_errno);
}

// Ends the process with "Out of memory", status 111.
[[noreturn]] void die_oom();

// Changes the working directory to `path`, or ends the process with status 1 and
// "Could not chdir to 'PATH'" with the system's error text.
void chdir_or_die(const char* path);

// Writes "lagwatch: " + the expanded format + "\n" on the C library's stderr. Callers check
// the debug setting themselves.
void debug_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace lagwatch

#endif  // LAGWATCH_LIB_DIAG_H_
