#include "run/stop.h"

#include <signal.h>

#include <cstring>
#include <initializer_list>

#include "lib/diag.h"

namespace lagwatch {

namespace {

// The first stop signal that arrived, or 0.
volatile sig_atomic_t stop_signal;

void note_stop(int signal_number) {
  if (stop_signal == 0) stop_signal = signal_number;
}

}  // namespace

void stop_signals_catch() {
  struct sigaction action {};
  action.sa_handler = note_stop;
  // Restarted, not interrupted: the notice in progress goes on to its end as if nothing came.
  action.sa_flags = SA_RESTART;
  if (sigemptyset(&action.sa_mask) != 0) fatal(111, WITH_ERRNO, "Could not catch stop signals");
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    if (sigaction(signal_number, &action, nullptr) != 0) {
      fatal(111, WITH_ERRNO, "Could not catch stop signals");
    }
  }
}

void stop_if_requested() {
  const int signal_number = stop_signal;
  if (signal_number != 0) fatal(111, NO_ERRNO, "Stopped by a signal: ", strsignal(signal_number));
}

}  // namespace lagwatch
