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

ssize_t fd_read(int fd, char* buffer, size_t n) {
  ssize_t got;
  do {
    got = read(fd, buffer, n);
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

bool fd_write_all(int fd, const char* bytes, size_t n) {
  while (n > 0) {
    const ssize_t written = write(fd, bytes, n);
    if (written == -1 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    bytes += written;
    n -= static_cast<size_t>(written);
  }
  return true;
}

bool fd_pwrite_all(int fd, const char* bytes, size_t n, off_t offset) {
  while (n > 0) {
    const ssize_t written = pwrite(fd, bytes, n, offset);
    if (written == -1 && errno == EINTR) continue;
    if (written <= 0) {
      if (written == 0) errno = EIO;
      return false;
    }
    bytes += written;
    n -= static_cast<size_t>(written);
    offset += written;
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
  for (long fd = lowest; fd < limit; ++fd) static_cast<void>(close(static_cast<int>(fd)));
}

void fd_close_read_only(int fd) { static_cast<void>(close(fd)); }

}  // namespace lagwatch
