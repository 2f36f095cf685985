#ifndef LAGWATCH_RUN_RUN_H_
#define LAGWATCH_RUN_RUN_H_

#include <cstdint>

namespace lagwatch {

// Runs the whole job: template, control files, queue walk, run file. Returns the process's
// exit status: 0, or 100 when the injector refused one or more notices for good. Every other
// failure ends the process inside.
int run(int argc, char** argv);

// Walks every split directory of the queue's "info" directory.
void scan_queue();

// Walks the split directory "info/" + `split`.
void scan_split_directory(const char* split);

// Decides for the message `filename` ("SPLIT/NAME") and hands it on when it is due.
void check_message(const char* filename);

// Writes settings.now into the run file, keeping the previous value when that fails.
void update_run_file();

// Where a message's expiry lies against the window (lastrun, now] of a run.
enum window_place : int {
  WINDOW_DUE,      // lastrun < expiry <= now
  WINDOW_NOT_YET,  // expiry > now
  WINDOW_PAST,     // expiry <= lastrun, an earlier window's
};

// Places `expiry`. The test against now comes first: when the clock went back so that
// lastrun > now, every message is "not yet" or "past", and none is due.
inline window_place place_in_window(int64_t expiry, int64_t lastrun, int64_t now) {
  if (expiry > now) return WINDOW_NOT_YET;
  return expiry <= lastrun ? WINDOW_PAST : WINDOW_DUE;
}

// True when a message whose info file gives `expiry` falls due in the window (lastrun, now].
inline bool in_window(int64_t expiry, int64_t lastrun, int64_t now) {
  return place_in_window(expiry, lastrun, now) == WINDOW_DUE;
}

}  // namespace lagwatch

#endif  // LAGWATCH_RUN_RUN_H_
