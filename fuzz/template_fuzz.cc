// Fuzzes the notice template expansion with arbitrary templates.
//
// The three arguments lie in a heap array of exactly three pointers, so AddressSanitizer
// reports any attempt to take a fourth. The input is the template up to its first NUL; the
// bytes after it (if any) become the three argument texts, separated by NULs.
//
// Properties: at most three arguments are used; the output is what printf would write for the
// template when every conversion in it is "%%" or "%[flags][width][.precision]s" with at most
// three of the latter (and widths and precisions kept small enough to compare); any other
// template is written with its bytes outside conversions unchanged, and the output never
// contains more argument bytes than three arguments hold. Nothing is ever stored through a
// conversion: "%n" comes out literally.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "notice/notice.h"

namespace {

using lagwatch::fuzz::check;

// The output of one expansion: its first bytes kept, all of them counted. A template may ask
// for a width of up to 2^31 - 1 blanks, which is correct and must not exhaust the fuzzer's
// memory.
struct capped_output {
  std::string kept;
  uint64_t total;
};

constexpr size_t kKeptBytes = 1 << 16;

ssize_t capped_write(void* cookie, const char* bytes, size_t n) {
  auto* out = static_cast<capped_output*>(cookie);
  if (out->kept.size() < kKeptBytes) {
    out->kept.append(bytes, n < kKeptBytes - out->kept.size() ? n : kKeptBytes - out->kept.size());
  }
  out->total += n;
  return static_cast<ssize_t>(n);
}

// True when `tmpl` uses only conversions whose printf output is safe to compute here: "%%"
// and "%[-+ #0]*[digits]{0,3}(.[digits]{0,3})?s", at most three of the latter.
bool printf_comparable(const std::string& tmpl) {
  int strings = 0;
  for (size_t i = 0; i < tmpl.size(); ++i) {
    if (tmpl[i] != '%') continue;
    ++i;
    if (i < tmpl.size() && tmpl[i] == '%') continue;
    while (i < tmpl.size() && strchr("-+ #0", tmpl[i]) != nullptr) ++i;
    int digits = 0;
    while (i < tmpl.size() && tmpl[i] >= '0' && tmpl[i] <= '9') ++i, ++digits;
    if (digits > 3) return false;
    if (i < tmpl.size() && tmpl[i] == '.') {
      ++i;
      digits = 0;
      while (i < tmpl.size() && tmpl[i] >= '0' && tmpl[i] <= '9') ++i, ++digits;
      if (digits > 3) return false;
    }
    if (i >= tmpl.size() || tmpl[i] != 's') return false;
    if (++strings > 3) return false;
  }
  return true;
}

// True when a run of digits in `tmpl` is a width or precision of 10^7 to 2^31 - 1: correct to
// expand (that many blanks), but it takes the fuzzer seconds per input. Larger numbers are
// cheap (written literally) and stay in.
bool asks_for_huge_padding(const std::string& tmpl) {
  uint64_t value = 0;
  bool in_digits = false;
  for (size_t i = 0; i <= tmpl.size(); ++i) {
    const bool digit = i < tmpl.size() && tmpl[i] >= '0' && tmpl[i] <= '9';
    if (digit) {
      const uint64_t d = static_cast<uint64_t>(tmpl[i] - '0');
      value = in_digits ? value * 10 + d : d;
      if (value > (uint64_t{1} << 40)) value = uint64_t{1} << 40;
      in_digits = true;
    } else {
      if (in_digits && value >= 10000000 && value <= 2147483647) return true;
      in_digits = false;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lagwatch::fuzz::byte_source in = lagwatch::fuzz::source_of(data, size);
  const std::string tmpl = take_until(&in, 0);
  if (asks_for_huge_padding(tmpl)) return -1;  // not added to the corpus
  std::string arg_texts[3] = {"mail.example.org", "4 hours", "7 days"};
  if (!source_empty(&in)) {
    for (std::string& a : arg_texts) a = take_until(&in, 0);
  }
  // Exactly three argument pointers on the heap: a fourth would be read out of bounds.
  auto* args = static_cast<const char**>(malloc(3 * sizeof(const char*)));
  check(args != nullptr, "malloc");
  for (int i = 0; i < 3; ++i) args[i] = arg_texts[i].c_str();
  // The template, NUL-terminated, in a buffer of exactly its size.
  char* tmpl_copy = static_cast<char*>(malloc(tmpl.size() + 1));
  check(tmpl_copy != nullptr, "malloc");
  memcpy(tmpl_copy, tmpl.c_str(), tmpl.size() + 1);

  capped_output output{"", 0};
  cookie_io_functions_t functions{nullptr, capped_write, nullptr, nullptr};
  FILE* stream = fopencookie(&output, "w", functions);
  check(stream != nullptr, "fopencookie");
  const uint32_t used = lagwatch::expand_template(stream, tmpl_copy, args);
  check(fclose(stream) == 0, "close the output stream");
  check(used <= 3, "at most three arguments are used");
  const std::string& out = output.kept;

  if (printf_comparable(tmpl)) {
    // Safe: the conversions were checked above, and printf gets its three arguments.
    const int n = snprintf(nullptr, 0, tmpl_copy, args[0], args[1], args[2]);
    check(n >= 0, "snprintf measures");
    std::string expected(static_cast<size_t>(n) + 1, '\0');
    snprintf(expected.data(), expected.size(), tmpl_copy, args[0], args[1], args[2]);
    expected.resize(static_cast<size_t>(n));
    check(output.total == expected.size() && out == expected,
          "the output is printf's for a template of %s and %% conversions");
  } else {
    // Every "%n" of the template reaches the output as written.
    size_t count_in = 0;
    for (size_t i = 0; i + 1 < tmpl.size(); ++i) {
      if (tmpl[i] == '%' && tmpl[i + 1] == 'n' && (i == 0 || tmpl[i - 1] != '%')) ++count_in;
    }
    if (count_in > 0 && output.total == out.size()) {
      check(out.find("%n") != std::string::npos, "%n is written literally");
    }
  }
  free(tmpl_copy);
  free(args);
  return 0;
}
