#include "run/run.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/bytestr.h"
#include "lib/diag.h"
#include "lib/fileio.h"
#include "notice/dispatch.h"
#include "relay/relay.h"
#include "run/conf.h"
#include "run/control.h"
#include "run/metrics.h"
#include "run/queuefile.h"
#include "run/runlog.h"
#include "run/settings.h"
#include "run/state.h"
#include "run/stop.h"

namespace lagwatch {

namespace {

// The walk holds the "info" directory open while it walks each split directory, and opens
// each split directory and each due info file relative to its parent's descriptor: the kernel
// then resolves one name per call instead of "info/SPLIT/NAME" from the queue directory.
// Outside a walk (check_message or scan_split_directory called on their own) the descriptor
// is AT_FDCWD and paths are resolved from the working directory as usual.
int info_dir_fd = AT_FDCWD;

// "SPLIT/" + entry name of the message being looked at. Any length a directory can yield
// fits: the buffer grows as needed and is never released, so no name is ever cut or refused.
bytestr walk_filename;

// "info" or "info/SPLIT", the directory of the message check_message looks at.
bytestr message_directory;

// Who the walk reads the queue as. A message outside the window is judged by its status alone,
// and an info file that could not be opened must still end the run as a failed open does; the
// identity tells from the status whether the open would be allowed.
struct reader_identity {
  uid_t uid;
  gid_t gid;
  gid_t* groups;  // supplementary groups
  int group_count;
  bool reads_everything;  // holds a capability that overrides read permission
};
reader_identity reader;

// True when the effective capabilities include one that lets the process read any file
// (root's usual case). A failed query counts as no: the walk then opens what it cannot prove
// readable, which costs time but never changes the outcome.
bool holds_read_override() {
  __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const uint32_t overrides = (1U << CAP_DAC_OVERRIDE) | (1U << CAP_DAC_READ_SEARCH);
  return (data[0].effective & overrides) != 0;
}

// Takes the process's identity afresh; called at the start of every walk, since a process may
// change it between walks (tests do, in children).
void reader_refresh() {
  reader.uid = geteuid();
  reader.gid = getegid();
  reader.reads_everything = holds_read_override();
  free(reader.groups);
  reader.groups = nullptr;
  reader.group_count = 0;
  int count = getgroups(0, nullptr);
  if (count <= 0) return;
  auto* groups = static_cast<gid_t*>(malloc(static_cast<size_t>(count) * sizeof(gid_t)));
  if (groups == nullptr) die_oom();
  count = getgroups(count, groups);
  // Groups that cannot be listed count as not held: again the safe side, an open.
  reader.groups = groups;
  reader.group_count = count > 0 ? count : 0;
}

bool reader_in_group(gid_t gid) {
  if (gid == reader.gid) return true;
  for (int i = 0; i < reader.group_count; ++i) {
    if (reader.groups[i] == gid) return true;
  }
  return false;
}

// True when the permission bits of `status` let the walk open the file for reading. The check
// is the file system's owner/group/other rule; access control lists and security modules that
// deny what the bits grant are not seen here, so an info file refused only by them is noticed
// when its message falls due (and opened), not while it waits outside the window.
bool readable_by_status(const struct stat& status) {
  if (reader.reads_everything) return true;
  mode_t bit = S_IROTH;
  if (status.st_uid == reader.uid) {
    bit = S_IRUSR;
  } else if (reader_in_group(status.st_gid)) {
    bit = S_IRGRP;
  }
  return (status.st_mode & bit) != 0;
}

[[noreturn]] void die_queue_directory() { fatal(111, WITH_ERRNO, "Can't open queue directory"); }

[[noreturn]] void die_info_file(const char* filename) {
  fatal(111, WITH_ERRNO, "Can't open or stat info file '", queue_path(QUEUE_INFO, filename), "'");
}

// The modification time plus the threshold, widened with its sign. Saturates instead of
// overflowing for modification times no file system produces.
int64_t expiry_of(const struct stat& status) {
  int64_t mtime = static_cast<int64_t>(status.st_mtime);
  int64_t expiry = 0;
  if (__builtin_add_overflow(mtime, static_cast<int64_t>(settings.opt_age), &expiry)) {
    expiry = settings.opt_age < 0 ? INT64_MIN : INT64_MAX;
  }
  return expiry;
}

// Counts the message for the metrics, writes the expiry line and, when the message is outside the
// window, the reason. Returns true when the message is due.
bool judge(const char* filename, int64_t mtime, int64_t expiry) {
  metrics_count_message(mtime, expiry, settings.now);
  if (settings.opt_debug) {
    debug_line("filename=%s expiry=%ld", filename, static_cast<long>(expiry));
  }
  const window_place place = place_in_window(expiry, settings.lastrun, settings.now);
  if (place == WINDOW_DUE) return true;
  if (settings.opt_debug) {
    debug_line(place == WINDOW_NOT_YET ? "ignoring, has not yet expired"
                                       : "ignoring, was previously expired");
  }
  return false;
}

// Reads the info file's content: "F" + sender + NUL as qmail writes it. Returns the malloc'd
// content and points `*sender` into it. The leading byte is not examined; the sender ends at
// the first NUL or after the last byte read, so a file that is short, truncated or lacks the
// NUL gives what is there and nothing beyond it. A read that fails is reported like the failed
// open it amounts to: no notice goes to a sender that could not be read.
char* read_info(int fd, const struct stat& status, const char* filename, const char** sender) {
  uint32_t length = 0;
  char* content = read_open_file(fd, status, &length);
  if (content == nullptr) die_info_file(filename);
  *sender = length > 0 ? content + 1 : content;
  return content;
}

// Hands the due message on; records and logs a notice handed over, and logs one withheld. The info
// file stays open until the notice is out: `fd` is closed by the caller.
void hand_on(int fd, const struct stat& status, const char* filename) {
  const char* sender = nullptr;
  char* content = read_info(fd, status, filename, &sender);
  if (check_sender(sender)) {
    // The journal's room for the line is taken before any injector can start: once qmail-inject
    // has accepted the notice, a full disk must not keep its line out.
    journal_reserve(filename, status.st_mtime);
    const notice_result result = dispatch_notice(sender, filename);
    if (result.outcome == NOTICE_SENT || result.outcome == NOTICE_REFUSED) {
      journal_record(filename, status.st_mtime);
      runlog_notice(result.outcome, filename, sender, result.undone,
                    settings.now - status.st_mtime);
    } else {
      // Nothing went out: no journal line, so a repeated window looks at the message again.
      journal_release();
      if (result.outcome == NOTICE_WITHHELD) runlog_withheld(filename, sender, result.field);
    }
  } else if (settings.opt_debug) {
    debug_line("ignoring, sender was not in rcpthosts");
  }
  free(content);
}

// A failed run handed this message's notice over already; the run that repeats its window
// skips it, and logs that it did.
void skip_already_sent(int fd, const struct stat& status, const char* filename) {
  if (settings.opt_debug) debug_line("ignoring, notice already sent");
  if (!runlog_enabled()) return;
  const char* sender = nullptr;
  char* content = read_info(fd, status, filename, &sender);
  runlog_already_sent(filename, sender, settings.now - status.st_mtime);
  free(content);
}

// Judges the message `filename` whose info file is `name` relative to `dir_fd`. A message
// outside the window costs one status read. Anything else is opened and judged afresh from the
// opened file: qmail reuses names (inode numbers), and what the run prints must be about the
// file it opened. A file that the open would refuse is opened, so that it fails as it should.
void check_message_at(int dir_fd, const char* name, const char* filename) {
  struct stat listed;
  if (fstatat(dir_fd, name, &listed, AT_SYMLINK_NOFOLLOW) == -1) {
    if (errno != ENOENT) die_info_file(filename);
    debug_departed(filename);
    return;
  }
  if (S_ISREG(listed.st_mode) && readable_by_status(listed)) {
    const int64_t expiry = expiry_of(listed);
    if (!in_window(expiry, settings.lastrun, settings.now)) {
      judge(filename, listed.st_mtime, expiry);
      return;
    }
  }
  int fd = -1;
  struct stat opened;
  switch (open_regular(dir_fd, name, O_RDONLY, 0, &fd, &opened)) {
    case OPEN_OK:
      break;
    case OPEN_MISSING:
      debug_departed(filename);
      return;
    case OPEN_NOT_REGULAR:
      fatal(111, NO_ERRNO, "Can't open or stat info file '", queue_path(QUEUE_INFO, filename),
            "': not a regular file");
    case OPEN_FAILED:
      die_info_file(filename);
  }
  if (judge(filename, opened.st_mtime, expiry_of(opened))) {
    if (journal_holds(filename, opened.st_mtime)) {
      skip_already_sent(fd, opened, filename);
    } else {
      hand_on(fd, opened, filename);
    }
  }
  fd_close_read_only(fd);
}

// Opens the directory `name` relative to `parent_fd` for reading its entries, or ends the run.
// A plain file (or anything else that is not a directory) fails with ENOTDIR; a link at any
// component of `name` with ELOOP, so that nothing outside the queue is walked as its own.
DIR* open_queue_directory(int parent_fd, const char* name) {
  const int fd = fd_open_beneath(parent_fd, name, O_RDONLY | O_DIRECTORY);
  if (fd == -1) die_queue_directory();
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) die_queue_directory();
  return dir;
}

// Returns the next entry whose name does not begin with ".", or null at the end. An entry that
// cannot be read ends the run: a walk that stopped early and still wrote the run file would
// leave the messages it never saw without a notice for good. A stop signal that arrived ends the
// run here, between two entries, so that a walk with nothing due stops as soon as a busy one.
struct dirent* next_entry(DIR* dir) {
  stop_if_requested();
  for (;;) {
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) die_queue_directory();
      return nullptr;
    }
    if (entry->d_name[0] != '.') return entry;
  }
}

}  // namespace

int run(int argc, char** argv) {
  (void)argc;
  (void)argv;
  stop_signals_catch();
  if (!settings.opt_no_send) {
    metrics_start();
    runlog_start();
  }
  // Before any change of directory, so that a relative -f path names a file relative to the
  // directory the program was started in.
  if (settings.opt_bounce_file != nullptr) load_bounce_file(settings.opt_bounce_file);
  load_config();
  scan_queue();
  // A run asked to stop after its last entry has not completed either.
  stop_if_requested();
  // Print-only runs leave the window where it was: the next real run sends these notices.
  if (!settings.opt_no_send) {
    update_run_file();
    runlog_summary();
    metrics_publish();
  }
  // The walk went on past notices that the injector refused for good (a sender address it
  // cannot parse): the run completed, and the status says that not every notice went out.
  return notices_refused != 0 ? 100 : 0;
}

void scan_queue() {
  chdir_or_die(queue_dir);
  walk_figures = queue_figures{};
  reader_refresh();
  DIR* info = open_queue_directory(AT_FDCWD, "info");
  info_dir_fd = dirfd(info);
  // Entries are taken in the order the directory yields them; nothing is listed or sorted
  // first, so the walk needs no memory that grows with the queue.
  while (struct dirent* entry = next_entry(info)) scan_split_directory(entry->d_name);
  info_dir_fd = AT_FDCWD;
  (void)closedir(info);
}

void scan_split_directory(const char* split) {
  DIR* dir = nullptr;
  if (info_dir_fd == AT_FDCWD) {
    reader_refresh();
    dir = open_queue_directory(AT_FDCWD, queue_path(QUEUE_INFO, split));
  } else {
    dir = open_queue_directory(info_dir_fd, split);
  }
  int split_fd = dirfd(dir);

  if (!bytestr_set_cstr(&walk_filename, split) || !bytestr_append_char(&walk_filename, '/')) {
    die_oom();
  }
  uint32_t prefix = walk_filename.length;
  while (struct dirent* entry = next_entry(dir)) {
    // The prefix stays in place; only the entry name after it is replaced for each message.
    if (!bytestr_truncate(&walk_filename, prefix) ||
        !bytestr_append_cstr(&walk_filename, entry->d_name)) {
      die_oom();
    }
    check_message_at(split_fd, entry->d_name, walk_filename.data);
  }
  (void)closedir(dir);
}

void check_message(const char* filename) {
  if (info_dir_fd == AT_FDCWD) reader_refresh();
  // The info file's directory is opened first, without following a link on the way, and the
  // file judged relative to it, as in the walk.
  const char* slash = strrchr(filename, '/');
  const char* name = slash != nullptr ? slash + 1 : filename;
  const char* path = queue_path(QUEUE_INFO, filename);
  const auto directory_length = static_cast<uint32_t>(strrchr(path, '/') - path);
  if (!bytestr_set_bytes(&message_directory, path, directory_length)) die_oom();
  const int dir_fd = fd_open_beneath(AT_FDCWD, message_directory.data, O_PATH | O_DIRECTORY);
  if (dir_fd == -1) {
    if (errno != ENOENT) die_info_file(filename);
    debug_departed(filename);
    return;
  }
  check_message_at(dir_fd, name, filename);
  fd_close_read_only(dir_fd);
}

void update_run_file() { run_file_store(settings.now); }

}  // namespace lagwatch
