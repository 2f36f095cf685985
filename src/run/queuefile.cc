#include "run/queuefile.h"

#include <fcntl.h>

#include "lib/bytestr.h"
#include "lib/diag.h"
#include "run/control.h"
#include "run/settings.h"

namespace lagwatch {

namespace {

const char* const part_directories[] = {"info/", "mess/", "remote/", "local/"};

bytestr queue_path_buffer;

}  // namespace

const char* queue_path(queue_part part, const char* filename) {
  if (!bytestr_set_cstr(&queue_path_buffer, part_directories[part]) ||
      !bytestr_append_cstr(&queue_path_buffer, filename)) {
    die_oom();
  }
  return queue_path_buffer.data;
}

open_status queue_file_open(queue_part part, const char* filename, int* fd, struct stat* status) {
  return open_regular_beneath(AT_FDCWD, queue_path(part, filename), O_RDONLY, fd, status);
}

char* queue_read_list(queue_part part, const char* filename, uint32_t* length) {
  int fd = -1;
  struct stat status;
  const open_status opened = queue_file_open(part, filename, &fd, &status);
  const char* path = queue_path_buffer.data;
  if (opened == OPEN_MISSING) return new_empty_text(length);
  if (opened == OPEN_NOT_REGULAR) {
    fatal(111, NO_ERRNO, "Could not read '", path, "': not a regular file");
  }
  char* text = opened == OPEN_OK ? read_open_file(fd, status, length) : nullptr;
  if (text == nullptr) die_unreadable(path);
  fd_close_read_only(fd);
  return text;
}

// qmail removes a finished message's files while the walk runs (its recipient lists, then its
// info file, then its text). Such a message simply is no longer queued: skipping it keeps a busy
// server's runs from failing one after another.
void debug_departed(const char* filename) {
  if (settings.opt_debug) debug_line("ignoring %s, message left the queue", filename);
}

}  // namespace lagwatch
