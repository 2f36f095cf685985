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
#include "notice/dispatch.h"
#include "relay/relay.h"
#include "run/conf.h"
#include "run/control.h"
#include "run/settings.h"

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

// "info/" + filename, for a message judged outside a walk.
bytestr info_path;

// A read-only descriptor has nothing to report at close.
void close_read_only(int fd) { (void)close(fd); }

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

[[noreturn]] void die_queue_directory() {
  fatal(111, "Can't open queue directory", nullptr, nullptr, nullptr, nullptr, nullptr, 1);
}

[[noreturn]] void die_info_file(const char* filename) {
  fatal(111, "Can't open or stat info file '", "info/", filename, "'", nullptr, nullptr, 1);
}

// qmail removes a finished message's info file while the walk runs (after its recipient lists,
// before its message text). Such a message simply is no longer queued: skipping it keeps a busy
// server's runs from failing one after another and re-sending the notices already sent.
void skip_departed(const char* filename) {
  if (settings.opt_debug) debug_line("ignoring %s, message left the queue", filename);
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

// Writes the expiry line and, when the message is outside the window, the reason. Returns
// true when the message is due.
bool judge(const char* filename, int64_t expiry) {
  if (settings.opt_debug) {
    debug_line("filename=%s expiry=%ld", filename, static_cast<long>(expiry));
  }
  // The test against now comes first: when the clock went back so that lastrun > now, every
  // message reads "has not yet expired" or "was previously expired", and none is due.
  if (expiry > settings.now) {
    if (settings.opt_debug) debug_line("ignoring, has not yet expired");
    return false;
  }
  if (expiry <= settings.lastrun) {
    if (settings.opt_debug) debug_line("ignoring, was previously expired");
    return false;
  }
  return true;
}

// Reads the due message's sender and hands the message on. The info file stays open until the
// notice is out, as the descriptor `fd` is closed only by the caller afterwards.
void hand_on(int fd, const struct stat& status, const char* filename) {
  size_t size = status.st_size > 0 ? static_cast<size_t>(status.st_size) : 0;
  char* content = static_cast<char*>(malloc(size + 1));
  if (content == nullptr) die_oom();
  ssize_t got = 0;
  do {
    got = read(fd, content, size);
  } while (got == -1 && errno == EINTR);
  // A read that fails (an I/O error, or a directory among the messages) is reported like the
  // failed open it amounts to: no notice goes to a sender that could not be read.
  if (got == -1) die_info_file(filename);
  content[got] = '\0';
  // qmail writes "F" + sender + NUL. The leading byte is not examined; the sender ends at the
  // first NUL or after the last byte read, so a file that is short, truncated or lacks the NUL
  // gives what is there and nothing beyond it.
  const char* sender = got > 0 ? content + 1 : content;
  if (check_sender(sender)) {
    dispatch_notice(sender, filename);
  } else if (settings.opt_debug) {
    debug_line("ignoring, sender was not in rcpthosts");
  }
  free(content);
}

// Judges the message `filename` whose info file is `name` relative to the descriptor `dir_fd`.
//
// A message outside the window is judged by one status read of its name, without opening the
// file: on a large queue almost every message is outside the window, and this saves an open and
// a close for each. Only a due message is opened, and a file whose permission bits would refuse
// the open: opening it gives the failure, and its message, that the open would have given. Between
// the status read and the open, qmail may have removed the message and even queued a new one under
// the same name (names are inode numbers, which are reused quickly), so the opened file's own
// status is read again and the decision is made once more from it, before the expiry line is
// written. Every line the run prints is thus about the file that was actually opened, exactly as if
// it had been opened first and examined through its descriptor.
void check_message_at(int dir_fd, const char* name, const char* filename) {
  struct stat listed;
  if (fstatat(dir_fd, name, &listed, 0) == -1) {
    if (errno != ENOENT) die_info_file(filename);
    skip_departed(filename);
    return;
  }
  int64_t expiry = expiry_of(listed);
  // Only a regular file is judged by its status: anything else in the queue (a socket, a
  // device, a directory) is opened like a due message, so that it fails or passes exactly as
  // the open makes it.
  if (S_ISREG(listed.st_mode) && !in_window(expiry, settings.lastrun, settings.now) &&
      readable_by_status(listed)) {
    judge(filename, expiry);
    return;
  }

  // Close-on-exec: the injector started for this message has no business with its info file.
  // Non-blocking: a FIFO among the info files must not stall the walk in open(); for a regular
  // file the flag changes nothing.
  int fd;
  do {
    fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) {
    if (errno != ENOENT) die_info_file(filename);
    skip_departed(filename);
    return;
  }
  struct stat opened;
  if (fstat(fd, &opened) == -1) die_info_file(filename);
  if (judge(filename, expiry_of(opened))) hand_on(fd, opened, filename);
  close_read_only(fd);
}

// Opens the directory `name` relative to `parent_fd` for reading its entries, or ends the run.
// A plain file (or anything else that is not a directory) fails with ENOTDIR.
DIR* open_queue_directory(int parent_fd, const char* name) {
  int fd;
  do {
    fd = openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) die_queue_directory();
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) die_queue_directory();
  return dir;
}

// Returns the next entry whose name does not begin with ".", or null at the end. An entry that
// cannot be read ends the run: a walk that stopped early and still wrote the run file would
// leave the messages it never saw without a notice for good.
struct dirent* next_entry(DIR* dir) {
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

// Writes all `n` bytes at `offset`, continuing after short writes and interruptions.
bool write_all_at(int fd, const char* bytes, size_t n, off_t offset) {
  while (n > 0) {
    ssize_t written = pwrite(fd, bytes, n, offset);
    if (written == -1) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) return false;
    bytes += written;
    n -= static_cast<size_t>(written);
    offset += written;
  }
  return true;
}

[[noreturn]] void die_run_file(int fd) {
  if (fd != -1) (void)close(fd);
  fatal(111, "Could not update run file", nullptr, nullptr, nullptr, nullptr, nullptr, 0);
}

}  // namespace

int run(int argc, char** argv) {
  (void)argc;
  (void)argv;
  // Before any change of directory, so that a relative -f path names a file relative to the
  // directory the program was started in.
  if (settings.opt_bounce_file != nullptr) load_bounce_file(settings.opt_bounce_file);
  load_config();
  scan_queue();
  // Print-only runs leave the window where it was: the next real run sends these notices.
  if (!settings.opt_no_send) update_run_file();
  // The walk went on past notices that the injector refused for good (a sender address it
  // cannot parse): the run completed, and the status says that not every notice went out.
  return notices_refused != 0 ? 100 : 0;
}

void scan_queue() {
  chdir_or_die(queue_dir);
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
    bytestr path = {};
    if (!bytestr_set_cstr(&path, "info/") || !bytestr_append_cstr(&path, split)) die_oom();
    dir = open_queue_directory(AT_FDCWD, path.data);
    free(path.data);
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
  if (!bytestr_set_cstr(&info_path, "info/") || !bytestr_append_cstr(&info_path, filename)) {
    die_oom();
  }
  check_message_at(AT_FDCWD, info_path.data, filename);
}

void update_run_file() {
  // The file is updated in place rather than emptied and rewritten: a run that fails here
  // (disk full, file-size limit, I/O error) must leave the previous value, or the next run
  // would take lastrun as 0 and notify every old message again. Working in place also keeps
  // the file's inode, owner and mode, so an administrator can prepare it for a non-root user.
  int fd;
  do {
    fd = open(run_file_path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  } while (fd == -1 && errno == EINTR);
  if (fd == -1) die_run_file(-1);

  char digits[24];
  int length = snprintf(digits, sizeof digits, "%ld", static_cast<long>(settings.now));
  if (length <= 0 || static_cast<size_t>(length) >= sizeof digits) die_run_file(fd);

  // The new digits go over the old ones first and only then is the file cut to their length,
  // so that no moment exists in which the file is empty. A write that stored only part of the
  // digits and then failed would leave new digits followed by old ones: a number no run ever
  // started at. The two failures that can strike a small write at offset 0 are met before it:
  // - the file-size limit, which lets a write store the bytes below the limit and refuses the
  //   rest, is checked first, so that a limit too small for the digits stores none of them;
  // - a full disk can only refuse a block the file does not have yet, and a previous value
  //   already occupies the first block: a new or empty file has no value to lose.
  // What remains is an I/O error in the middle of a 20-byte write, or a failed cut after a
  // successful write, which leaves the old tail behind the new digits when the old content
  // was longer. Both end the run with the diagnostic below, so neither passes unnoticed.
  struct rlimit size_limit;
  if (getrlimit(RLIMIT_FSIZE, &size_limit) == 0 && size_limit.rlim_cur != RLIM_INFINITY &&
      size_limit.rlim_cur < static_cast<rlim_t>(length)) {
    die_run_file(fd);
  }
  if (!write_all_at(fd, digits, static_cast<size_t>(length), 0)) die_run_file(fd);
  int cut;
  do {
    cut = ftruncate(fd, length);
  } while (cut == -1 && errno == EINTR);
  if (cut == -1) die_run_file(fd);
  // A failed close can report a write error the file system deferred (NFS, for one).
  if (close(fd) == -1) die_run_file(-1);
}

}  // namespace lagwatch
