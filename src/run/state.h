#ifndef LAGWATCH_RUN_STATE_H_
#define LAGWATCH_RUN_STATE_H_

#include <cstdint>

namespace lagwatch {

// The program's own state between runs: the run file, which holds the start of the last
// completed run, and its journal, which lists the notices handed over in the window that
// begins there, so that a run that failed part-way is not repeated by the next one.
//
// Journal format: the window's lastrun in decimal and "\n", then one "SPLIT/NAME MTIME\n" per
// notice (the message's filename and its info file's modification time).

// Real runs: opens the run file for update (created when missing, never through a symbolic
// link, never blocking, only a regular file), takes its lock without waiting and returns the
// lastrun it holds (0 when it holds none). Ends the run with status 111, before anything is
// sent, when the file cannot be claimed or another run holds it.
int64_t run_file_claim();

// Print-only runs: returns the lastrun the run file holds, reading it as a control file.
int64_t run_file_peek();

// Writes `now` into the run file in place, then empties the journal and gives up the lock.
// The previous value stays when the write fails, and the run ends with status 111. Claims the
// run file first when no claim was made.
void run_file_store(int64_t now);

// Loads the journal when its first line is `lastrun`, and ignores it otherwise. With `update`
// (real runs) it is opened like the run file, created when missing and made to belong to this
// window; without it, it is only read. Ends the run with status 111 on failures.
void journal_load(int64_t lastrun, bool update);

// True when the journal lists the notice for the message `filename` dated `mtime`.
bool journal_holds(const char* filename, int64_t mtime);

// Appends the line for a notice handed over, with one write. Does nothing when the journal
// was only read (print-only runs). Ends the run with status 111 when the write fails.
void journal_record(const char* filename, int64_t mtime);

// Forgets the state loaded and closes the files, without writing (for tests).
void state_reset();

}  // namespace lagwatch

#endif  // LAGWATCH_RUN_STATE_H_
