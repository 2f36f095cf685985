// Fuzzes the notice writer with arbitrary message texts (they come from strangers), senders,
// copy limits (-b) and both shapes (plain and MIME).
//
// Input: one byte of flags (bit 0: MIME; bits 1-2: copy mode: whole, none, or a limit), two
// bytes of limit, the sender up to a NUL, and the rest the message text, read from a memory
// file as qmail's mess file would be.
//
// Properties: the notice is exactly the header (the sender's local part in double quotes, with
// a backslash before '"' and '\', when it is not a dot-atom), the MIME header when asked for (with
// the boundary the writer chose: 64 characters of 0-9A-F), the expanded template, the recipient
// lines, and the copy: the whole text, nothing, or its first N bytes followed by "[...]"
// exactly when N bytes were copied; the closing boundary line in MIME shape; the final line
// feed. Nothing of the message text beyond N is written.

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_common.h"
#include "notice/notice.h"
#include "run/settings.h"

namespace {

using lagwatch::fuzz::check;

std::string duration(int64_t v) {
  if (v >= 86400) return std::to_string(v / 86400) + " days";
  if (v >= 3600) return std::to_string(v / 3600) + " hours";
  if (v >= 60) return std::to_string(v / 60) + " minutes";
  return std::to_string(v) + " seconds";
}

// The sender as the To: line must show it. The local part (before the last "@", or all of a
// sender without one) stays bare only as an RFC 5322 dot-atom, UTF-8 bytes allowed: atext runs
// joined by single dots. Anything else would not parse as an address, so it is quoted.
std::string to_address(const std::string& sender) {
  const size_t at = sender.rfind('@');
  const std::string local = sender.substr(0, at);
  const std::string domain = at == std::string::npos ? "" : sender.substr(at);
  static const std::string kAtextSigns = "!#$%&'*+-/=?^_`{|}~";
  bool dot_atom = !local.empty() && local.front() != '.' && local.back() != '.' &&
                  local.find("..") == std::string::npos;
  for (const char c : local) {
    const auto byte = static_cast<unsigned char>(c);
    const bool alnum = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                       (byte >= '0' && byte <= '9');
    if (!alnum && byte < 0x80 && c != '.' && kAtextSigns.find(c) == std::string::npos) {
      dot_atom = false;
    }
  }
  if (dot_atom) return sender;
  std::string quoted = "\"";
  for (const char c : local) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"" + domain;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lagwatch::fuzz::byte_source in = lagwatch::fuzz::source_of(data, size);
  const uint8_t flags = take_u8(&in);
  const uint16_t limit = take_u16(&in);
  const std::string sender = take_until(&in, 0);
  const std::string mess = take_rest(&in);
  const bool mime = (flags & 1) != 0;
  const int copy_mode = (flags >> 1) & 3;
  const int32_t copy_bytes = copy_mode == 0 ? -1 : copy_mode == 1 ? 0 : 1 + limit % 9000;

  const int fd = memfd_create("mess", MFD_CLOEXEC);
  check(fd != -1, "memfd_create");
  size_t done = 0;
  while (done < mess.size()) {
    const ssize_t n = write(fd, mess.data() + done, mess.size() - done);
    check(n > 0, "write the message text");
    done += static_cast<size_t>(n);
  }
  check(lseek(fd, 0, SEEK_SET) == 0, "rewind the message text");

  lagwatch::settings_reset();
  lagwatch::settings.me = "mx.example";
  lagwatch::settings.opt_mime = mime ? 1 : 0;
  lagwatch::settings.opt_copy_bytes = copy_bytes;
  lagwatch::settings.opt_age = static_cast<int32_t>(limit) - 1000;
  lagwatch::settings.queuelifetime = 604800;
  lagwatch::settings.notice_template = "Held at %s for %s of %s.\n";
  static const char kRemote[] = "Tbob@remote.example\0Dcarol@remote.example\0";
  static const char kLocal[] = "Tlocal@mx.example";
  const lagwatch::recipient_list remote{kRemote, sizeof kRemote - 1};
  const lagwatch::recipient_list local{kLocal, sizeof kLocal - 1};

  char* text = nullptr;
  size_t text_size = 0;
  FILE* stream = open_memstream(&text, &text_size);
  check(stream != nullptr, "open_memstream");
  // The sender as a C string, as the info file gives it.
  lagwatch::write_notice(stream, sender.c_str(), remote, local, fd);
  check(fclose(stream) == 0, "close the memory stream");
  (void)close(fd);
  const std::string out(text, text_size);
  free(text);

  const std::string boundary = mime ? std::string(lagwatch::mime_boundary) : "";
  if (mime) {
    check(boundary.size() == 64 &&
              boundary.find_first_not_of("0123456789ABCDEF") == std::string::npos,
          "the boundary is 64 characters of 0-9A-F");
  }
  std::string expected = "From: <MAILER-DAEMON@mx.example>\nTo: <" +
                         to_address(std::string(sender.c_str())) +
                         ">\nSubject: delayed delivery notice\n";
  if (mime) {
    expected += "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"" + boundary +
                "\"\n\nThis is a multi-part message in MIME format.\n(If you can see this "
                "message, your E-mail client is not MIME compatible.)\n--" +
                boundary + "\nContent-Type: text/plain; charset=us-ascii\n" +
                "Content-Transfer-Encoding: 7bit\n";
  }
  expected += "\nHeld at mx.example for " +
              duration(static_cast<int64_t>(lagwatch::settings.opt_age)) + " of 7 days.\n";
  expected += "\nRecipient(s):\n\tlocal@mx.example\n\tbob@remote.example\n";
  if (copy_bytes != 0) {
    if (mime) {
      expected += "\nThe following attachment contains a copy of the original message.\n\n--" +
                  boundary + "\nContent-Type: message/rfc822\nContent-Disposition: inline\n\n";
    } else {
      expected += "\n--- Below this line is a copy of the original message.\n\n";
    }
    if (copy_bytes < 0) {
      expected += mess;
    } else {
      const size_t n = static_cast<size_t>(copy_bytes);
      expected += mess.substr(0, n);
      if (mess.size() >= n) expected += "[...]";
    }
  }
  if (mime) expected += "\n--" + boundary + "--";
  if (mime || copy_bytes != 0) expected += "\n";
  lagwatch::settings_reset();
  check(out == expected, "the notice is exactly its pieces in order");
  return 0;
}
