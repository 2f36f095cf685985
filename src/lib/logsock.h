#ifndef LAGWATCH_LIB_LOGSOCK_H_
#define LAGWATCH_LIB_LOGSOCK_H_

namespace lagwatch {

// A client of the system log's socket (the datagram socket that syslogd or journald reads,
// /dev/log), writing one line per message in the traditional form
// "<PRI>Mmm dd hh:mm:ss IDENT[PID]: TEXT". It never fails its caller: a log that cannot be
// reached loses its lines without a word, since standard error already carries every failure.
// Nor does it hold its caller up: a line the log cannot take at once is dropped (a stream log
// is waited for one second at most, in all, from its connection on).

// Priorities (the low three bits of PRI) and the mail facility.
constexpr int LOGSOCK_ERR = 3;
constexpr int LOGSOCK_WARNING = 4;
constexpr int LOGSOCK_INFO = 6;
constexpr int LOGSOCK_MAIL = 2 << 3;

// Sets where lines go, under which name and facility. Connects at the first line.
void logsock_open(const char* path, const char* ident, int facility);

// Sends `text` at `priority` (a LOGSOCK_ level) as one line; its control characters are
// replaced by "?" so that no text can forge a second line. Does nothing before logsock_open.
void logsock_send(int priority, const char* text);

// Closes the socket and forgets the settings (for tests).
void logsock_close();

}  // namespace lagwatch

#endif  // LAGWATCH_LIB_LOGSOCK_H_
