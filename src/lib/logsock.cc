#include "lib/logsock.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <initializer_list>

namespace lagwatch {

namespace {

const char* log_path;
const char* log_ident;
int log_facility;
int log_fd = -1;  // -1: not connected yet
bool log_stream;
bool log_unreachable;  // the connection failed once: the rest of the run's lines are lost too

// A log whose reader falls behind must not hold up the run (which holds the run file's lock all
// along): a datagram log never makes it wait, and a stream log at most this long over the
// whole run. A line the log cannot take in that time is dropped.
constexpr int64_t kStreamPatienceNs = 1000000000;
int64_t stream_patience_ns;  // what is left of it

// Connects a datagram socket to the log's path; the program's lines are short, and a stream
// socket (an old syslog-ng setup) is tried when the path refuses datagrams. The sockets never
// block: a stream log whose backlog is full refuses the connection at once (EAGAIN).
bool log_connect() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (strlen(log_path) >= sizeof address.sun_path) return false;
  memcpy(address.sun_path, log_path, strlen(log_path) + 1);
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    log_fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (log_fd == -1) return false;
    if (connect(log_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      log_stream = type == SOCK_STREAM;
      stream_patience_ns = kStreamPatienceNs;
      return true;
    }
    close(log_fd);
    log_fd = -1;
  }
  return false;
}

bool monotonic_ns(int64_t* ns) {
  timespec now{};
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
  *ns = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  return true;
}

// Waits until the stream log can take more, out of what is left of the patience. Returns false
// once nothing is left, or when poll cannot wait.
bool wait_for_stream() {
  int64_t start = 0;
  if (stream_patience_ns <= 0 || !monotonic_ns(&start)) return false;
  pollfd writable = {log_fd, POLLOUT, 0};
  const auto timeout_ms = static_cast<int>((stream_patience_ns + 999999) / 1000000);
  // Ready or not, the next send tells; only a poll that cannot work ends the waiting.
  const bool failed = poll(&writable, 1, timeout_ms) == -1 && errno != EINTR;
  int64_t end = 0;
  stream_patience_ns = monotonic_ns(&end) ? stream_patience_ns - (end - start) : 0;
  return !failed;
}

// Hands the stream log `length` bytes. Returns false when the stream has to be given up: it
// failed, or took only part of the line, whose rest would run into the next line.
bool send_to_stream(const char* bytes, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t sent = send(log_fd, bytes + done, length - done, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
    } else if (sent == -1 && errno == EINTR) {
      continue;
    } else if (sent == -1 && errno == EAGAIN) {
      if (!wait_for_stream()) return done == 0;  // a line not begun is dropped whole
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace

void logsock_open(const char* path, const char* ident, int facility) {
  logsock_close();
  log_path = path;
  log_ident = ident;
  log_facility = facility;
}

void logsock_send(int priority, const char* text) {
  if (log_path == nullptr) return;
  if (log_unreachable) return;
  if (log_fd == -1 && !log_connect()) {
    log_unreachable = true;
    return;
  }
  char stamp[32] = "";
  const time_t now = time(nullptr);
  struct tm local {};
  if (localtime_r(&now, &local) != nullptr) strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &local);
  char line[2048];
  const int prefix = snprintf(line, sizeof line, "<%d>%s %s[%ld]: ", log_facility | priority, stamp,
                              log_ident, static_cast<long>(getpid()));
  if (prefix < 0 || static_cast<size_t>(prefix) >= sizeof line) return;
  size_t length = static_cast<size_t>(prefix);
  for (const char* p = text; *p != '\0' && length < sizeof line - 1; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    line[length++] = c < 0x20 || c == 0x7f ? '?' : *p;
  }
  // A stream socket's reader needs the NUL to tell one line from the next.
  line[length] = '\0';
  if (log_stream) {
    if (!send_to_stream(line, length + 1)) {
      close(log_fd);
      log_fd = -1;
      log_unreachable = true;
    }
    return;
  }
  // A lost line is not worth a failed run, nor a line the log cannot take at once a wait: the
  // result is not looked at.
  ssize_t sent;
  do {
    sent = send(log_fd, line, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent == -1 && errno == EINTR);
}

void logsock_close() {
  if (log_fd != -1) close(log_fd);
  log_fd = -1;
  log_path = nullptr;
  log_unreachable = false;
}

}  // namespace lagwatch
