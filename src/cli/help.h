#ifndef LAGWATCH_CLI_HELP_H_
#define LAGWATCH_CLI_HELP_H_

#include <cstdint>

namespace lagwatch {

// Text written before and after the option lines of the help screen; this program has none.
extern const char help_prefix[];
extern const char help_suffix[];

// Describes the positional arguments in the usage line (empty: this program takes none).
extern const char args_usage[];

// Returns what a long option's help column shows after its name for `kind`: "=INT", "=UNS",
// "=VALUE", "=ITEM", or "" for the kinds without value and any unknown kind.
const char* kind_suffix(uint32_t kind);

// Writes "usage: lagwatch [flags] " + args_usage + "\n" on out_stdout, without flushing.
void show_usage();

// Writes the help screen for option_list on out_stdout, without flushing.
void show_help();

}  // namespace lagwatch

#endif  // LAGWATCH_CLI_HELP_H_
