#ifndef LAGWATCH_RUN_CONTROL_H_
#define LAGWATCH_RUN_CONTROL_H_

#include <sys/stat.h>

#include <cstdint>

namespace lagwatch {

// Readers of qmail's control files (and, in print-only runs, of the run file and the journal).
// As qmail's own readers do, they tell a missing file, which reads as the empty text, from any
// other failure, which ends the run: "Could not read 'PATH'" with the system's error text.

// Opens `dir` + "/" + `name` (or `name` alone when `dir` is null) read-only, close-on-exec and
// without blocking. Returns the descriptor, or -1 with errno set. Builds the path in one shared
// buffer; ends the process through die_oom when that buffer cannot grow.
int open_control_file(const char* dir, const char* name);

// Ends the run with "Could not read 'PATH'" and the system's error text.
[[noreturn]] void die_unreadable(const char* path);

// Opens the control file as open_control_file does and stores its status in `*status`. Returns
// -1 when the file is missing; a file that exists but cannot be opened or examined, or is a
// directory (EISDIR), ends the run through die_unreadable.
int open_control_file_checked(const char* dir, const char* name, struct stat* status);

// Returns the file's bytes followed by one NUL, in a malloc'd buffer the caller frees. A
// missing file gives a buffer holding just the NUL; any other failure to open, examine or read
// it ends the run. Stores the number of bytes read in `*length` when `length` is not null.
char* read_control_file(const char* dir, const char* name, uint32_t* length = nullptr);

// Reads the open file `fd`, whose status is `status`, into a malloc'd text: its bytes and a NUL
// after them; a file that shrank meanwhile gives the bytes that arrived. Returns null with errno
// set when it cannot be read. Stores the count read in `*length` when `length` is not null.
// Ends the process through die_oom when memory runs out.
char* read_open_file(int fd, const struct stat& status, uint32_t* length);

// Returns a malloc'd empty text (one NUL byte) and stores 0 in `*length` when it is not null.
// Ends the process through die_oom when memory runs out.
char* new_empty_text(uint32_t* length);

// Returns the first line of `name` (its first "\n" replaced by a NUL), malloc'd; read as
// read_control_file reads.
char* read_control_line(const char* name);

// Returns the number in the first line of `text` as strtol reads it in base 10, clamped to the
// signed 64-bit range; `fallback` when the line is empty or anything follows the number.
int64_t parse_control_long(const char* text, int64_t fallback);

// parse_control_long of the file `name`, read as read_control_file reads.
int64_t read_control_long(const char* name, int64_t fallback);

// Loads control/me, control/queuelifetime, the clock and the run file into the settings (a
// real run claims the run file and its journal there), qualifies the extra recipient and, with
// -r, loads the relay domains. Leaves the working directory at the control directory. Ends the
// process on the failures it reports.
void load_config();

// Makes the file at `path` (relative to the current directory) the notice template, or ends
// the process with status 111.
void load_bounce_file(const char* path);

}  // namespace lagwatch

#endif  // LAGWATCH_RUN_CONTROL_H_
