// Fuzzes the relay-domain filter: rcpthosts with arbitrary bytes, an optional
// morercpthosts.cdb with arbitrary bytes, and an arbitrary sender, with -r on.
//
// Input: rcpthosts bytes, a 0xff byte, the sender (up to its first NUL, as the info file gives
// it), a 0xff byte, and the cdb file's bytes (absent when the input has no second 0xff).
//
// Properties: check_sender agrees with a model of the rules (the candidates after the first
// "@": the whole domain, then each suffix that starts at a later "."; a candidate matches a
// line of rcpthosts with exactly its bytes; "#" lines and the text after a NUL are ignored)
// whenever there is no cdb; with a cdb, every sender the model accepts is still accepted; and
// without -r every sender passes.

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "fuzz_common.h"
#include "relay/relay.h"
#include "run/settings.h"

namespace {

using lagwatch::fuzz::check;

std::string scratch;

std::set<std::string> model_lines(std::string text) {
  text = std::string(text.c_str());  // read as a C string: it ends at its first NUL
  std::set<std::string> lines;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    if (text[pos] != '#') lines.insert(text.substr(pos, end - pos));
    pos = end + 1;
  }
  return lines;
}

bool model_accepts(const std::set<std::string>& lines, const std::string& sender) {
  const size_t at = sender.find('@');
  if (at == std::string::npos) return false;
  std::string candidate = sender.substr(at + 1);
  for (;;) {
    if (lines.count(candidate) != 0) return true;
    if (candidate.empty()) return false;
    const size_t dot = candidate.find('.', 1);
    if (dot == std::string::npos) return false;
    candidate = candidate.substr(dot);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  (void)argc;
  (void)argv;
  // load_relay_domains reads its files relative to the working directory, as it does in
  // qmail's control directory.
  scratch = lagwatch::fuzz::make_scratch_dir("relay");
  check(chdir(scratch.c_str()) == 0, "enter the scratch directory");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lagwatch::fuzz::byte_source in = lagwatch::fuzz::source_of(data, size);
  const std::string rcpthosts = take_until(&in, 0xff);
  const std::string sender_bytes = take_until(&in, 0xff);
  const bool has_cdb = !source_empty(&in) || (size > 0 && data[size - 1] == 0xff);
  const std::string cdb = take_rest(&in);

  lagwatch::fuzz::write_file("rcpthosts", rcpthosts);
  if (has_cdb) {
    lagwatch::fuzz::write_file("morercpthosts.cdb", cdb);
  } else {
    (void)unlink("morercpthosts.cdb");
  }
  // The sender as the info file hands it over: a C string in a buffer of exactly its size.
  const std::string sender(sender_bytes.c_str());
  char* copy = new char[sender.size() + 1];
  memcpy(copy, sender.c_str(), sender.size() + 1);

  lagwatch::settings_reset();
  lagwatch::relay_reset();
  check(lagwatch::check_sender(copy) == 1, "without -r every sender passes");

  lagwatch::settings.opt_rcpthosts_only = 1;
  lagwatch::load_relay_domains();
  const int result = lagwatch::check_sender(copy);
  const bool expected = model_accepts(model_lines(rcpthosts), sender);
  check(result == 0 || result == 1, "check_sender returns 0 or 1");
  if (has_cdb) {
    if (expected) check(result == 1, "a sender listed in rcpthosts passes whatever the cdb");
  } else {
    check(result == (expected ? 1 : 0), "check_sender follows the rcpthosts rules");
  }
  lagwatch::relay_reset();
  lagwatch::settings_reset();
  delete[] copy;
  return 0;
}
