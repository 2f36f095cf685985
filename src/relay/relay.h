#ifndef LAGWATCH_RELAY_RELAY_H_
#define LAGWATCH_RELAY_RELAY_H_

namespace lagwatch {

// Loads the relay set from "rcpthosts" and opens "morercpthosts.cdb", both relative to the
// current directory (qmail's control directory). Missing files are no error. Ends the process
// through die_oom when memory runs out.
void load_relay_domains();

// True when a notice may go to `sender`: always without -r; with -r only when the sender's
// domain, or one of its dot-suffixes, is listed in rcpthosts or morercpthosts.cdb.
bool check_sender(const char* sender);

// Forgets everything load_relay_domains loaded, frees it and closes morercpthosts.cdb, so that
// a test can load again in the same process. The program itself never calls it.
void relay_reset();

}  // namespace lagwatch

#endif  // LAGWATCH_RELAY_RELAY_H_
