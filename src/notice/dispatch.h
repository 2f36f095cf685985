#ifndef LAGWATCH_NOTICE_DISPATCH_H_
#define LAGWATCH_NOTICE_DISPATCH_H_

#include <sys/types.h>

#include <cstdint>

#include "notice/notice.h"

namespace lagwatch {

// Sends one notice for the message `filename` to `sender` when it has undelivered recipients.
// Requires the working directory to be the queue directory. Returns normally, or ends the
// process through fatal.
void dispatch_notice(const char* sender, const char* filename);

// Number of notices the injector refused for good (exit status 100) in this run.
extern uint32_t notices_refused;

// Process id of the injector started for the current notice; 0 when none was (print-only).
extern pid_t injector_pid;

// Returns the number of "T" records of `list`.
uint32_t count_undone(recipient_list list);

// True for the senders that never get a notice: the empty sender of qmail's bounces and the
// "#@[]" of its double bounces.
bool sender_is_bounce(const char* sender);

// Starts the injector for a notice to `sender` (or, in print-only mode, duplicates standard
// output) and writes the notice, closes the stream and waits. Skips the message when its text
// has left the queue. Counts a notice the injector refuses for good in notices_refused.
// Ends the process through fatal on every other failure.
void send_notice(const char* sender, const char* filename, recipient_list remote,
                 recipient_list local);

// Returns the descriptor a notice to `sender` is written to: the write end of a pipe into a
// newly started injector (its pid in injector_pid), or in print-only mode a duplicate of
// standard output (injector_pid 0). Ends the process through fatal when that fails.
int start_injector(const char* sender);

// Waits for the injector of the current notice, if any. Returns 1 when it accepted the
// notice (exit status 0, or no injector), 0 when it refused it for good (exit status 100).
// Ends the process through fatal on any other outcome.
int wait_injector();

}  // namespace lagwatch

#endif  // LAGWATCH_NOTICE_DISPATCH_H_
