// Fuzzes the reading of a queued message's info file: arbitrary bytes as info/0/1 of a scratch
// queue, judged by check_message with the message due and -d on, so that the sender it hands
// on shows in the debug lines.
//
// Properties: the sender is the text from the second byte up to the first NUL or the end of
// the bytes read (empty for a file of 0 or 1 bytes); nothing past the bytes read is used; the
// empty sender and "#@[]" get "ignoring, bounce message"; a sender holding a byte below 0x20 or
// 0x7f gets "ignoring, sender has control characters" (it would be written into a header);
// every other sender reaches the dispatch, whose debug line shows it exactly (no recipient
// lists: undone=0, no injector).

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "run/run.h"
#include "run/settings.h"

namespace {

using lagwatch::fuzz::check;

// True when `sender` holds a byte that must not reach a header line: below 0x20, or DEL.
bool has_control_byte(const std::string& sender) {
  for (const char c : sender) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return true;
  }
  return false;
}

std::string scratch;

// Runs `call` with descriptor 2 on a scratch file and returns what was written there.
template <typename F>
std::string stderr_of(F call) {
  const std::string path = scratch + "/stderr";
  fflush(stderr);
  const int saved = dup(2);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  check(saved != -1 && fd != -1 && dup2(fd, 2) == 2, "redirect standard error");
  close(fd);
  call();
  fflush(stderr);
  check(dup2(saved, 2) == 2, "restore standard error");
  close(saved);
  return lagwatch::fuzz::read_file(path);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  (void)argc;
  (void)argv;
  // The walk's working directory is the queue directory.
  scratch = lagwatch::fuzz::make_scratch_dir("info");
  for (const char* dir :
       {"/info", "/info/0", "/local", "/local/0", "/remote", "/remote/0", "/mess", "/mess/0"}) {
    check(mkdir((scratch + dir).c_str(), 0700) == 0, "make the scratch queue");
  }
  check(chdir(scratch.c_str()) == 0, "enter the scratch queue");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string content(reinterpret_cast<const char*>(data), size);
  lagwatch::fuzz::write_file(scratch + "/info/0/1", content);

  lagwatch::settings_reset();
  lagwatch::settings.opt_debug = 1;
  lagwatch::settings.opt_age = 0;
  lagwatch::settings.lastrun = 0;
  lagwatch::settings.now = INT64_C(1) << 40;  // every file written now is due
  lagwatch::settings.me = "mx.example";
  const std::string err = stderr_of([] { lagwatch::check_message("0/1"); });
  lagwatch::settings_reset();

  const std::string sender = size >= 2 ? std::string(content.c_str() + 1) : std::string();
  const std::string first_line_start = "lagwatch: filename=0/1 expiry=";
  check(err.compare(0, first_line_start.size(), first_line_start) == 0, "the expiry line first");
  const size_t end_of_first = err.find('\n');
  check(end_of_first != std::string::npos, "the expiry line ends");
  const std::string rest = err.substr(end_of_first + 1);
  if (sender.empty() || sender == "#@[]") {
    check(rest == "lagwatch: ignoring, bounce message\n", "bounces get no notice");
  } else if (has_control_byte(sender)) {
    check(rest == "lagwatch: ignoring, sender has control characters\n",
          "a sender with control bytes gets no notice");
  } else {
    check(rest == "lagwatch: filename=0/1 sender='" + sender + "' undone=0\n",
          "the sender is the bytes after the first, up to the first NUL");
  }
  return 0;
}
