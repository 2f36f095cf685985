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
#include "relay/relay.h"
#include "run/conf.h"
#include "run/settings.h"

namespace lagwatch {

// strtol must cover the whole signed 64-bit range for the clamping of read_control_long, and
// the debug lines print 64-bit values with "%ld".
static_assert(sizeof(long) == sizeof(int64_t), "long must be 64 bits wide");

namespace {

// Every control path is built here; the buffer is emptied and reused by each call and never
// released, so after its first growth a path of the same length costs no allocation.
bytestr control_path;

// The texts load_config and load_bounce_file keep for the run. They live until the process
// ends; a second load (only tests do that) releases the first one's texts so that they do not
// turn into leaks.
char* loaded_me;
char* loaded_extra_rcpt;
char* loaded_template;

// A read-only descriptor has nothing to report at close: the data is in our buffer already.
void close_read_only(int fd) { (void)close(fd); }

// One read call for up to `size` bytes, restarted when a signal interrupts it before any byte
// arrived. Returns the count read or -1.
ssize_t read_once(int fd, char* buffer, size_t size) {
  for (;;) {
    ssize_t got = read(fd, buffer, size);
    if (got != -1 || errno != EINTR) return got;
  }
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
  return open(control_path.data, O_RDONLY);
}

char* read_control_file(const char* dir, const char* name, uint32_t* length) {
  size_t size = 0;
  int fd = open_control_file(dir, name);
  struct stat status;
  if (fd != -1 && fstat(fd, &status) == 0 && status.st_size > 0) {
    size = static_cast<size_t>(status.st_size);
  }
  // A file that cannot be opened or examined reads as the empty text, never as null.
  char* text = static_cast<char*>(malloc(size + 1));
  if (text == nullptr) die_oom();
  size_t got = 0;
  if (size > 0) {
    ssize_t count = read_once(fd, text, size);
    // A failed or short read ends the text after the bytes that did arrive, so that nothing
    // in it was left over from the allocator.
    if (count > 0) got = static_cast<size_t>(count);
  }
  text[got] = '\0';
  if (fd != -1) close_read_only(fd);
  // One read call returns at most about 2 GiB on this platform, so the count fits.
  if (length != nullptr) *length = static_cast<uint32_t>(got);
  return text;
}

char* read_control_line(const char* name) {
  char* text = read_control_file(nullptr, name);
  char* line_feed = strchr(text, '\n');
  if (line_feed != nullptr) *line_feed = '\0';
  // Nothing else is trimmed: a carriage return before the line feed stays in the text.
  return text;
}

int64_t read_control_long(const char* name, int64_t fallback) {
  char* text = read_control_line(name);
  int64_t value = fallback;
  if (text[0] != '\0') {
    char* end = nullptr;
    errno = 0;
    // strtol accepts leading white space and one sign, and clamps values beyond the range of
    // long (64 bits here) to its nearest bound, which is exactly the reading wanted; ERANGE
    // needs no handling of its own.
    long converted = strtol(text, &end, 10);
    if (*end == '\0' && end != text) value = converted;
  }
  free(text);
  return value;
}

void load_config() {
  chdir_or_die(control_dir);

  char* me = read_control_line("me");
  if (me[0] == '\0')
    fatal(111, "Could not read control/me", nullptr, nullptr, nullptr, nullptr, nullptr, 0);
  free(loaded_me);
  loaded_me = me;
  settings.me = me;

  settings.queuelifetime = read_control_long("queuelifetime", 604800);
  // Taken once: the window of this run ends here, and the next completed run starts from it.
  settings.now = static_cast<int64_t>(time(nullptr));
  settings.lastrun = read_control_long(run_file_path, 0);

  free(loaded_extra_rcpt);
  loaded_extra_rcpt = nullptr;
  const char* extra = settings.opt_extra_rcpt;
  if (extra == nullptr || extra[0] == '\0') {
    settings.extra_rcpt = nullptr;
  } else if (strchr(extra, '@') != nullptr) {
    settings.extra_rcpt = extra;
  } else {
    // A bare local part is qualified with this host's name, as qmail itself would do.
    size_t extra_length = strlen(extra);
    size_t me_length = strlen(me);
    char* qualified = static_cast<char*>(malloc(extra_length + 1 + me_length + 1));
    if (qualified == nullptr) die_oom();
    memcpy(qualified, extra, extra_length);
    qualified[extra_length] = '@';
    memcpy(qualified + extra_length + 1, me, me_length);
    qualified[extra_length + 1 + me_length] = '\0';
    loaded_extra_rcpt = qualified;
    settings.extra_rcpt = qualified;
  }

  if (settings.opt_rcpthosts_only) load_relay_domains();

  if (settings.opt_debug) {
    debug_line("me='%s'", settings.me);
    debug_line("queuelifetime=%ld", static_cast<long>(settings.queuelifetime));
    // The absent recipient is shown as "(null)" without handing printf a null pointer.
    debug_line("extra_rcpt='%s'", settings.extra_rcpt != nullptr ? settings.extra_rcpt : "(null)");
    debug_line("now=%ld", static_cast<long>(settings.now));
    debug_line("lastrun=%ld", static_cast<long>(settings.lastrun));
    debug_line("opt_age=%ld", static_cast<long>(static_cast<int64_t>(settings.opt_age)));
  }
}

void load_bounce_file(const char* path) {
  int fd = open(path, O_RDONLY);
  if (fd == -1) fatal(111, "Could not open '", path, "'", nullptr, nullptr, nullptr, 1);
  struct stat status;
  if (fstat(fd, &status) == -1)
    fatal(111, "Could not stat '", path, "'", nullptr, nullptr, nullptr, 1);
  size_t size = status.st_size > 0 ? static_cast<size_t>(status.st_size) : 0;
  char* text = static_cast<char*>(malloc(size + 1));
  if (text == nullptr) {
    fatal(111, "Could not allocate bytes for loading bounce response file.", nullptr, nullptr,
          nullptr, nullptr, nullptr, 0);
  }
  // The template is read whole in one call; anything less (an error, a short read, a file
  // that is not a regular file) is refused rather than expanded half-read.
  ssize_t count = read_once(fd, text, size);
  if (count < 0 || static_cast<size_t>(count) != size) {
    fatal(111, "Could not read the bounce response file.", nullptr, nullptr, nullptr, nullptr,
          nullptr, 0);
  }
  close_read_only(fd);
  text[size] = '\0';
  free(loaded_template);
  loaded_template = text;
  settings.notice_template = text;
}

}  // namespace lagwatch
