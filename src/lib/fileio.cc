#include "lib/fileio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace lagwatch {

int fd_open_at(int dir_fd, const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = openat(dir_fd, path, flags | O_CLOEXEC, mode);
  } while (fd == -1 && errno == EINTR);
  return fd;
}

open_status open_regular(int dir_fd, const char* path, int flags, mode_t mode, int* fd,
                         struct stat* status) {
  const int opened = fd_open_at(dir_fd, path, flags | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, mode);
  if (opened == -1) return errno == ENOENT ? OPEN_MISSING : OPEN_FAILED;
  if (fstat(opened, status) == -1) {
    const int error = errno;
    fd_close_read_only(opened);
    errno = error;
    return OPEN_FAILED;
  }
  if (!S_ISREG(status->st_mode)) {
    fd_close_read_only(opened);
    return OPEN_NOT_REGULAR;
  }
  *fd = opened;
  return OPEN_OK;
}

namespace {

long system_read(int fd, char* buffer, uint32_t n) { return read(fd, buffer, n); }

fd_read_fn read_fn = system_read;

}  // namespace

void fd_set_read_fn(fd_read_fn fn) { read_fn = fn != nullptr ? fn : system_read; }

ssize_t fd_read(int fd, char* buffer, size_t n) {
  // No read returns more than about 2 GiB on this platform, so the count can be cut to 32 bits.
  const auto ask = static_cast<uint32_t>(n < UINT32_MAX ? n : UINT32_MAX);
  long got;
  do {
    got = read_fn(fd, buffer, ask);
  } while (got == -1 && errno == EINTR);
  return got;
}

ssize_t fd_read_full(int fd, char* buffer, size_t n) {
  size_t done = 0;
  while (done < n) {
    const ssize_t got = fd_read(fd, buffer + done, n - done);
    if (got == -1) return -1;
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return static_cast<ssize_t>(done);
}

bool fd_write_all(int fd, const char* bytes, size_t n, off_t offset) {
  while (n > 0) {
    const ssize_t written = offset == -1 ? write(fd, bytes, n) : pwrite(fd, bytes, n, offset);
    if (written == -1 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    bytes += written;
    n -= static_cast<size_t>(written);
    if (offset != -1) offset += written;
  }
  return true;
}

bool fd_truncate(int fd, off_t length) {
  int result;
  do {
    result = ftruncate(fd, length);
  } while (result == -1 && errno == EINTR);
  return result == 0;
}

void fd_close_from(int lowest) {
  if (close_range(static_cast<unsigned>(lowest), ~0U, 0) == 0) return;
  const long limit = sysconf(_SC_OPEN_MAX);
  for (long n = lowest; n < limit; ++n) static_cast<void>(close(static_cast<int>(n)));
}

void fd_close_read_only(int fd) {
  const int closed = close(fd);
  static_cast<void>(closed);
}

}  // namespace lagwatch
