#ifndef LAGWATCH_NOTICE_DISPATCH_H_
#define LAGWATCH_NOTICE_DISPATCH_H_

#include <sys/types.h>

#include <cstdint>

#include "notice/notice.h"

namespace lagwatch {

// What became of a due message.
enum notice_outcome : int {
  NOTICE_NONE,      // no notice: a bounce, a sender with control characters, nothing undone,
                    // or the message left the queue
  NOTICE_SENT,      // handed over: the injector accepted it (or, print-only, it was printed)
  NOTICE_REFUSED,   // the injector refused it for good (exit status 100)
  NOTICE_WITHHELD,  // none sent: the message's header marks list, bulk or automatic mail
};

struct notice_result {
  notice_outcome outcome;
  uint32_t undone;    // the message's recipients not yet delivered, when its lists were read
  const char* field;  // NOTICE_WITHHELD: the name of the header field that withheld it
};

// Sends one notice for the message `filename` to `sender` when it has undelivered recipients
// and its header (listmail_field) does not withhold it. Requires the working directory to be
// the queue directory. Returns what became of it, or ends the process through fatal; a message
// text that cannot be read ends it with "Could not read 'mess/S/N'".
notice_result dispatch_notice(const char* sender, const char* filename);

// Number of notices the injector refused for good (exit status 100) in this run.
extern uint32_t notices_refused;

// Process id of the injector started for the current notice; 0 when none was (print-only).
extern pid_t injector_pid;

// Returns the number of "T" records of `list`.
uint32_t count_undone(recipient_list list);

// True for the senders that never get a notice: the empty sender of qmail's bounces and the
// "#@[]" of its double bounces.
bool sender_is_bounce(const char* sender);

// True when `sender` holds a byte below 0x20 or the byte 0x7f, which no valid address holds.
bool sender_has_control(const char* sender);

// Writes the notice to `sender`, with its copy of the message text open at `mess_fd` (read from
// its current offset; not closed here), whole into the spool (an anonymous file in memory), then
// starts the injector with it as standard input and waits; in print-only mode it writes the
// notice to standard output instead. Returns NOTICE_REFUSED when the injector refused the notice
// for good (counted in notices_refused and reported), NOTICE_SENT otherwise. Ends the process
// through fatal on every other failure; a notice that cannot be written whole ends it before
// any injector starts.
notice_outcome send_notice(const char* sender, const char* filename, recipient_list remote,
                           recipient_list local, int mess_fd);

// Starts the injector for a notice to `sender`, in a process group of its own, with `input_fd`
// (rewound, holding the whole notice) as its standard input; its pid goes to injector_pid. Ends
// the process through fatal when that fails.
void start_injector(const char* sender, int input_fd);

// Waits for the injector of the current notice, if any. Returns true when it accepted the
// notice (exit status 0, or no injector), false when it refused it for good (exit status 100).
// Ends the process through fatal on any other outcome.
bool wait_injector();

}  // namespace lagwatch

#endif  // LAGWATCH_NOTICE_DISPATCH_H_
