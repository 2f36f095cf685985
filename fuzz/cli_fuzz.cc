// Fuzzes the command-line parser and the help screen with argument vectors made from bytes:
// the input split at NUL bytes, each piece one argument (at most 12) in a heap buffer of
// exactly its size.
//
// Properties: the parse ends in run, help or one usage error; the index of the first argument
// not consumed lies in 1..argc, and a run leaves no argument unconsumed; a usage error writes
// exactly one diagnostic ("lagwatch: Error: " ... ".\n") and the parser never writes on
// standard output; text options point into the argument vector; when help is asked for, the
// usage line and help screen are the 658 bytes of the program's screen.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli/expected_help.h"
#include "cli/help.h"
#include "cli/options.h"
#include "fuzz_common.h"
#include "lib/outstream.h"
#include "run/settings.h"

namespace {

using lagwatch::fuzz::check;

std::string captured_stdout;
std::string captured_stderr;

long capture_stdout(int, const char* bytes, uint32_t n) {
  captured_stdout.append(bytes, n);
  return n;
}

long capture_stderr(int, const char* bytes, uint32_t n) {
  captured_stderr.append(bytes, n);
  return n;
}

bool points_into(const char* p, const std::vector<char*>& args, const std::vector<size_t>& sizes) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (p >= args[i] && p <= args[i] + sizes[i]) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  (void)argc;
  (void)argv;
  static_assert(sizeof lagwatch::kExpectedHelpScreen - 1 == 658, "the help screen is 658 bytes");
  lagwatch::out_stdout.write_fn = capture_stdout;
  lagwatch::out_stderr.write_fn = capture_stderr;
  lagwatch::build_option_list(lagwatch::option_table);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lagwatch::fuzz::byte_source in = lagwatch::fuzz::source_of(data, size);
  std::vector<char*> args;
  std::vector<size_t> sizes;
  args.push_back(strdup("lagwatch"));
  sizes.push_back(8);
  while (!source_empty(&in) && args.size() < 13) {
    const std::string piece = take_until(&in, 0);
    char* copy = static_cast<char*>(malloc(piece.size() + 1));
    check(copy != nullptr, "malloc");
    memcpy(copy, piece.c_str(), piece.size() + 1);
    args.push_back(copy);
    sizes.push_back(piece.size());
  }
  std::vector<char*> argv = args;
  argv.push_back(nullptr);
  const int argc = static_cast<int>(args.size());

  captured_stdout.clear();
  captured_stderr.clear();
  lagwatch::settings_reset();
  lagwatch::options_reset();
  int first = -1;
  const lagwatch::parse_result result = lagwatch::parse_command_line(argc, argv.data(), &first);
  lagwatch::outstream_flush(&lagwatch::out_stderr);

  check(result == lagwatch::PARSE_RUN || result == lagwatch::PARSE_HELP ||
            result == lagwatch::PARSE_USAGE_ERROR,
        "the parse ends in run, help or a usage error");
  check(first >= 1 && first <= argc, "the first unconsumed index lies in 1..argc");
  check(captured_stdout.empty(), "the parser writes nothing on standard output");
  if (result == lagwatch::PARSE_USAGE_ERROR) {
    const std::string prefix = "lagwatch: Error: ";
    check(captured_stderr.compare(0, prefix.size(), prefix) == 0, "a usage error's diagnostic");
    check(captured_stderr.size() > prefix.size() + 1 &&
              captured_stderr.compare(captured_stderr.size() - 2, 2, ".\n") == 0,
          "the diagnostic ends with a period and a line feed");
  } else {
    check(captured_stderr.empty(), "no diagnostic without a usage error");
  }
  if (result == lagwatch::PARSE_RUN) {
    check(first == argc, "a run leaves no positional argument");
    for (const char* text :
         {lagwatch::settings.opt_bounce_file, lagwatch::settings.opt_extra_rcpt}) {
      if (text != nullptr) check(points_into(text, args, sizes), "text options point into argv");
    }
  }
  if (result == lagwatch::PARSE_HELP) {
    lagwatch::show_usage();
    lagwatch::show_help();
    lagwatch::outstream_flush(&lagwatch::out_stdout);
    check(captured_stdout == lagwatch::kExpectedHelpScreen,
          "the help screen is the program's 658 bytes");
  }

  lagwatch::settings_reset();
  lagwatch::options_reset();
  for (char* a : args) free(a);
  return 0;
}
