#include "cli/help.h"

#include <cstring>

#include "cli/option.h"
#include "cli/options.h"
#include "lib/outstream.h"

namespace lagwatch {

const char help_prefix[] = "";
const char help_suffix[] = "";
const char args_usage[] = "";

namespace {

// Width that an entry's long name and value suffix take in the long-name column; an entry
// without a long name takes none, whatever its kind.
uint32_t long_column_length(const optspec* opt) {
  if (opt->long_name == nullptr) return 0;
  return static_cast<uint32_t>(std::strlen(opt->long_name) + std::strlen(kind_suffix(opt->kind)));
}

}  // namespace

const char* kind_suffix(uint32_t kind) {
  switch (kind) {
    case OPT_INTEGER:
      return "=INT";
    case OPT_UNSIGNED:
      return "=UNS";
    case OPT_STRING:
      return "=VALUE";
    case OPT_LIST:
      return "=ITEM";
    default:
      return "";
  }
}

// The program's name is fixed, not taken from argv[0], so the line reads the same however the
// program was started.
void show_usage() {
  outstream_puts5(&out_stdout, "usage: ", "lagwatch", " [flags] ", args_usage, "\n");
}

namespace {

// Writes the line of one option (and its default line): the letter column of 6 characters,
// the long-name column of `help_width` + 4, then the help text. One empty line sets the help
// option apart from the table's.
void write_option_lines(outstream* out, const optspec* opt, uint32_t help_width) {
  if (opt == &help_option) outstream_putc(out, '\n');
  if (opt->letter != 0) {
    outstream_puts2(out, "  -", nullptr);
    outstream_putc(out, opt->letter);
    outstream_puts2(out, opt->long_name != nullptr ? ", " : "  ", nullptr);
  } else {
    outstream_puts2(out, "    ", "  ");
  }
  if (opt->long_name != nullptr) {
    outstream_puts3(out, "--", opt->long_name, kind_suffix(opt->kind));
    outstream_pad(out, help_width + 2 - long_column_length(opt), ' ');
  } else {
    outstream_pad(out, help_width + 4, ' ');
  }
  outstream_puts2(out, opt->help_text, "\n");
  if (opt->default_text != nullptr) {
    outstream_pad(out, help_width + 10, ' ');
    outstream_puts3(out, "(Defaults to ", opt->default_text, ")\n");
  }
}

}  // namespace

void show_help() {
  outstream* out = &out_stdout;
  outstream_puts2(out, help_prefix, nullptr);
  // Recomputed on every call: the list may have been rebuilt from another table.
  uint32_t help_width = 0;
  for (int k = 0; k < option_count; k++) {
    const uint32_t length = long_column_length(option_list[k]);
    if (length > help_width) help_width = length;
  }
  for (int k = 0; k < option_count; k++) write_option_lines(out, option_list[k], help_width);
  outstream_puts2(out, help_suffix, nullptr);
}

}  // namespace lagwatch
