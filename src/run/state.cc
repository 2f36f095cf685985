#include "run/state.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/bytestr.h"
#include "lib/diag.h"
#include "lib/fileio.h"
#include "lib/strtable.h"
#include "run/conf.h"
#include "run/control.h"

namespace lagwatch {

namespace {

// The run file and the journal, held open from their claim until the update at the end of a
// real run; -1 otherwise. The run file's lock lasts as long as its descriptor.
int run_fd = -1;
int journal_fd = -1;

// Where the journal's next line goes, and whether a placeholder for it stands there. The journal
// is written at known offsets rather than appended, so that a line goes into the room reserved
// for it.
off_t journal_end;
bool journal_placeholder;

// The journal's lines ("SPLIT/NAME MTIME") for the current window, and the scratch key.
strtable journal_entries;
bytestr journal_key;

[[noreturn]] void die_run_file() { fatal(111, NO_ERRNO, "Could not update run file"); }

[[noreturn]] void die_journal() { fatal(111, WITH_ERRNO, "Could not update '", journal_path, "'"); }

// A time in decimal, as the run file and the journal write it.
struct decimal_text {
  char text[24];
  uint32_t length;
};

decimal_text decimal(int64_t value) {
  decimal_text d{};
  const int n = snprintf(d.text, sizeof d.text, "%ld", static_cast<long>(value));
  d.length = n > 0 ? static_cast<uint32_t>(n) : 0;
  return d;
}

void open_run_file() {
  struct stat status;
  if (open_regular(AT_FDCWD, run_file_path, O_RDWR | O_CREAT, 0666, &run_fd, &status) != OPEN_OK) {
    run_fd = -1;
    die_run_file();
  }
}

// True when the file-size limit would let a write at offset 0 store fewer than `n` bytes: such
// a write stores what fits and refuses the rest, leaving new digits before old ones.
bool size_limit_below(uint32_t n) {
  struct rlimit limit;
  return getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
         limit.rlim_cur < static_cast<rlim_t>(n);
}

// Makes journal_key "FILENAME MTIME".
void set_journal_key(const char* filename, int64_t mtime) {
  const decimal_text digits = decimal(mtime);
  if (!bytestr_set_cstr(&journal_key, filename) || !bytestr_append_char(&journal_key, ' ') ||
      !bytestr_append_cstr(&journal_key, digits.text)) {
    die_oom();
  }
}

// Makes journal_key the journal's line for `filename` dated `mtime`, line feed included.
void set_journal_line(const char* filename, int64_t mtime) {
  set_journal_key(filename, mtime);
  if (!bytestr_append_char(&journal_key, '\n')) die_oom();
}

// Takes the lines of a journal that belongs to the window starting at `lastrun`. Returns the
// number of bytes that are its header and complete lines: 0 for the journal of another window
// (or none), less than `length` when the last line was cut short.
uint32_t journal_parse(const char* text, uint32_t length, int64_t lastrun) {
  const decimal_text header = decimal(lastrun);
  if (length <= header.length || text[header.length] != '\n' ||
      memcmp(text, header.text, header.length) != 0) {
    return 0;
  }
  uint32_t pos = header.length + 1;
  while (const void* line_feed = memchr(text + pos, '\n', length - pos)) {
    const auto line_length =
        static_cast<uint32_t>(static_cast<const char*>(line_feed) - text) - pos;
    if (!bytestr_set_bytes(&journal_key, text + pos, line_length) ||
        !strtable_add(&journal_entries, &journal_key, 0)) {
      die_oom();
    }
    pos += line_length + 1;
  }
  return pos;
}

// Makes the open journal hold `kept` bytes; with none kept, it is started afresh for the window
// beginning at `lastrun`.
void journal_trim(uint32_t kept, int64_t lastrun) {
  // Emptied first: a header written over the start of an older window's journal would leave that
  // window's lines behind it, and a run that then failed would leave a journal no run honours.
  if (!fd_truncate(journal_fd, kept)) die_journal();
  journal_end = kept;
  if (kept != 0) return;
  decimal_text header = decimal(lastrun);
  header.text[header.length] = '\n';
  if (!fd_write_all(journal_fd, header.text, header.length + 1, 0)) die_journal();
  journal_end = header.length + 1;
}

// The run file holds the new window's start: the journal of the old window is done with. A
// journal that cannot be emptied belongs to an older window, which the next run ignores.
void journal_close() {
  if (journal_fd == -1) return;
  static_cast<void>(fd_truncate(journal_fd, 0));
  fd_close_read_only(journal_fd);
  journal_fd = -1;
}

// The lastrun that the run file's `text` (malloc'd, released here) holds. A run file whose first
// line is not a time would otherwise read as 0, the first run, and notify the whole queue
// again: the run ends instead, before anything is sent, and the file stays as it is.
int64_t run_time_or_die(char* text, uint32_t length) {
  int64_t lastrun = 0;
  const bool is_time = parse_run_time(text, length, &lastrun);
  free(text);
  if (!is_time) fatal(111, NO_ERRNO, "Run file '", run_file_path, "' does not hold a time");
  return lastrun;
}

}  // namespace

int64_t run_file_claim() {
  // Only tests load twice in one process; the first claim's lock would refuse the second.
  if (run_fd != -1) fd_close_read_only(run_fd);
  open_run_file();
  int locked;
  do {
    locked = flock(run_fd, LOCK_EX | LOCK_NB);
  } while (locked == -1 && errno == EINTR);
  if (locked == -1) {
    if (errno == EWOULDBLOCK) fatal(111, NO_ERRNO, "Another run holds the run file");
    die_run_file();
  }
  // The status is read under the lock: the run that held it may just have rewritten the file.
  struct stat status;
  uint32_t length = 0;
  char* text = fstat(run_fd, &status) == 0 ? read_open_file(run_fd, status, &length) : nullptr;
  if (text == nullptr) die_unreadable(run_file_path);
  return run_time_or_die(text, length);
}

int64_t run_file_peek() {
  uint32_t length = 0;
  char* text = read_control_file(nullptr, run_file_path, &length);
  return run_time_or_die(text, length);
}

bool parse_run_time(const char* text, uint32_t length, int64_t* lastrun) {
  *lastrun = 0;
  if (length == 0) return true;
  uint32_t i = 0;
  while (i < length && (text[i] == ' ' || text[i] == '\t')) ++i;
  const bool negative = i < length && text[i] == '-';
  if (negative) ++i;
  const uint32_t digits = i;
  int64_t value = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    // Accumulated with the sign, so that the most negative time fits as well.
    const int64_t digit = text[i] - '0';
    if (__builtin_mul_overflow(value, 10, &value) ||
        __builtin_add_overflow(value, negative ? -digit : digit, &value)) {
      return false;
    }
  }
  if (i == digits || (i < length && text[i] != '\n')) return false;
  *lastrun = value;
  return true;
}

void run_file_store(int64_t now) {
  if (run_fd == -1) open_run_file();
  const decimal_text digits = decimal(now);
  // The new digits go over the old ones and only then is the file cut to their length, so no
  // moment exists in which the file is empty, and the file keeps its inode, owner and mode. A
  // full disk cannot refuse the write: the old value already holds the file's first block.
  if (digits.length == 0 || size_limit_below(digits.length) ||
      !fd_write_all(run_fd, digits.text, digits.length, 0) || !fd_truncate(run_fd, digits.length)) {
    die_run_file();
  }
  // On disk before the journal is emptied: a crash must never leave the old window with an
  // empty journal, which would send its notices again.
  if (fsync(run_fd) == -1) die_run_file();
  journal_close();
  const int closed = close(run_fd);
  run_fd = -1;
  if (closed == -1) die_run_file();
}

void journal_load(int64_t lastrun, bool update) {
  if (journal_fd != -1) fd_close_read_only(journal_fd);
  journal_fd = -1;
  strtable_free(&journal_entries);
  uint32_t length = 0;
  char* text = nullptr;
  if (update) {
    struct stat status;
    const open_status opened =
        open_regular(AT_FDCWD, journal_path, O_RDWR | O_CREAT, 0666, &journal_fd, &status);
    if (opened == OPEN_NOT_REGULAR) {
      fatal(111, NO_ERRNO, "Could not update '", journal_path, "': not a regular file");
    }
    if (opened != OPEN_OK) die_journal();
    text = read_open_file(journal_fd, status, &length);
    if (text == nullptr) die_unreadable(journal_path);
  } else {
    text = read_control_file(nullptr, journal_path, &length);
  }
  const uint32_t kept = journal_parse(text, length, lastrun);
  free(text);
  journal_end = length;
  journal_placeholder = false;
  if (update && (kept == 0 || kept != length)) journal_trim(kept, lastrun);
}

bool journal_holds(const char* filename, int64_t mtime) {
  if (journal_entries.count == 0) return false;
  set_journal_key(filename, mtime);
  return strtable_get(&journal_entries, &journal_key) != nullptr;
}

void journal_reserve(const char* filename, int64_t mtime) {
  if (journal_fd == -1) return;
  journal_release();
  set_journal_line(filename, mtime);
  // The room is taken on disk beyond the end of the file, which keeps its size and content.
  int reserved;
  do {
    reserved = fallocate(journal_fd, FALLOC_FL_KEEP_SIZE, journal_end, journal_key.length);
  } while (reserved == -1 && errno == EINTR);
  if (reserved == 0) return;
  if (errno != EOPNOTSUPP) die_journal();
  // A file system that cannot reserve gets the line's bytes with a blank where the line feed
  // will go: a last line without a line feed counts for nothing until it is completed.
  journal_key.data[journal_key.length - 1] = ' ';
  if (!fd_write_all(journal_fd, journal_key.data, journal_key.length, journal_end)) die_journal();
  journal_placeholder = true;
}

void journal_record(const char* filename, int64_t mtime) {
  if (journal_fd == -1) return;
  set_journal_line(filename, mtime);
  // Over the reserved bytes, in place: the blocks are the file's already.
  if (!fd_write_all(journal_fd, journal_key.data, journal_key.length, journal_end)) die_journal();
  journal_end += journal_key.length;
  journal_placeholder = false;
}

void journal_release() {
  if (journal_fd == -1 || !journal_placeholder) return;
  journal_placeholder = false;
  // Harmless when it fails: the next line is written over it, and a run that ends before that
  // leaves a last line without a line feed, which the next run cuts off.
  static_cast<void>(fd_truncate(journal_fd, journal_end));
}

void state_reset() {
  if (journal_fd != -1) fd_close_read_only(journal_fd);
  if (run_fd != -1) fd_close_read_only(run_fd);
  journal_fd = -1;
  run_fd = -1;
  journal_end = 0;
  journal_placeholder = false;
  strtable_free(&journal_entries);
}

}  // namespace lagwatch
