#include "lib/logsock.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
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

// Connects a datagram socket to the log's path; the program's lines are short, and a stream
// socket (an old syslog-ng setup) is tried when the path refuses datagrams.
bool log_connect() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (strlen(log_path) >= sizeof address.sun_path) return false;
  memcpy(address.sun_path, log_path, strlen(log_path) + 1);
  for (int type : {SOCK_DGRAM, SOCK_STREAM}) {
    log_fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
    if (log_fd == -1) return false;
    if (connect(log_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      log_stream = type == SOCK_STREAM;
      return true;
    }
    close(log_fd);
    log_fd = -1;
  }
  return false;
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
  if (log_stream) ++length;
  // A lost line is not worth a failed run: the result is not looked at.
  static_cast<void>(send(log_fd, line, length, MSG_NOSIGNAL));
}

void logsock_close() {
  if (log_fd != -1) close(log_fd);
  log_fd = -1;
  log_path = nullptr;
  log_unreachable = false;
}

}  // namespace lagwatch
