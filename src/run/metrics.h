#ifndef LAGWATCH_RUN_METRICS_H_
#define LAGWATCH_RUN_METRICS_H_

#include <cstdint>

namespace lagwatch {

// The queue's health for monitoring. Every real run that completes its walk leaves what it saw in
// the metrics file (a build setting), in Prometheus' text format, for the textfile collector of
// node exporter: the messages queued, late and waiting in todo/, the oldest one's age, the
// run's notices, its time and duration. The file is replaced whole, so a scrape never sees
// half of it. Where its directory does not exist, nothing is written and nothing said.

// What the walk saw of the queue: every message it judged by its info file.
struct queue_figures {
  uint64_t messages;     // info files judged
  uint64_t late;         // of them, at least the threshold old: expiry <= now
  int64_t oldest_mtime;  // the earliest info file modification time; meaningless without messages
};

// The figures of the walk in progress.
extern queue_figures walk_figures;

// Counts a message whose info file has the modification time `mtime`, due at `expiry`. Costs no
// system call: the walk calls it for every message.
inline void metrics_count_message(int64_t mtime, int64_t expiry, int64_t now) {
  if (walk_figures.messages == 0 || mtime < walk_figures.oldest_mtime) {
    walk_figures.oldest_mtime = mtime;
  }
  ++walk_figures.messages;
  if (expiry <= now) ++walk_figures.late;
}

// Notes the run's start, from which its duration is counted.
void metrics_start();

// Writes the metrics file of a run whose walk completed. Never ends the run and never writes to
// standard output or error: a file that cannot be written is logged once, as a warning
// "metrics not written: PATH: ERR", and no temporary file is left behind.
void metrics_publish();

// Forgets the figures (for tests).
void metrics_reset();

}  // namespace lagwatch

#endif  // LAGWATCH_RUN_METRICS_H_
