#include "run/control.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "lib/bytestr.h"
#include "lib/diag.h"
#include "lib/fileio.h"
#include "relay/relay.h"
#include "run/conf.h"
#include "run/settings.h"
#include "run/state.h"

namespace lagwatch {

// strtol must cover the whole signed 64-bit range for the clamping of read_control_long, and
// the debug lines print 64-bit values with "%ld".
static_assert(sizeof(long) == sizeof(int64_t), "long must be 64 bits wide");

namespace {

// Every control path is built here; the buffer is emptied and reused by each call and never
// released, so after its first growth a path of the same length costs no allocation.
bytestr control_path;

// The texts load_config and load_bounce_file keep for the run. They live until the process
// ends; a second load (only tests do that) releases the first one's texts.
char* loaded_me;
char* loaded_extra_rcpt;
char* loaded_template;

// control/me is read as ever: missing, unreadable or empty all end the run with one message.
char* read_me() {
  const int fd = open_control_file(nullptr, "me");
  struct stat status;
  char* text = fd != -1 && fstat(fd, &status) == 0 ? read_open_file(fd, status, nullptr) : nullptr;
  if (fd != -1) fd_close_read_only(fd);
  return text != nullptr ? text : new_empty_text(nullptr);
}

// Cuts `text` at its first line feed.
char* first_line(char* text) {
  char* line_feed = strchr(text, '\n');
  if (line_feed != nullptr) *line_feed = '\0';
  return text;
}

void load_me() {
  // A missing, unreadable or empty control/me all end the run with the one message.
  char* me = first_line(read_me());
  if (me[0] == '\0') fatal(111, NO_ERRNO, "Could not read control/me");
  free(loaded_me);
  loaded_me = me;
  settings.me = me;
}

// A bare local part is qualified with this host's name, as qmail itself would do.
void qualify_extra_rcpt() {
  free(loaded_extra_rcpt);
  loaded_extra_rcpt = nullptr;
  const char* extra = settings.opt_extra_rcpt;
  settings.extra_rcpt = nullptr;
  if (extra == nullptr || extra[0] == '\0') return;
  if (strchr(extra, '@') != nullptr) {
    settings.extra_rcpt = extra;
    return;
  }
  bytestr qualified = {};
  if (!bytestr_set_cstr(&qualified, extra) || !bytestr_append_char(&qualified, '@') ||
      !bytestr_append_cstr(&qualified, settings.me)) {
    die_oom();
  }
  loaded_extra_rcpt = qualified.data;
  settings.extra_rcpt = qualified.data;
}

void write_config_debug_lines() {
  debug_line("me='%s'", settings.me);
  debug_line("queuelifetime=%ld", static_cast<long>(settings.queuelifetime));
  // The absent recipient is shown as "(null)" without handing printf a null pointer.
  debug_line("extra_rcpt='%s'", settings.extra_rcpt != nullptr ? settings.extra_rcpt : "(null)");
  debug_line("now=%ld", static_cast<long>(settings.now));
  debug_line("lastrun=%ld", static_cast<long>(settings.lastrun));
  debug_line("opt_age=%ld", static_cast<long>(static_cast<int64_t>(settings.opt_age)));
}

}  // namespace

int open_control_file(const char* dir, const char* name) {
  if (!bytestr_truncate(&control_path, 0)) die_oom();
  if (dir != nullptr) {
    // A directory ending in "/" gives "//", which the system takes as one separator.
    if (!bytestr_append_cstr(&control_path, dir) || !bytestr_append_char(&control_path, '/')) {
      die_oom();
    }
  }
  if (!bytestr_append_cstr(&control_path, name)) die_oom();
  // Non-blocking: a FIFO put in place of a control file must not hang the run.
  return fd_open_at(AT_FDCWD, control_path.data, O_RDONLY | O_NONBLOCK);
}

void die_unreadable(const char* path) { fatal(111, WITH_ERRNO, "Could not read '", path, "'"); }

int open_control_file_checked(const char* dir, const char* name, struct stat* status) {
  const int fd = open_control_file(dir, name);
  if (fd == -1) {
    if (errno == ENOENT) return -1;
    die_unreadable(control_path.data);
  }
  if (fstat(fd, status) == -1) die_unreadable(control_path.data);
  if (S_ISDIR(status->st_mode)) {
    errno = EISDIR;
    die_unreadable(control_path.data);
  }
  return fd;
}

char* read_open_file(int fd, const struct stat& status, uint32_t* length) {
  const size_t size = status.st_size > 0 ? static_cast<size_t>(status.st_size) : 0;
  if (size >= UINT32_MAX) {
    errno = EFBIG;
    return nullptr;
  }
  char* text = static_cast<char*>(malloc(size + 1));
  if (text == nullptr) die_oom();
  const ssize_t got = fd_read_full(fd, text, size);
  if (got == -1) {
    const int error = errno;
    free(text);
    errno = error;
    return nullptr;
  }
  // A file that shrank since its status was read gives the bytes that did arrive.
  text[got] = '\0';
  if (length != nullptr) *length = static_cast<uint32_t>(got);
  return text;
}

char* new_empty_text(uint32_t* length) {
  char* text = static_cast<char*>(malloc(1));
  if (text == nullptr) die_oom();
  text[0] = '\0';
  if (length != nullptr) *length = 0;
  return text;
}

char* read_control_file(const char* dir, const char* name, uint32_t* length) {
  struct stat status;
  const int fd = open_control_file_checked(dir, name, &status);
  if (fd == -1) return new_empty_text(length);
  char* text = read_open_file(fd, status, length);
  if (text == nullptr) die_unreadable(control_path.data);
  fd_close_read_only(fd);
  return text;
}

char* read_control_line(const char* name) { return first_line(read_control_file(nullptr, name)); }

int64_t parse_control_long(const char* text, int64_t fallback) {
  const char* line_feed = strchr(text, '\n');
  const size_t line_length =
      line_feed != nullptr ? static_cast<size_t>(line_feed - text) : strlen(text);
  if (line_length == 0) return fallback;
  char* end = nullptr;
  // strtol accepts leading white space and one sign, and clamps values beyond the range of
  // long (64 bits here) to its nearest bound, which is exactly the reading wanted.
  const long converted = strtol(text, &end, 10);
  if (end == text || static_cast<size_t>(end - text) != line_length) return fallback;
  return converted;
}

int64_t read_control_long(const char* name, int64_t fallback) {
  char* text = read_control_file(nullptr, name);
  const int64_t value = parse_control_long(text, fallback);
  free(text);
  return value;
}

void load_config() {
  chdir_or_die(control_dir);
  load_me();
  settings.queuelifetime = read_control_long("queuelifetime", 604800);
  // A real run claims the run file before it reads from it and keeps it until its update, so
  // that no notice goes out from a run that could not record it.
  settings.lastrun = settings.opt_no_send ? run_file_peek() : run_file_claim();
  // Taken once, and after the claim: a run that read the clock before another run's whole
  // window would otherwise write an older time after it and open that window again. The window
  // of this run ends here, and the next completed run starts from it.
  settings.now = static_cast<int64_t>(time(nullptr));
  journal_load(settings.lastrun, !settings.opt_no_send);
  qualify_extra_rcpt();
  if (settings.opt_rcpthosts_only) load_relay_domains();
  if (settings.opt_debug) write_config_debug_lines();
}

void load_bounce_file(const char* path) {
  const int fd = fd_open_at(AT_FDCWD, path, O_RDONLY);
  if (fd == -1) fatal(111, WITH_ERRNO, "Could not open '", path, "'");
  struct stat status;
  if (fstat(fd, &status) == -1) fatal(111, WITH_ERRNO, "Could not stat '", path, "'");
  size_t size = status.st_size > 0 ? static_cast<size_t>(status.st_size) : 0;
  char* text = static_cast<char*>(malloc(size + 1));
  if (text == nullptr) {
    fatal(111, NO_ERRNO, "Could not allocate bytes for loading bounce response file.");
  }
  // The template is read whole in one call; anything less (an error, a short read, a file
  // that is not a regular file) is refused rather than expanded half-read.
  const ssize_t count = fd_read(fd, text, size);
  if (count < 0 || static_cast<size_t>(count) != size) {
    fatal(111, NO_ERRNO, "Could not read the bounce response file.");
  }
  fd_close_read_only(fd);
  text[size] = '\0';
  free(loaded_template);
  loaded_template = text;
  settings.notice_template = text;
}

}  // namespace lagwatch
