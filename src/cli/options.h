#ifndef LAGWATCH_CLI_OPTIONS_H_
#define LAGWATCH_CLI_OPTIONS_H_

#include "cli/option.h"

namespace lagwatch {

// The built-in -h/--help option; it sets help_requested and always comes last in option_list.
extern const optspec help_option;

// Non-zero once -h or --help was applied. 0 at process start.
extern int help_requested;

// Every option the parser knows, in search order: the rows of the table given to
// build_option_list, then &help_option. option_count is their number.
extern const optspec** option_list;
extern int option_count;

// What parse_command_line found.
enum parse_result : int {
  PARSE_RUN = 0,          // options applied, positional count within bounds: go on with the run
  PARSE_HELP = 1,         // -h or --help given, and no usage error met before it
  PARSE_USAGE_ERROR = 2,  // a usage error, already reported on out_stderr
};

// Makes option_list the rows of `table` up to its end row (letter 0 and no long name), then
// &help_option. Replaces any earlier list; the table must outlive it. Returns option_count.
// Ends the process through die_oom when memory runs out.
int build_option_list(const optspec* table);

// Stores `value` (or, for kinds without value, flag_value) in opt->target as opt->kind says.
// Returns 0 for a kind that takes no value, 1 when a value was stored, -1 when the value was not
// a whole decimal number (reported as a usage error). A null `value` reads as "".
int apply_option(const optspec* opt, const char* value);

// Applies the options in argv[1..argc-1] to their targets, then checks -h/--help and the
// positional-argument bounds (none allowed). Reports every usage error on out_stderr; never
// writes on out_stdout and never ends the process. Sets *first_positional to the index of the
// first argument not consumed. Requires build_option_list first; argv[0..argc-1] must be
// NUL-terminated texts, and values keep pointing into them.
parse_result parse_command_line(int argc, char** argv, int* first_positional);

// The program entry: builds option_list from option_table, parses, answers help (status 0) and
// usage errors (status 1) with the usage line and the help screen on out_stdout, otherwise
// returns the status of run with the positional arguments.
int program_main(int argc, char** argv);

// Puts help_requested back to 0 and releases every option_item made so far; callers must
// forget the list heads they passed as targets. For tests and fuzz targets that parse many times.
void options_reset();

}  // namespace lagwatch

#endif  // LAGWATCH_CLI_OPTIONS_H_
