#ifndef LAGWATCH_RUN_CONF_H_
#define LAGWATCH_RUN_CONF_H_

namespace lagwatch {

// The absolute paths the program works with. They are fixed when the program is built
// (the qmail home and the run file); nothing at run time changes them.

// qmail's control directory: the qmail home + "/control".
extern const char* const control_dir;

// qmail's queue directory: the qmail home + "/queue".
extern const char* const queue_dir;

// qmail's injector: the qmail home + "/bin/qmail-inject".
extern const char* const injector_path;

// The file that keeps the start time of the last completed run.
extern const char* const run_file_path;

// The system log's socket, where real runs log their notices (a build setting, /dev/log unless
// set otherwise).
extern const char* const log_socket_path;

// The file where real runs leave the queue's figures for monitoring (a build setting); written
// only where its directory exists.
extern const char* const metrics_file_path;

// The journal of the notices handed over in the current window: the run file's path + ".sent".
extern const char* const journal_path;

}  // namespace lagwatch

#endif  // LAGWATCH_RUN_CONF_H_
