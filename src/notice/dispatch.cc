#include "notice/dispatch.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/diag.h"
#include "run/conf.h"
#include "run/control.h"
#include "run/settings.h"

namespace lagwatch {

uint32_t notices_refused;
pid_t injector_pid;

uint32_t count_undone(recipient_list list) {
  uint32_t undone = 0;
  if (list.data == nullptr) return 0;
  uint32_t pos = 0;
  while (pos < list.length && list.data[pos] != '\0') {
    if (list.data[pos] == 'T') ++undone;
    const void* nul = memchr(list.data + pos, '\0', list.length - pos);
    if (nul == nullptr) break;  // the last record, without its NUL
    pos = static_cast<uint32_t>(static_cast<const char*>(nul) - list.data) + 1;
  }
  return undone;
}

bool sender_is_bounce(const char* sender) {
  return sender[0] == '\0' || strcmp(sender, "#@[]") == 0;
}

namespace {

// Sets the disposition of SIGPIPE; ends the process when the system refuses.
void set_sigpipe(void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  if (sigemptyset(&action.sa_mask) != 0 || sigaction(SIGPIPE, &action, nullptr) != 0) {
    fatal(111, "Could not set the disposition of SIGPIPE", nullptr, nullptr, nullptr, nullptr,
          nullptr, 1);
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
    if (errno != EINTR) {
      fatal(111, "Could not wait for qmail-inject to exit", nullptr, nullptr, nullptr, nullptr,
            nullptr, 1);
    }
  }
  return status;
}

// Kills the injector and collects it. Used when it stopped, or when its notice cannot be
// written at all: left alone, a stopped injector could be continued later and queue a notice
// that this run reports as failed, and a running one would queue whatever it had read.
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

void report_refusal(const char* filename) {
  ++notices_refused;
  report_error("qmail-inject refused the notice for '", "info/", filename, "'", nullptr, nullptr,
               0);
}

// In the child: makes the read end of the pipe standard input and runs the injector.
[[noreturn]] void exec_injector(int read_fd, int write_fd, const char* sender) {
  set_sigpipe(SIG_DFL);  // an ignored signal would stay ignored across exec
  if (close(write_fd) != 0) {
    fatal(111, "Could not close the pipe in qmail-inject", nullptr, nullptr, nullptr, nullptr,
          nullptr, 1);
  }
  if (read_fd != 0) {
    if (dup2(read_fd, 0) == -1 || close(read_fd) != 0) {
      fatal(111, "Could not connect the pipe to qmail-inject", nullptr, nullptr, nullptr, nullptr,
            nullptr, 1);
    }
  }
  const char* path = injector_path;
  const char* extra = settings.extra_rcpt;
  // qmail-inject takes an argument that begins with "-" for an option even after -a; the
  // sender comes from a stranger, so "--" ends the options before such a sender.
  if (sender[0] == '-') {
    if (extra != nullptr) {
      execl(path, path, "-f", "", "-a", "--", sender, extra, static_cast<char*>(nullptr));
    } else {
      execl(path, path, "-f", "", "-a", "--", sender, static_cast<char*>(nullptr));
    }
  } else {
    if (extra != nullptr) {
      execl(path, path, "-f", "", "-a", sender, extra, static_cast<char*>(nullptr));
    } else {
      execl(path, path, "-f", "", "-a", sender, static_cast<char*>(nullptr));
    }
  }
  // Take the whole notice before saying so: the parent then always learns of the failure from
  // the exit status, after this diagnostic, and never by a broken pipe whose timing depends on
  // how fast this child ends.
  const int exec_errno = errno;
  char sink[4096];
  for (;;) {
    const ssize_t got = read(0, sink, sizeof sink);
    if (got == 0 || (got == -1 && errno != EINTR)) break;
  }
  errno = exec_errno;
  fatal(111, "Exec of qmail-inject failed", nullptr, nullptr, nullptr, nullptr, nullptr, 1);
}

}  // namespace

int start_injector(const char* sender) {
  if (settings.opt_debug) {
    debug_line("forking %s -f '' -a '%s' '%s'", injector_path, sender,
               settings.extra_rcpt != nullptr ? settings.extra_rcpt : "(null)");
  }
  if (settings.opt_no_send) {
    injector_pid = 0;
    const int fd = dup(1);
    if (fd == -1) {
      fatal(111, "Could not duplicate standard output", nullptr, nullptr, nullptr, nullptr, nullptr,
            1);
    }
    return fd;
  }
  int fds[2];
  if (pipe(fds) != 0) {
    fatal(111, "Could not create a pipe to qmail-inject", nullptr, nullptr, nullptr, nullptr,
          nullptr, 1);
  }
  // The child inherits the C library's stream buffers, and a child whose exec fails leaves
  // through exit(), which flushes them: empty them first so nothing is written twice. A stream
  // that cannot be flushed keeps its error; its owner reports it.
  static_cast<void>(fflush(nullptr));
  injector_pid = fork();
  if (injector_pid == -1) {
    fatal(111, "Could not fork", nullptr, nullptr, nullptr, nullptr, nullptr, 1);
  }
  if (injector_pid == 0) exec_injector(fds[0], fds[1], sender);
  if (close(fds[0]) != 0) {
    fatal(111, "Could not close the pipe to qmail-inject", nullptr, nullptr, nullptr, nullptr,
          nullptr, 1);
  }
  return fds[1];
}

int wait_injector() {
  if (injector_pid == 0) return 1;
  const int status = collect_injector();
  if ((status & 0x7f) != 0) {
    fatal(111, "qmail-inject crashed", nullptr, nullptr, nullptr, nullptr, nullptr, 0);
  }
  if (status >= 256) {
    if (is_refusal(status)) return 0;
    fatal(111, "qmail-inject exited with an error", nullptr, nullptr, nullptr, nullptr, nullptr, 0);
  }
  return 1;
}

void send_notice(const char* sender, const char* filename, recipient_list remote,
                 recipient_list local) {
  ignore_broken_pipe();

  // The message text is opened before the injector starts, so that a notice is either whole
  // or never begun: qmail may finish the message (and remove its text) at any moment.
  int mess_fd = -1;
  if (settings.opt_copy_bytes != 0) {
    mess_fd = open_control_file("mess", filename);
    if (mess_fd == -1) {
      if (errno == ENOENT) {
        if (settings.opt_debug) debug_line("ignoring %s, message left the queue", filename);
        return;
      }
      fatal(111, "Could not open message file", nullptr, nullptr, nullptr, nullptr, nullptr, 1);
    }
    // The injector has no use for the message text; keep the descriptor out of it. Should
    // that fail, the descriptor merely stays open in the injector, which harms nothing.
    static_cast<void>(fcntl(mess_fd, F_SETFD, FD_CLOEXEC));
  }

  const int fd = start_injector(sender);
  FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    const int saved = errno;
    // Closing the pipe would let the injector queue an empty notice: kill it first.
    if (injector_pid != 0) kill_injector();
    // The process is about to end: nothing a failed close could report matters. (cppcheck
    // 2.10 reports a second close of it on a path that does not exist.)
    // cppcheck-suppress doubleFree
    static_cast<void>(close(fd));
    errno = saved;
    fatal(111, "Could not open a stream to qmail-inject", nullptr, nullptr, nullptr, nullptr,
          nullptr, 1);
  }

  write_notice(stream, sender, remote, local, mess_fd);

  // A write that failed earlier leaves only the stream's error flag when nothing more was
  // buffered after it, and fclose then succeeds: look at the flag too.
  int write_errno = 0;
  if (fflush(stream) != 0 || ferror(stream) != 0) write_errno = errno != 0 ? errno : EIO;
  // Only read through: its close has nothing to report.
  // cppcheck-suppress doubleFree
  if (mess_fd != -1) static_cast<void>(close(mess_fd));
  if (fclose(stream) != 0 && write_errno == 0) write_errno = errno;
  if (write_errno != 0) {
    if (injector_pid != 0) {
      if (write_errno == EPIPE) {
        // The injector may have quit early because it refused the notice: ask it first.
        if (is_refusal(collect_injector())) {
          report_refusal(filename);
          return;
        }
      } else {
        // It would queue the part of the notice it got once this process ends.
        kill_injector();
      }
    }
    errno = write_errno;
    fatal(111, "Writing to qmail-inject failed", nullptr, nullptr, nullptr, nullptr, nullptr, 1);
  }
  if (wait_injector() == 0) report_refusal(filename);
}

void dispatch_notice(const char* sender, const char* filename) {
  // qmail's bounces (empty sender) and double bounces ("#@[]") must not be answered: a notice
  // to "<>" is thrown away, and one to "#@[]" sits in the queue until it expires.
  if (sender_is_bounce(sender)) {
    if (settings.opt_debug) debug_line("ignoring, bounce message");
    return;
  }
  uint32_t remote_length = 0;
  uint32_t local_length = 0;
  char* remote_text = read_control_file("remote", filename, &remote_length);
  char* local_text = read_control_file("local", filename, &local_length);
  const recipient_list remote{remote_text, remote_length};
  const recipient_list local{local_text, local_length};
  const uint32_t undone = count_undone(remote) + count_undone(local);
  if (settings.opt_debug) {
    debug_line("filename=%s sender='%s' undone=%d", filename, sender, static_cast<int>(undone));
  }
  if (undone != 0) send_notice(sender, filename, remote, local);
  free(remote_text);
  free(local_text);
}

}  // namespace lagwatch
