// Fuzzes the recipient lists of a notice: count_undone and the recipient lines that
// write_notice writes, on arbitrary bytes that do not end in a NUL.
//
// Input: a two-byte length, that many bytes of the local list, the rest the remote list. Each
// list lies in a heap buffer of exactly its length, so AddressSanitizer reports a read of the
// byte after it.
//
// Properties: count_undone is the number of records that begin with "T" before the first empty
// record or the end of the bytes (a last record without its NUL counts); the notice (plain, no
// copy, empty template) is exactly the header, "\nRecipient(s):\n", and one "\t" + address +
// "\n" line for each such record, local list first.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "notice/dispatch.h"
#include "notice/notice.h"
#include "run/settings.h"

namespace {

using lagwatch::fuzz::check;

struct model_list {
  uint32_t undone;
  std::string lines;
};

model_list model_of(const std::string& bytes) {
  model_list m{0, ""};
  size_t pos = 0;
  while (pos < bytes.size() && bytes[pos] != '\0') {
    size_t end = bytes.find('\0', pos);
    if (end == std::string::npos) end = bytes.size();
    if (bytes[pos] == 'T') {
      ++m.undone;
      m.lines += "\t" + bytes.substr(pos + 1, end - pos - 1) + "\n";
    }
    pos = end + 1;
  }
  return m;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lagwatch::fuzz::byte_source in = lagwatch::fuzz::source_of(data, size);
  const std::string local_bytes = take_bytes(&in, take_u16(&in));
  const std::string remote_bytes = take_rest(&in);
  // Exact-size copies: no NUL after the last byte, and nothing readable past it.
  std::vector<char> local_copy(local_bytes.begin(), local_bytes.end());
  std::vector<char> remote_copy(remote_bytes.begin(), remote_bytes.end());
  const lagwatch::recipient_list local{local_copy.empty() ? nullptr : local_copy.data(),
                                       static_cast<uint32_t>(local_copy.size())};
  const lagwatch::recipient_list remote{remote_copy.empty() ? nullptr : remote_copy.data(),
                                        static_cast<uint32_t>(remote_copy.size())};

  const model_list local_model = model_of(local_bytes);
  const model_list remote_model = model_of(remote_bytes);
  check(lagwatch::count_undone(local) == local_model.undone, "count_undone of the local list");
  check(lagwatch::count_undone(remote) == remote_model.undone, "count_undone of the remote list");

  lagwatch::settings_reset();
  lagwatch::settings.me = "mx.example";
  lagwatch::settings.opt_copy_bytes = 0;
  lagwatch::settings.notice_template = "";
  char* text = nullptr;
  size_t text_size = 0;
  FILE* stream = open_memstream(&text, &text_size);
  check(stream != nullptr, "open_memstream");
  lagwatch::write_notice(stream, "s@example.org", remote, local, -1);
  check(fclose(stream) == 0, "close the memory stream");
  const std::string expected =
      "From: <MAILER-DAEMON@mx.example>\nTo: <s@example.org>\nSubject: delayed delivery "
      "notice\n\n\nRecipient(s):\n" +
      local_model.lines + remote_model.lines;
  check(std::string(text, text_size) == expected, "the recipient lines, local list first");
  free(text);
  lagwatch::settings_reset();
  return 0;
}
