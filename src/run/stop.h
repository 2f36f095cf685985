#ifndef LAGWATCH_RUN_STOP_H_
#define LAGWATCH_RUN_STOP_H_

namespace lagwatch {

// Stop signals. SIGTERM, SIGINT and SIGHUP ask a run to stop, not to die where it stands: the
// notice in progress is finished (its injector waited for, its journal line written), nothing
// more is started, the run file keeps its value, and the run ends with status 111.

// From now on a stop signal is noted instead of ending the process. Ends the process with status
// 111 when the system refuses the handler.
void stop_signals_catch();

// Ends the run with status 111 and "Stopped by a signal: NAME" (the system's name for the first
// stop signal that arrived, e.g. "Terminated") when one arrived; returns otherwise.
void stop_if_requested();

}  // namespace lagwatch

#endif  // LAGWATCH_RUN_STOP_H_
