#ifndef LAGWATCH_RUN_RUN_H_
#define LAGWATCH_RUN_RUN_H_

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

// True when a message whose info file gives `expiry` falls due in the window (lastrun, now].
inline bool in_window(long long expiry, long long lastrun, long long now) {
  return expiry <= now && expiry > lastrun;
}

}  // namespace lagwatch

#endif  // LAGWATCH_RUN_RUN_H_
