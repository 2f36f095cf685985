#ifndef LAGWATCH_NOTICE_DISPATCH_H_
#define LAGWATCH_NOTICE_DISPATCH_H_

#include <cstdint>

namespace lagwatch {

// Sends one notice for the message `filename` to `sender` when it has undelivered recipients.
// Requires the working directory to be the queue directory. Returns normally, or ends the
// process through fatal.
void dispatch_notice(const char* sender, const char* filename);

// Number of notices the injector refused for good (exit status 100) in this run.
extern uint32_t notices_refused;

}  // namespace lagwatch

#endif  // LAGWATCH_NOTICE_DISPATCH_H_
