#include "notice/dispatch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/diag.h"
#include "lib/fileio.h"
#include "notice/listmail.h"
#include "run/conf.h"
#include "run/control.h"
#include "run/queuefile.h"
#include "run/settings.h"

namespace lagwatch {

uint32_t notices_refused;
pid_t injector_pid;

uint32_t count_undone(recipient_list list) {
  uint32_t undone = 0;
  uint32_t pos = 0;
  const char* record = nullptr;
  uint32_t size = 0;
  while (recipient_next(list, &pos, &record, &size)) {
    if (record[0] == 'T') ++undone;
  }
  return undone;
}

bool sender_is_bounce(const char* sender) {
  return sender[0] == '\0' || strcmp(sender, "#@[]") == 0;
}

bool sender_has_control(const char* sender) {
  for (const char* p = sender; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

namespace {

// Sets the disposition of SIGPIPE; ends the process when the system refuses.
void set_sigpipe(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  if (sigemptyset(&action.sa_mask) != 0 || sigaction(SIGPIPE, &action, nullptr) != 0) {
    fatal(111, WITH_ERRNO, "Could not set the disposition of SIGPIPE");
  }
}

// An injector that quits before reading the whole notice must not kill this process with
// SIGPIPE, silently and in the middle of the walk: with the signal ignored the write fails with
// EPIPE, which closing the stream then reports.
void ignore_broken_pipe() {
  static bool ignored;
  if (ignored) return;
  set_sigpipe(SIG_IGN);
  ignored = true;
}

// waitpid(2) for the injector, retried when a signal interrupts it. Returns its status word.
int wait_for_status(int options) {
  int status = 0;
  while (waitpid(injector_pid, &status, options) == -1) {
    if (errno != EINTR) fatal(111, WITH_ERRNO, "Could not wait for qmail-inject to exit");
  }
  return status;
}

// Kills the injector and collects it. Used when it stopped: left alone, it could be continued
// later and queue a notice that this run reports as failed.
void kill_injector() {
  if (kill(injector_pid, SIGKILL) == 0) wait_for_status(0);
}

// Waits for the injector to end or stop and returns its status word. A stopped injector is
// killed and collected, so that it does not stay behind after this process.
int collect_injector() {
  const int status = wait_for_status(WUNTRACED);
  if (WIFSTOPPED(status)) kill_injector();
  return status;
}

bool is_refusal(int status) { return (status & 0x7f) == 0 && ((status >> 8) & 0xff) == 100; }

notice_outcome report_refusal(const char* filename) {
  ++notices_refused;
  report_error(NO_ERRNO, "qmail-inject refused the notice for '", queue_path(QUEUE_INFO, filename),
               "'");
  return NOTICE_REFUSED;
}

// In the child: makes `input_fd` (the spool, rewound) standard input and runs the injector with
// the argument vector "-f" "" "-a" ["--"] SENDER [EXTRA], an empty environment, no descriptor but
// 0, 1 and 2, and a process group of its own.
[[noreturn]] void exec_injector(int input_fd, pid_t parent, const char* sender) {
  // The spool was made close-on-exec; dup2 gives standard input a descriptor without the flag.
  const int connected = input_fd == 0 ? fcntl(0, F_SETFD, 0) : dup2(input_fd, 0);
  if (connected == -1) fatal(111, WITH_ERRNO, "Could not connect the pipe to qmail-inject");
  // At once: the run file's lock lives as long as any copy of its descriptor, and a run that
  // starts after this one was killed must not find it held by this child. Whatever else this
  // process inherited (a caller's lock, a stray descriptor) stays out of qmail-inject too.
  fd_close_from(3);
  set_sigpipe(SIG_DFL);  // an ignored signal would stay ignored across exec
  // A terminal's Ctrl-C, or a stop signal sent to the group, must reach this program alone: it
  // lets the injector finish its notice and then stops the run.
  static_cast<void>(setpgid(0, 0));
  // qmail-inject queues whatever it has read when its input ends; it must not outlive this
  // process, which alone knows whether the notice was recorded: the kernel kills it then.
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fatal(111, WITH_ERRNO, "Could not start qmail-inject");
  if (getppid() != parent) _exit(111);  // died before the request took hold
  const char* argv[8];
  int n = 0;
  argv[n++] = injector_path;
  argv[n++] = "-f";
  argv[n++] = "";
  argv[n++] = "-a";
  // qmail-inject takes an argument that begins with "-" for an option even after -a; the
  // sender comes from a stranger, so "--" ends the options before such a sender.
  if (sender[0] == '-') argv[n++] = "--";
  argv[n++] = sender;
  if (settings.extra_rcpt != nullptr) argv[n++] = settings.extra_rcpt;
  argv[n] = nullptr;
  // qmail-inject takes flags, the From: line and even the program that queues (QMAILQUEUE) from
  // its environment: it gets none, as qmail's own daemons start under "env -".
  char* const no_environment[] = {nullptr};
  execve(injector_path, const_cast<char* const*>(argv), no_environment);
  fatal(111, WITH_ERRNO, "Exec of qmail-inject failed");
}

// Opens the message text before the injector starts, so that a notice is either whole or never
// begun: qmail may finish the message (and remove its text) at any moment. Returns false when
// the message has left the queue.
bool open_message_text(const char* filename, int* fd) {
  struct stat status;
  switch (queue_file_open(QUEUE_MESS, filename, fd, &status)) {
    case OPEN_OK:
      return true;
    case OPEN_MISSING:
      debug_departed(filename);
      return false;
    case OPEN_NOT_REGULAR:
      fatal(111, NO_ERRNO, "Could not open message file: not a regular file");
    case OPEN_FAILED:
      break;
  }
  fatal(111, WITH_ERRNO, "Could not open message file");
}

// Returns the header field that withholds the notice for the message text open at `fd`, or
// null. The text is rewound after, so the copy in the notice still starts at byte 0.
const char* withholding_field(int fd, const char* filename) {
  static char header[LISTMAIL_HEADER_LIMIT];
  const ssize_t length = fd_read_full(fd, header, sizeof header);
  if (length == -1 || lseek(fd, 0, SEEK_SET) == -1) {
    die_unreadable(queue_path(QUEUE_MESS, filename));
  }
  return listmail_field(header, static_cast<uint32_t>(length));
}

[[noreturn]] void die_writing(int write_errno) {
  errno = write_errno;
  fatal(111, WITH_ERRNO, "Writing to qmail-inject failed");
}

// The spool: an anonymous file in memory, nothing named on disk, that receives each notice whole
// before its injector starts. qmail-inject queues whatever it has read when its input ends, so
// a notice written straight into it by a run that is killed half-way would be queued cut short.
// Made at the first notice and reused for every later one; it holds one notice at a time.
int spool_fd = -1;
FILE* spool = nullptr;

// Returns the spool, emptied and ready for the next notice.
FILE* spool_begin() {
  if (spool == nullptr) {
    spool_fd = memfd_create("lagwatch-notice", MFD_CLOEXEC);
    if (spool_fd == -1) die_writing(errno);
    spool = fdopen(spool_fd, "w");
    if (spool == nullptr) die_writing(errno);
  }
  clearerr(spool);
  if (fseek(spool, 0, SEEK_SET) != 0) die_writing(errno);
  return spool;
}

// The error of a write into `stream` that failed, now or before (a failed write leaves only the
// stream's error flag when nothing was buffered after it); 0 when every write went through.
int stream_error(FILE* stream) {
  errno = 0;
  if (fflush(stream) == 0 && ferror(stream) == 0) return 0;
  return errno != 0 ? errno : EIO;
}

// Makes sure the notice just written is in the spool whole, cuts off anything left from an
// earlier, longer one, and rewinds it for the injector, which shares its offset.
void spool_end() {
  const int write_errno = stream_error(spool);
  if (write_errno != 0) die_writing(write_errno);
  const long length = ftell(spool);
  if (length == -1 || !fd_truncate(spool_fd, length)) die_writing(errno);
  if (lseek(spool_fd, 0, SEEK_SET) == -1) die_writing(errno);
}

// Gives the memory of a notice handed over back, so the walk after it stays small. A spool that
// cannot be emptied is cut to the next notice's length by spool_end.
void spool_release() { static_cast<void>(fd_truncate(spool_fd, 0)); }

// Print-only: a stream onto a duplicate of standard output.
FILE* open_print_stream() {
  injector_pid = 0;
  const int fd = dup(1);
  if (fd == -1) fatal(111, WITH_ERRNO, "Could not duplicate standard output");
  FILE* stream = fdopen(fd, "w");
  if (stream != nullptr) return stream;
  const int saved = errno;
  fd_close_read_only(fd);
  errno = saved;
  fatal(111, WITH_ERRNO, "Could not open a stream to qmail-inject");
}

// Closes the print-only stream; a write that failed on the way is reported now.
void finish_print_stream(FILE* stream) {
  int write_errno = stream_error(stream);
  if (fclose(stream) != 0 && write_errno == 0) write_errno = errno;
  if (write_errno != 0) die_writing(write_errno);
}

// Writes the "forking" debug line for a notice to `sender`, in print-only mode too.
void debug_forking(const char* sender) {
  if (!settings.opt_debug) return;
  debug_line("forking %s -f '' -a '%s' '%s'", injector_path, sender,
             settings.extra_rcpt != nullptr ? settings.extra_rcpt : "(null)");
}

}  // namespace

void start_injector(const char* sender, int input_fd) {
  debug_forking(sender);
  // The child inherits the C library's stream buffers, and a child whose exec fails leaves
  // through exit(), which flushes them: empty them first so nothing is written twice. A stream
  // that cannot be flushed keeps its error; its owner reports it.
  static_cast<void>(fflush(nullptr));
  const pid_t parent = getpid();
  injector_pid = fork();
  if (injector_pid == -1) fatal(111, WITH_ERRNO, "Could not fork");
  if (injector_pid == 0) exec_injector(input_fd, parent, sender);
  // Also here, so that the group exists whichever of the two runs first; the child may already
  // have run the injector (EACCES) or ended (ESRCH), and then made the group itself or needs none.
  static_cast<void>(setpgid(injector_pid, injector_pid));
}

bool wait_injector() {
  if (injector_pid == 0) return true;
  const int status = collect_injector();
  if ((status & 0x7f) != 0) fatal(111, NO_ERRNO, "qmail-inject crashed");
  if (status >= 256) {
    if (is_refusal(status)) return false;
    fatal(111, NO_ERRNO, "qmail-inject exited with an error");
  }
  return true;
}

notice_outcome send_notice(const char* sender, const char* filename, recipient_list remote,
                           recipient_list local, int mess_fd) {
  ignore_broken_pipe();
  if (settings.opt_no_send) {
    debug_forking(sender);
    FILE* stream = open_print_stream();
    write_notice(stream, sender, remote, local, mess_fd);
    finish_print_stream(stream);
    return NOTICE_SENT;
  }
  write_notice(spool_begin(), sender, remote, local, mess_fd);
  spool_end();
  start_injector(sender, spool_fd);
  const bool accepted = wait_injector();
  spool_release();
  return accepted ? NOTICE_SENT : report_refusal(filename);
}

notice_result dispatch_notice(const char* sender, const char* filename) {
  notice_result result = {NOTICE_NONE, 0, nullptr};
  // qmail's bounces (empty sender) and double bounces ("#@[]") must not be answered: a notice
  // to "<>" is thrown away, and one to "#@[]" sits in the queue until it expires.
  if (sender_is_bounce(sender)) {
    if (settings.opt_debug) debug_line("ignoring, bounce message");
    return result;
  }
  // The sender is written into the notice's header: a line feed in it would let a stranger
  // write the rest of a mail sent from this host's MAILER-DAEMON.
  if (sender_has_control(sender)) {
    if (settings.opt_debug) debug_line("ignoring, sender has control characters");
    return result;
  }
  uint32_t remote_length = 0;
  uint32_t local_length = 0;
  char* remote_text = queue_read_list(QUEUE_REMOTE, filename, &remote_length);
  char* local_text = queue_read_list(QUEUE_LOCAL, filename, &local_length);
  const recipient_list remote{remote_text, remote_length};
  const recipient_list local{local_text, local_length};
  result.undone = count_undone(remote) + count_undone(local);
  if (settings.opt_debug) {
    debug_line("filename=%s sender='%s' undone=%d", filename, sender,
               static_cast<int>(result.undone));
  }
  int mess_fd = -1;
  if (result.undone != 0 && open_message_text(filename, &mess_fd)) {
    result.field = withholding_field(mess_fd, filename);
    if (result.field != nullptr) {
      if (settings.opt_debug) debug_line("ignoring, list or automatic mail");
      result.outcome = NOTICE_WITHHELD;
    } else {
      result.outcome = send_notice(sender, filename, remote, local, mess_fd);
    }
    fd_close_read_only(mess_fd);
  }
  free(remote_text);
  free(local_text);
  return result;
}

}  // namespace lagwatch
