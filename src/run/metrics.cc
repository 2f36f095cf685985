#include "run/metrics.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "lib/fileio.h"
#include "lib/logsock.h"
#include "run/conf.h"
#include "run/runlog.h"
#include "run/settings.h"

#ifndef LAGWATCH_VERSION
#define LAGWATCH_VERSION "unknown"
#endif

namespace lagwatch {

queue_figures walk_figures;

namespace {

timespec run_start;

// Seconds from the run's start until now, on the clock that no one sets.
double run_duration() {
  timespec end{};
  if (clock_gettime(CLOCK_MONOTONIC, &end) != 0) return 0;
  return static_cast<double>(end.tv_sec - run_start.tv_sec) +
         static_cast<double>(end.tv_nsec - run_start.tv_nsec) / 1e9;
}

// Logs "metrics not written: PATH: ERR", PATH being `path` + `suffix`.
void log_failure(int error, const char* path, const char* suffix = "") {
  char line[1024];
  snprintf(line, sizeof line, "metrics not written: %s%s: %s", path, suffix, strerror(error));
  logsock_send(LOGSOCK_WARNING, line);
}

// Whether the entry `entry` of the directory `dir_fd` is a directory, by the type readdir gave
// or, where the file system gives none, by its status. A link is not one.
bool is_directory(int dir_fd, const dirent* entry) {
  if (entry->d_type != DT_UNKNOWN) return entry->d_type == DT_DIR;
  struct stat status;
  return fstatat(dir_fd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(status.st_mode);
}

// Adds to `*count` the names in the directory `name` (relative to `parent_fd`) that do not begin
// with "."; a directory among them (a split of todo/ where the queue has them) counts for the
// names in it. A missing directory holds none. No link is followed and no file opened. Returns
// false with errno set.
bool count_names(int parent_fd, const char* name, bool splits, uint64_t* count) {
  const int fd = fd_open_beneath(parent_fd, name, O_RDONLY | O_DIRECTORY);
  if (fd == -1) return errno == ENOENT;  // gone, or never made: nothing waits there
  DIR* dir = fdopendir(fd);
  if (dir == nullptr) {
    const int error = errno;
    fd_close_read_only(fd);
    errno = error;
    return false;
  }
  bool ok = true;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (entry == nullptr) {
      ok = errno == 0;
      break;
    }
    if (entry->d_name[0] == '.') continue;
    if (splits && is_directory(fd, entry)) {
      ok = count_names(fd, entry->d_name, false, count);
      if (!ok) break;
    } else {
      ++*count;
    }
  }
  const int error = errno;
  (void)closedir(dir);
  errno = error;
  return ok;
}

// The file's text, built in one buffer: it is a few hundred bytes.
struct metrics_text {
  char data[4096];
  size_t length;
};

void append(metrics_text* text, const char* format, ...) __attribute__((format(printf, 2, 3)));
void append(metrics_text* text, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const size_t room = sizeof text->data - text->length;
  const int n = vsnprintf(text->data + text->length, room, format, args);
  va_end(args);
  if (n > 0) text->length += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room - 1;
}

void gauge_header(metrics_text* text, const char* name, const char* help) {
  append(text, "# HELP %s %s\n# TYPE %s gauge\n", name, help, name);
}

void gauge(metrics_text* text, const char* name, const char* help, long long value) {
  gauge_header(text, name, help);
  append(text, "%s %lld\n", name, value);
}

// The text for this run, with `todo` messages waiting in todo/.
void format_metrics(metrics_text* text, uint64_t todo) {
  const queue_figures& queue = walk_figures;
  const auto count = [](uint64_t n) { return static_cast<long long>(n); };
  gauge(text, "lagwatch_queue_messages", "Messages in qmail's queue (those with an info file).",
        count(queue.messages));
  gauge(text, "lagwatch_queue_todo_messages",
        "Messages in queue/todo that qmail-send has not taken in yet.", count(todo));
  gauge(text, "lagwatch_queue_oldest_message_age_seconds",
        "Age of the oldest message, from its info file's modification time; 0 for an empty queue.",
        queue.messages == 0 ? 0 : settings.now - queue.oldest_mtime);
  gauge(text, "lagwatch_queue_late_messages", "Messages at least the threshold old.",
        count(queue.late));
  gauge(text, "lagwatch_threshold_seconds",
        "Age from which a message is late and its sender notified (-t).", settings.opt_age);
  gauge(text, "lagwatch_queue_lifetime_seconds",
        "How long qmail tries to deliver a message (control/queuelifetime).",
        settings.queuelifetime);
  const notice_counts notices = runlog_counts();
  gauge_header(text, "lagwatch_last_run_notices",
               "Notices of the last completed run, by what became of them.");
  append(text,
         "lagwatch_last_run_notices{result=\"sent\"} %u\n"
         "lagwatch_last_run_notices{result=\"already_sent\"} %u\n"
         "lagwatch_last_run_notices{result=\"withheld\"} %u\n"
         "lagwatch_last_run_notices{result=\"refused\"} %u\n",
         notices.sent, notices.already_sent, notices.withheld, notices.refused);
  gauge(text, "lagwatch_last_run_timestamp_seconds",
        "Start of the last completed run, the time it wrote into its run file.", settings.now);
  gauge_header(text, "lagwatch_last_run_duration_seconds", "How long the last completed run took.");
  append(text, "lagwatch_last_run_duration_seconds %.3f\n", run_duration());
  gauge_header(text, "lagwatch_build_info", "The version of lagwatch that wrote this file.");
  append(text, "lagwatch_build_info{version=\"%s\"} 1\n", LAGWATCH_VERSION);
}

// Writes `text` into the new file `temp` in `dir_fd`, readable by all (the collector runs as a
// user of its own) whatever the umask, and closes it. Returns false with errno set.
bool write_temp(int dir_fd, const char* temp, const char* text, size_t length) {
  const int fd = fd_open_at(dir_fd, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
  if (fd == -1) return false;
  bool ok = fd_write_all(fd, text, length) && fchmod(fd, 0644) == 0;
  int error = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    (void)unlinkat(dir_fd, temp, 0);
    errno = error;
  }
  return ok;
}

}  // namespace

void metrics_start() {
  if (clock_gettime(CLOCK_MONOTONIC, &run_start) != 0) run_start = timespec{};
}

void metrics_publish() {
  // PARENT/DIRECTORY/NAME: the parent is entered by the path the admin chose, the directory
  // beneath it without following a link, since it may belong to another user (on Debian, its
  // parent belongs to the collector's). A missing directory means no collector: nothing to do.
  char parent[4096];
  if (snprintf(parent, sizeof parent, "%s", metrics_file_path) >= static_cast<int>(sizeof parent)) {
    return;
  }
  char* name = strrchr(parent, '/');
  if (name == nullptr || name == parent) return;
  *name++ = '\0';
  char* directory = strrchr(parent, '/');
  if (directory == nullptr) return;
  *directory++ = '\0';
  const int parent_fd =
      fd_open_at(AT_FDCWD, parent[0] != '\0' ? parent : "/", O_PATH | O_DIRECTORY);
  const int dir_fd =
      parent_fd == -1 ? -1 : fd_open_beneath(parent_fd, directory, O_PATH | O_DIRECTORY);
  const int error = errno;
  if (parent_fd != -1) fd_close_read_only(parent_fd);
  if (dir_fd == -1) {
    if (error != ENOENT) log_failure(error, metrics_file_path);
    return;
  }

  // Names only: qmail-send has not looked at these messages yet, and nothing in todo/ is opened.
  // The walk left the working directory at the queue.
  uint64_t todo = 0;
  if (!count_names(AT_FDCWD, "todo", true, &todo)) {
    log_failure(errno, queue_dir, "/todo");
    fd_close_read_only(dir_fd);
    return;
  }
  metrics_text text{};
  format_metrics(&text, todo);

  // The text goes into a file the collector does not read (it reads "*.prom" only), which is
  // then renamed over the old file whole.
  char temp[320];
  snprintf(temp, sizeof temp, "%s.%ld.tmp", name, static_cast<long>(getpid()));
  if (!write_temp(dir_fd, temp, text.data, text.length)) {
    log_failure(errno, metrics_file_path);
  } else if (renameat(dir_fd, temp, dir_fd, name) != 0) {
    const int rename_error = errno;
    (void)unlinkat(dir_fd, temp, 0);
    log_failure(rename_error, metrics_file_path);
  }
  fd_close_read_only(dir_fd);
}

void metrics_reset() {
  walk_figures = queue_figures{};
  run_start = timespec{};
}

}  // namespace lagwatch
