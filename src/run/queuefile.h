#ifndef LAGWATCH_RUN_QUEUEFILE_H_
#define LAGWATCH_RUN_QUEUEFILE_H_

#include <sys/stat.h>

#include <cstdint>

#include "lib/fileio.h"

namespace lagwatch {

// The files of one queued message. Each directory of qmail's queue holds a message's file under
// the message's filename ("SPLIT/NAME"). Strangers shape what lies there (senders, message
// texts, and whatever a compromised queue user puts in place of a file or of a directory), so
// every one of them is opened by open_regular_beneath's rules: never through a link at any
// component of "remote/7/1001", never blocking, regular files only.
enum queue_part : int {
  QUEUE_INFO,    // "info": the sender; its modification time dates the message
  QUEUE_MESS,    // "mess": the message text
  QUEUE_REMOTE,  // "remote": the remote recipient list
  QUEUE_LOCAL,   // "local": the local recipient list
};

// Returns the path of the message's file of `part` relative to the queue directory, e.g.
// "remote/7/1001", in a buffer the next call reuses. Ends the process through die_oom.
const char* queue_path(queue_part part, const char* filename);

// Opens the message's file of `part` read-only, relative to the working directory (the queue
// directory during the walk), by open_regular_beneath's rules.
open_status queue_file_open(queue_part part, const char* filename, int* fd, struct stat* status);

// Reads the message's recipient list (QUEUE_REMOTE or QUEUE_LOCAL) whole, as a malloc'd text
// with a NUL after its bytes and their count in `*length`. A missing list (or directory) is empty.
// Any other failure ends the run with "Could not read 'remote/S/N'" and the system's error text, or
// ": not a regular file".
char* queue_read_list(queue_part part, const char* filename, uint32_t* length);

// Writes the debug line (with -d) for a message that left the queue while the run looked at it.
void debug_departed(const char* filename);

}  // namespace lagwatch

#endif  // LAGWATCH_RUN_QUEUEFILE_H_
