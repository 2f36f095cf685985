#include "run/conf.h"

// Compiled once per build variant, with the variant's qmail home and run file.
#ifndef LAGWATCH_QMAIL_HOME
#define LAGWATCH_QMAIL_HOME "/var/qmail"
#endif
#ifndef LAGWATCH_LOG_SOCKET
#define LAGWATCH_LOG_SOCKET "/dev/log"
#endif
#ifndef LAGWATCH_METRICS_FILE
#define LAGWATCH_METRICS_FILE "/var/lib/prometheus/node-exporter/lagwatch.prom"
#endif
#ifndef LAGWATCH_RUN_FILE
#define LAGWATCH_RUN_FILE "/var/lib/lagwatch/lagwatch.time"
#endif

namespace lagwatch {

const char* const control_dir = LAGWATCH_QMAIL_HOME "/control";
const char* const queue_dir = LAGWATCH_QMAIL_HOME "/queue";
const char* const injector_path = LAGWATCH_QMAIL_HOME "/bin/qmail-inject";
const char* const run_file_path = LAGWATCH_RUN_FILE;
const char* const log_socket_path = LAGWATCH_LOG_SOCKET;
const char* const metrics_file_path = LAGWATCH_METRICS_FILE;
const char* const journal_path = LAGWATCH_RUN_FILE ".sent";

}  // namespace lagwatch
