#ifndef LAGWATCH_RUN_STATE_H_
#define LAGWATCH_RUN_STATE_H_

#include <cstdint>

namespace lagwatch {

// The program's own state between runs: the run file, which holds the start of the last
// completed run, and its journal, which lists the notices handed over in the window that
// begins there, so that a run that failed part-way is not repeated by the next one.
//
// Journal format: the window's lastrun in decimal and "\n", then one "SPLIT/NAME MTIME\n" per
// notice (the message's filename and its info file's modification time). A last line without its
// line feed is a line that was reserved or cut short, and counts for nothing.
//
// Run file format: its first line is a time, optional blanks or tabs, an optional "-" and one or
// more digits, ended by a line feed or the end of the file. An empty file means a first run.

// Real runs: opens the run file for update (created when missing, never through a symbolic
// link, never blocking, only a regular file), takes its lock without waiting and returns the
// lastrun it holds (0 when it is empty). Ends the run with status 111, before anything is sent,
// when the file cannot be claimed, another run holds it, or it does not hold a time.
int64_t run_file_claim();

// Print-only runs: returns the lastrun the run file holds (0 when it is missing or empty),
// reading it as a control file. Ends the run with status 111 when it does not hold a time.
int64_t run_file_peek();

// Reads the run file's `length` bytes of `text` into `*lastrun`: 0 for an empty text. Returns
// false when its first line is not a time, or one beyond the signed 64-bit range.
bool parse_run_time(const char* text, uint32_t length, int64_t* lastrun);

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

// Reserves room on disk for the journal line of the notice for `filename` dated `mtime`, before
// its injector starts, so that a full disk cannot keep the line out once the notice is accepted.
// Where the file system cannot reserve, the line is written ahead without its line feed, which
// no run takes for a line. Does nothing when the journal was only read. Ends the run with status
// 111 when there is no room ("No space left on device").
void journal_reserve(const char* filename, int64_t mtime);

// Writes the line for the notice to `filename` dated `mtime`, handed over, into the room
// reserved for it (or at the journal's end), with one write. Does nothing when the journal was
// only read. Ends the run with status 111 when the write fails.
void journal_record(const char* filename, int64_t mtime);

// Takes back a line written ahead for a reservation that no notice used.
void journal_release();

// Forgets the state loaded and closes the files, without writing (for tests).
void state_reset();

}  // namespace lagwatch

#endif  // LAGWATCH_RUN_STATE_H_
