#include "lib/fileio.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace lagwatch {

int fd_open_at(int dir_fd, const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = openat(dir_fd, path, flags | O_CLOEXEC, mode);
  } while (fd == -1 && errno == EINTR);
  return fd;
}

namespace {

// Set by the first openat2 that answered ENOSYS (a kernel before 5.6, or a filter that hides the
// call), or by a test.
bool one_component_at_a_time;

int open_with_openat2(int dir_fd, const char* path, int flags, mode_t mode) {
  open_how how{};
  // RESOLVE_NO_SYMLINKS covers the last component too; an O_NOFOLLOW beside it would turn a link
  // in place of a directory into ENOTDIR instead of ELOOP.
  how.flags = static_cast<uint64_t>(flags & ~O_NOFOLLOW) | O_CLOEXEC;
  how.mode = (flags & O_CREAT) != 0 ? mode : 0;  // any other mode is refused (EINVAL)
  how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_BENEATH;
  long fd;
  do {
    fd = syscall(SYS_openat2, dir_fd, path, &how, sizeof how);
  } while (fd == -1 && errno == EINTR);
  return static_cast<int>(fd);
}

// One component, never through a link. openat answers ENOTDIR, not ELOOP, for a link where
// O_DIRECTORY asked for a directory: the entry's type tells the two apart.
int open_component(int dir_fd, const char* name, int flags, mode_t mode) {
  const int fd = fd_open_at(dir_fd, name, flags | O_NOFOLLOW, mode);
  if (fd == -1 && errno == ENOTDIR && (flags & O_DIRECTORY) != 0) {
    struct stat entry;
    const bool link =
        fstatat(dir_fd, name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(entry.st_mode);
    errno = link ? ELOOP : ENOTDIR;
  }
  return fd;
}

// fd_open_beneath without openat2: each directory on the way is opened (O_PATH: searching it
// needs no read permission) relative to the one before.
int open_one_component_at_a_time(int dir_fd, const char* path, int flags, mode_t mode) {
  if (path[0] == '/') {
    errno = EXDEV;
    return -1;
  }
  int parent = dir_fd;
  for (;;) {
    const char* slash = strchr(path, '/');
    const size_t length = slash != nullptr ? static_cast<size_t>(slash - path) : strlen(path);
    char name[NAME_MAX + 1];
    int fd = -1;
    if (length > NAME_MAX) {
      errno = ENAMETOOLONG;
    } else if (length == 2 && path[0] == '.' && path[1] == '.') {
      errno = EXDEV;
    } else {
      memcpy(name, path, length);
      name[length] = '\0';
      fd = slash == nullptr ? open_component(parent, name, flags, mode)
                            : open_component(parent, name, O_PATH | O_DIRECTORY, 0);
    }
    if (parent != dir_fd) {
      const int error = errno;
      fd_close_read_only(parent);
      errno = error;
    }
    if (fd == -1 || slash == nullptr) return fd;
    parent = fd;
    path = slash + 1;
  }
}

// open_regular's checks of a descriptor just opened (-1: the open failed, errno says why).
open_status require_regular(int opened, int* fd, struct stat* status) {
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

// What open_regular adds to every open of a file that strangers may have shaped.
constexpr int kStrangerFlags = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

}  // namespace

int fd_open_beneath(int dir_fd, const char* path, int flags, mode_t mode) {
  if (!one_component_at_a_time) {
    const int fd = open_with_openat2(dir_fd, path, flags, mode);
    if (fd != -1 || errno != ENOSYS) return fd;
    one_component_at_a_time = true;
  }
  return open_one_component_at_a_time(dir_fd, path, flags, mode);
}

void fd_set_one_component_at_a_time(bool on) { one_component_at_a_time = on; }

open_status open_regular(int dir_fd, const char* path, int flags, mode_t mode, int* fd,
                         struct stat* status) {
  return require_regular(fd_open_at(dir_fd, path, flags | kStrangerFlags, mode), fd, status);
}

open_status open_regular_beneath(int dir_fd, const char* path, int flags, int* fd,
                                 struct stat* status) {
  return require_regular(fd_open_beneath(dir_fd, path, flags | kStrangerFlags), fd, status);
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
