#ifndef LAGWATCH_RUN_CONTROL_H_
#define LAGWATCH_RUN_CONTROL_H_

#include <cstdint>

namespace lagwatch {

// Readers of small files (qmail's control files, recipient lists, the run file). They report
// nothing: a missing or unreadable file reads as the empty text.

// Opens `dir` + "/" + `name` (or `name` alone when `dir` is null) read-only. Returns the
// descriptor, or -1 with errno set. Builds the path in one shared buffer; ends the process
// through die_oom when that buffer cannot grow. Not reentrant.
int open_control_file(const char* dir, const char* name);

// Returns the file's bytes followed by one NUL, in a malloc'd buffer the caller frees; never
// null. A missing or unreadable file gives a buffer holding just the NUL. The text holds only
// bytes actually read. Stores the number of bytes read in `*length` when `length` is not null.
char* read_control_file(const char* dir, const char* name, uint32_t* length = nullptr);

// Returns the first line of `name` (its first "\n" replaced by a NUL), malloc'd; never null.
char* read_control_line(const char* name);

// Returns the number in the first line of `name` as strtol reads it in base 10, clamped to the
// signed 64-bit range; `fallback` when the line is empty or anything follows the number.
int64_t read_control_long(const char* name, int64_t fallback);

// Loads control/me, control/queuelifetime, the clock and the run file into the settings,
// qualifies the extra recipient and, with -r, loads the relay domains. Leaves the working
// directory at the control directory. Ends the process on the failures it reports.
void load_config();

// Makes the file at `path` (relative to the current directory) the notice template, or ends
// the process with status 111.
void load_bounce_file(const char* path);

}  // namespace lagwatch

#endif  // LAGWATCH_RUN_CONTROL_H_
