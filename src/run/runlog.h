#ifndef LAGWATCH_RUN_RUNLOG_H_
#define LAGWATCH_RUN_RUNLOG_H_

#include <cstdint>

#include "notice/dispatch.h"

namespace lagwatch {

// The run's account in the system log (facility mail, identity "lagwatch"), so that an admin
// can tell whether and when a sender got a notice: one line for each notice handed over,
// refused or withheld and for each message skipped as already sent, a summary for each
// completed run, and every fatal diagnostic at error level. Only real runs log; standard output
// and standard error are not touched. The texts are listed in the man page's LOGGING section.

// Starts the log of a real run: lines go to the log socket from now on, fatal diagnostics too.
void runlog_start();

// True once runlog_start was called.
bool runlog_enabled();

// Logs what became of the notice for `filename` (NOTICE_SENT or NOTICE_REFUSED); `age` is the
// message's age at the run's start, in seconds.
void runlog_notice(notice_outcome outcome, const char* filename, const char* sender,
                   uint32_t undone, int64_t age);

// Logs a due message whose notice its header field `field` (a name listmail_field returns)
// withheld.
void runlog_withheld(const char* filename, const char* sender, const char* field);

// Logs a due message skipped because the journal lists its notice.
void runlog_already_sent(const char* filename, const char* sender, int64_t age);

// Logs the summary of a completed run: its window and what it counted.
void runlog_summary();

// What became of the notices of this run so far, as the summary counts them.
struct notice_counts {
  uint32_t sent;
  uint32_t refused;
  uint32_t already_sent;
  uint32_t withheld;
};
notice_counts runlog_counts();

// Stops logging and forgets the counts (for tests).
void runlog_reset();

}  // namespace lagwatch

#endif  // LAGWATCH_RUN_RUNLOG_H_
