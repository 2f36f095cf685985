#ifndef LAGWATCH_RUN_SETTINGS_H_
#define LAGWATCH_RUN_SETTINGS_H_

#include <cstdint>

#include "cli/option.h"

namespace lagwatch {

// The process-wide settings. The parser writes the opt_ fields; load_bounce_file and
// load_config write the loaded ones before the queue walk; the walk only reads them.
struct settings_record {
  int32_t opt_age;              // -t: seconds after the info file's mtime a message is due
  int32_t opt_copy_bytes;       // -b: <0 whole message, 0 none, N>0 at most N bytes
  int opt_debug;                // -d
  const char* opt_bounce_file;  // -f: template file path, or null
  int opt_mime;                 // -m
  int opt_no_send;              // -N: print notices, leave the run file alone
  int opt_rcpthosts_only;       // -r
  const char* opt_extra_rcpt;   // -x, as given, or null
  const char* notice_template;  // printf-style body text of every notice
  const char* me;               // first line of control/me
  int64_t queuelifetime;        // control/queuelifetime, default 604800
  int64_t now;                  // the time of this run, taken once
  int64_t lastrun;              // start of the last completed run, 0 when unknown
  const char* extra_rcpt;       // opt_extra_rcpt fully qualified, or null
};

// The one instance, holding the defaults at process start.
extern settings_record settings;

// The built-in notice template; settings.notice_template starts as this.
extern const char default_notice_template[];

// The option table, in search and help order, ended by a row with letter 0 and no long name.
extern const optspec option_table[];

// Puts every field back to its default (for tests and fuzz targets that run many times).
void settings_reset();

}  // namespace lagwatch

#endif  // LAGWATCH_RUN_SETTINGS_H_
