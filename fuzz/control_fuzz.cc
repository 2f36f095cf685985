// Fuzzes the control-file readers on arbitrary file bytes: read_control_file,
// read_control_line and read_control_long.
//
// Properties (against a model of the same rules):
// - read_control_file gives exactly the file's bytes, their count, and a NUL after them;
// - read_control_line gives the text before the first line feed (seen as a C string);
// - read_control_long gives strtol's value for a first line that is a whole number (leading
//   white space and one sign allowed, clamped to 64 bits), and the default for anything else:
//   an empty line, a character after the number, no digits at all.

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "run/control.h"

namespace {

using lagwatch::fuzz::check;

std::string scratch;

int64_t model_long(const std::string& content, int64_t fallback) {
  std::string line = content.substr(0, content.find('\n'));
  line = std::string(line.c_str());  // the text ends at its first NUL
  if (line.empty()) return fallback;
  char* end = nullptr;
  errno = 0;
  const long value = strtol(line.c_str(), &end, 10);
  if (end == line.c_str() || *end != '\0') return fallback;
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  (void)argc;
  (void)argv;
  scratch = lagwatch::fuzz::make_scratch_dir("control");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  const std::string path = scratch + "/file";
  lagwatch::fuzz::write_file(path, content);

  uint32_t length = 0xdeadbeef;
  char* text = lagwatch::read_control_file(scratch.c_str(), "file", &length);
  check(text != nullptr, "read_control_file never gives null");
  check(length == content.size(), "the count is the file's size");
  check(memcmp(text, content.data(), content.size()) == 0, "the text is the file's bytes");
  check(text[length] == '\0', "a NUL after the bytes");
  free(text);

  char* line = lagwatch::read_control_line(path.c_str());
  const std::string expected_line = std::string(content.substr(0, content.find('\n')).c_str());
  check(line != nullptr && expected_line == line, "the first line, up to its line feed");
  free(line);

  for (const int64_t fallback : {int64_t{604800}, int64_t{-1}, INT64_MIN}) {
    check(lagwatch::read_control_long(path.c_str(), fallback) == model_long(content, fallback),
          "read_control_long follows strtol with its default");
  }

  // A file that is gone reads as the empty text and the default.
  if (!content.empty() && content[0] == 'X') {
    (void)unlink(path.c_str());
    uint32_t missing_length = 1;
    char* missing = lagwatch::read_control_file(nullptr, path.c_str(), &missing_length);
    check(missing != nullptr && missing[0] == '\0' && missing_length == 0,
          "a missing file is the empty text");
    free(missing);
    check(lagwatch::read_control_long(path.c_str(), 77) == 77, "a missing file gives the default");
  }
  return 0;
}
