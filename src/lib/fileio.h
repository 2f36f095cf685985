#ifndef LAGWATCH_LIB_FILEIO_H_
#define LAGWATCH_LIB_FILEIO_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace lagwatch {

// One helper per system-call pattern the program repeats. Each retries a call that a signal
// interrupted, and leaves errno as the failing call set it.

// openat(2) with O_CLOEXEC added. Returns the descriptor, or -1.
int fd_open_at(int dir_fd, const char* path, int flags, mode_t mode = 0);

// Opens `path` relative to `dir_fd` (AT_FDCWD: the working directory) without following a
// symbolic link at any of its components and without leaving that directory, with O_CLOEXEC
// added. Returns the descriptor, or -1: a link met anywhere gives ELOOP (O_DIRECTORY included), a
// component missing ENOENT, a path that climbs out EXDEV.
int fd_open_beneath(int dir_fd, const char* path, int flags, mode_t mode = 0);

// Makes fd_open_beneath take one component per openat(2), as it does on a kernel without
// openat2(2) (for tests); false restores the default.
void fd_set_one_component_at_a_time(bool on);

// How open_regular ended.
enum open_status : int {
  OPEN_OK,           // *fd is open, *status describes it
  OPEN_MISSING,      // the name does not exist (ENOENT)
  OPEN_FAILED,       // the open or the fstat failed; errno says why
  OPEN_NOT_REGULAR,  // it opened, but is not a regular file; nothing is left open
};

// Opens a file whose name strangers may have shaped: never through a symbolic link, never
// blocking (a FIFO), never as a controlling terminal, close-on-exec; then requires a regular
// file, judged by fstat on the descriptor so that the file judged is the file opened.
open_status open_regular(int dir_fd, const char* path, int flags, mode_t mode, int* fd,
                         struct stat* status);

// open_regular's rules for a path with directories in it (e.g. "mess/7/1001"): no link is
// followed at any component, as by fd_open_beneath. A missing directory counts as a missing file.
open_status open_regular_beneath(int dir_fd, const char* path, int flags, int* fd,
                                 struct stat* status);

// How the helpers below read: read(2), unless a test puts in a function that interrupts or cuts
// reads. Null restores read(2).
using fd_read_fn = long (*)(int fd, char* buffer, uint32_t n);
void fd_set_read_fn(fd_read_fn fn);

// One read(2). Returns the count read (0 at end of file), or -1.
ssize_t fd_read(int fd, char* buffer, size_t n);

// Reads until `n` bytes have arrived or the file ends. Returns the count, or -1.
ssize_t fd_read_full(int fd, char* buffer, size_t n);

// Writes all `n` bytes: at `offset`, leaving the file offset alone, or at the file offset when
// `offset` is -1. Returns false on failure (a write of 0 bytes included, with errno EIO).
bool fd_write_all(int fd, const char* bytes, size_t n, off_t offset = -1);

// Cuts or extends the file to `length`. Returns false on failure.
bool fd_truncate(int fd, off_t length);

// Closes every descriptor from `lowest` up (close_range, or one by one where the kernel lacks
// it). For a child about to run another program.
void fd_close_from(int lowest);

// Closes a descriptor that was only read from: the data is in hand, so a failed close has
// nothing to report.
void fd_close_read_only(int fd);

}  // namespace lagwatch

#endif  // LAGWATCH_LIB_FILEIO_H_
