#include "cli/options.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "cli/help.h"
#include "lib/diag.h"
#include "lib/outstream.h"
#include "run/run.h"
#include "run/settings.h"

namespace lagwatch {

int help_requested;

const optspec help_option = {
    'h', "help", OPT_FLAG, 1, &help_requested, "Display this help and exit", nullptr};

const optspec** option_list;
int option_count;

namespace {

// This program takes no positional arguments. A max_args below min_args would mean no upper
// bound; the check keeps that rule so that the bounds alone decide.
constexpr int min_args = 0;
constexpr int max_args = 0;

// Every option_item ever made, so that options_reset can release them: the items themselves
// are linked into the caller's lists and cannot carry a second chain.
struct item_block {
  option_item item;
  item_block* older;
};
item_block* all_items;

bool kind_takes_value(uint32_t kind) {
  return kind == OPT_INTEGER || kind == OPT_UNSIGNED || kind == OPT_STRING || kind == OPT_LIST;
}

// Both number kinds accept what the C library's conversion accepts (leading white space, a
// sign, the empty text as 0) and reject characters left after the number. A signed value
// beyond 32 bits is rejected too: kept as its low bits, -t 99999999999999999999 would become -1
// and make every queued message due.
int apply_number(const optspec* opt, const char* value) {
  char* end = nullptr;
  if (opt->kind == OPT_INTEGER) {
    const long n = std::strtol(value, &end, 10);
    if (*end != '\0' || n < INT32_MIN || n > INT32_MAX) {
      report_error(NO_ERRNO, "Invalid integer: ", value);
      return -1;
    }
    *static_cast<int32_t*>(opt->target) = static_cast<int32_t>(n);
    return 1;
  }
  const unsigned long n = std::strtoul(value, &end, 10);
  if (*end != '\0') {
    report_error(NO_ERRNO, "Invalid unsigned integer: ", value);
    return -1;
  }
  *static_cast<uint32_t*>(opt->target) = static_cast<uint32_t>(n);
  return 1;
}

int append_item(const optspec* opt, const char* value) {
  auto* block = static_cast<item_block*>(std::calloc(1, sizeof(item_block)));
  if (block == nullptr) die_oom();
  block->item.text = value;
  block->older = all_items;
  all_items = block;
  auto** link = static_cast<option_item**>(opt->target);
  while (*link != nullptr) link = &(*link)->next;
  *link = &block->item;
  return 1;
}

// A long option: `text` is the argument after its "--". Returns the number of arguments
// consumed after argv[i] (0 or 1), or -1 after a usage error.
int parse_long_option(int argc, char** argv, int i, const char* text) {
  const optspec* opt = nullptr;
  const char* rest = nullptr;
  for (int k = 0; k < option_count; k++) {
    const char* name = option_list[k]->long_name;
    if (name == nullptr) continue;
    const size_t n = std::strlen(name);
    if (std::strncmp(text, name, n) == 0 && (text[n] == '=' || text[n] == '\0')) {
      opt = option_list[k];
      rest = text + n;
      break;
    }
  }
  if (opt == nullptr) {
    report_error(NO_ERRNO, "Unknown option string: '--", text, "'");
    return -1;
  }
  const bool takes_value = kind_takes_value(opt->kind);
  if (*rest == '=') {
    if (!takes_value) {
      report_error(NO_ERRNO, "Option --", opt->long_name, " does not take a value.");
      return -1;
    }
    return apply_option(opt, rest + 1) < 0 ? -1 : 0;
  }
  if (!takes_value) {
    apply_option(opt, nullptr);
    return 0;
  }
  if (i + 1 >= argc) {
    report_error(NO_ERRNO, "Option --", opt->long_name, " requires a value.");
    return -1;
  }
  return apply_option(opt, argv[i + 1]) < 0 ? -1 : 1;
}

// A group of short options: `group` is the argument after its '-'. Returns the number of
// arguments consumed after argv[i] (0 or 1), or -1 after a usage error.
int parse_short_group(int argc, char** argv, int i, const char* group) {
  for (const char* p = group; *p != '\0'; p++) {
    const optspec* opt = nullptr;
    for (int k = 0; k < option_count; k++) {
      if (option_list[k]->letter == *p) {
        opt = option_list[k];
        break;
      }
    }
    const char letter[2] = {*p, '\0'};
    if (opt == nullptr) {
      report_error(NO_ERRNO, "Unknown option letter -", letter, ".");
      return -1;
    }
    if (!kind_takes_value(opt->kind)) {
      apply_option(opt, nullptr);
      continue;
    }
    // A value option ends the group: the rest of the argument, or else the next argument
    // whatever it looks like, is its value.
    if (p[1] != '\0') return apply_option(opt, p + 1) < 0 ? -1 : 0;
    if (i + 1 >= argc) {
      report_error(NO_ERRNO, "Option -", letter, " requires a value.");
      return -1;
    }
    return apply_option(opt, argv[i + 1]) < 0 ? -1 : 1;
  }
  return 0;
}

// Checks the number of positional arguments against the bounds; a `max` below `min` means no
// upper bound.
parse_result check_positional_count(int remaining, int min, int max) {
  if (remaining < min) {
    report_error(NO_ERRNO, "Too few command-line arguments");
    return PARSE_USAGE_ERROR;
  }
  if (max >= min && remaining > max) {
    report_error(NO_ERRNO, "Too many command-line arguments");
    return PARSE_USAGE_ERROR;
  }
  return PARSE_RUN;
}

}  // namespace

int build_option_list(const optspec* table) {
  int rows = 0;
  while (table[rows].letter != 0 || table[rows].long_name != nullptr) rows++;
  // malloc rather than new: the program then needs nothing of the C++ runtime library at run
  // time, which keeps its resident memory near that of a plain C program. The list holds
  // pointers to rows.
  // NOLINTNEXTLINE(bugprone-sizeof-expression)
  const size_t bytes = (static_cast<size_t>(rows) + 1) * sizeof(const optspec*);
  auto** list = static_cast<const optspec**>(malloc(bytes));
  if (list == nullptr) die_oom();
  for (int k = 0; k < rows; k++) list[k] = &table[k];
  list[rows] = &help_option;
  free(static_cast<void*>(option_list));
  option_list = list;
  option_count = rows + 1;
  return option_count;
}

int apply_option(const optspec* opt, const char* value) {
  if (value == nullptr) value = "";
  switch (opt->kind) {
    case OPT_FLAG:
      *static_cast<int*>(opt->target) = opt->flag_value;
      return 0;
    case OPT_COUNTER: {
      // Unsigned sum: a counter given absurdly often wraps instead of overflowing.
      int* counter = static_cast<int*>(opt->target);
      *counter = static_cast<int>(static_cast<unsigned>(*counter) +
                                  static_cast<unsigned>(opt->flag_value));
      return 0;
    }
    case OPT_INTEGER:
    case OPT_UNSIGNED:
      return apply_number(opt, value);
    case OPT_STRING:
      *static_cast<const char**>(opt->target) = value;
      return 1;
    case OPT_LIST:
      return append_item(opt, value);
    default:
      return 0;
  }
}

parse_result parse_command_line(int argc, char** argv, int* first_positional) {
  // An empty argument vector (argc 0) has no program name to skip.
  int i = argc > 0 ? 1 : 0;
  while (i < argc) {
    const char* arg = argv[i];
    if (arg[0] != '-') break;
    if (arg[1] == '\0' || (arg[1] == '-' && arg[2] == '\0')) {
      i++;
      break;
    }
    const int taken = arg[1] == '-' ? parse_long_option(argc, argv, i, arg + 2)
                                    : parse_short_group(argc, argv, i, arg + 1);
    if (taken < 0) {
      *first_positional = i;
      return PARSE_USAGE_ERROR;
    }
    i += 1 + taken;
  }
  *first_positional = i;
  if (help_requested) return PARSE_HELP;
  return check_positional_count(argc - i, min_args, max_args);
}

int program_main(int argc, char** argv) {
  build_option_list(option_table);
  int first = 0;
  const parse_result result = parse_command_line(argc, argv, &first);
  if (result == PARSE_RUN) return run(argc - first, argv + first);
  show_usage();
  show_help();
  outstream_flush(&out_stdout);
  return result == PARSE_HELP ? 0 : 1;
}

void options_reset() {
  help_requested = 0;
  while (all_items != nullptr) {
    item_block* older = all_items->older;
    std::free(all_items);
    all_items = older;
  }
}

}  // namespace lagwatch
