#include "notice/notice.h"

#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "lib/fileio.h"
#include "run/settings.h"

namespace lagwatch {

char mime_boundary[65];

duration_text format_duration(int64_t seconds) {
  duration_text d{};
  const char* unit = "seconds";
  int64_t count = seconds;
  if (seconds >= 86400) {
    unit = "days";
    count = seconds / 86400;
  } else if (seconds >= 3600) {
    unit = "hours";
    count = seconds / 3600;
  } else if (seconds >= 60) {
    unit = "minutes";
    count = seconds / 60;
  }
  snprintf(d.text, sizeof d.text, "%ld %s", static_cast<long>(count), unit);
  return d;
}

namespace {

// Writes `n` blanks. Templates may ask for any width up to INT_MAX, so the blanks go out in
// pieces of a fixed block instead of a buffer of that size.
void write_blanks(FILE* stream, uint64_t n) {
  static const char blanks[64] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                  ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                  ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                  ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                  ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  while (n > 0) {
    const size_t piece = n < sizeof blanks ? static_cast<size_t>(n) : sizeof blanks;
    if (fwrite(blanks, 1, piece, stream) != piece) return;
    n -= piece;
  }
}

// printf's flags, glibc's "'" (thousands grouping) and "I" (locale digits) among them; for a
// string only "-" changes anything.
bool is_flag(char c) {
  return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\'' || c == 'I';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Characters that can stand between "%" and the conversion letter in some printf dialect:
// flags, digits, "." and "*", positional "$" and the length modifiers. A conversion made of
// these is taken whole, so that it is written back exactly as the template has it.
bool is_conversion_inner(char c) {
  return is_flag(c) || is_digit(c) || strchr(".*$'IhlLqjzZt", c) != nullptr;
}

// Reads a decimal number of at most INT_MAX from `*p`, advancing past its digits. Returns
// false when it is larger, as printf fails then.
bool read_count(const char** p, uint64_t* value) {
  uint64_t v = 0;
  bool fits = true;
  while (is_digit(**p)) {
    if (fits) {
      v = v * 10 + static_cast<uint64_t>(**p - '0');
      if (v > INT_MAX) fits = false;
    }
    ++*p;
  }
  *value = v;
  return fits;
}

// A "%s" conversion: printf's "-" flag, field width and precision.
struct string_conversion {
  bool left;
  bool has_precision;
  uint64_t width;
  uint64_t precision;
};

// Returns where the conversion that starts at `percent` ends: after the letter that follows
// its inner characters, or at the end of the template.
const char* conversion_end(const char* percent) {
  const char* end = percent + 1;
  while (*end != '\0' && is_conversion_inner(*end)) ++end;
  return *end != '\0' ? end + 1 : end;
}

// True when the conversion from `percent` to `end` is "%[flags][width][.precision]s" with
// counts printf accepts; the only kind that is expanded. Fills `*conversion`.
bool parse_string_conversion(const char* percent, const char* end, string_conversion* conversion) {
  const char* q = percent + 1;
  for (; is_flag(*q); ++q) {
    if (*q == '-') conversion->left = true;
  }
  bool valid = read_count(&q, &conversion->width);
  if (*q == '.') {
    ++q;
    conversion->has_precision = true;
    valid = read_count(&q, &conversion->precision) && valid;
  }
  return valid && *q == 's' && q + 1 == end;
}

// Writes `arg` (null reads as "") as printf's "%s" with `conversion` would.
void write_string(FILE* stream, const char* arg, const string_conversion& conversion) {
  if (arg == nullptr) arg = "";
  const size_t length = conversion.has_precision
                            ? strnlen(arg, static_cast<size_t>(conversion.precision))
                            : strlen(arg);
  const uint64_t pad = conversion.width > length ? conversion.width - length : 0;
  if (!conversion.left) write_blanks(stream, pad);
  fwrite(arg, 1, length, stream);
  if (conversion.left) write_blanks(stream, pad);
}

// RFC 5322 atext, and the bytes of RFC 6532's UTF-8 addresses.
bool is_atom_byte(unsigned char c) {
  if (c >= 0x80 || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
    return true;
  }
  return c != '\0' && strchr("!#$%&'*+-/=?^_`{|}~", c) != nullptr;
}

bool is_dot_atom(const char* text, size_t n) {
  if (n == 0 || text[0] == '.' || text[n - 1] == '.') return false;
  for (size_t i = 0; i < n; ++i) {
    if (text[i] == '.') {
      if (text[i + 1] == '.') return false;
    } else if (!is_atom_byte(static_cast<unsigned char>(text[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace

uint32_t expand_template(FILE* stream, const char* tmpl, const char* const args[3]) {
  uint32_t used = 0;
  const char* p = tmpl;
  if (p == nullptr) return 0;
  while (*p != '\0') {
    const char* percent = strchr(p, '%');
    if (percent == nullptr) {
      fputs(p, stream);
      break;
    }
    fwrite(p, 1, static_cast<size_t>(percent - p), stream);
    if (percent[1] == '%') {
      fputc('%', stream);
      p = percent + 2;
      continue;
    }
    const char* end = conversion_end(percent);
    string_conversion conversion{};
    if (used < 3 && parse_string_conversion(percent, end, &conversion)) {
      write_string(stream, args[used++], conversion);
    } else {
      fwrite(percent, 1, static_cast<size_t>(end - percent), stream);
    }
    p = end;
  }
  return used;
}

bool recipient_next(recipient_list list, uint32_t* pos, const char** record, uint32_t* size) {
  if (list.data == nullptr || *pos >= list.length || list.data[*pos] == '\0') return false;
  const char* start = list.data + *pos;
  const uint32_t left = list.length - *pos;
  const void* nul = memchr(start, '\0', left);
  // The last record may lack its NUL: it ends with the list's last byte.
  *size = nul != nullptr ? static_cast<uint32_t>(static_cast<const char*>(nul) - start) : left;
  *record = start;
  *pos += *size + 1;
  return true;
}

void write_address(FILE* stream, const char* sender) {
  const char* at = strrchr(sender, '@');
  const size_t local_length = at != nullptr ? static_cast<size_t>(at - sender) : strlen(sender);
  if (is_dot_atom(sender, local_length)) {
    fputs(sender, stream);
    return;
  }
  fputc('"', stream);
  for (size_t i = 0; i < local_length; ++i) {
    if (sender[i] == '"' || sender[i] == '\\') fputc('\\', stream);
    fputc(sender[i], stream);
  }
  fputc('"', stream);
  if (at != nullptr) fputs(at, stream);
}

void mime_boundary_build() {
  static const char digits[] = "0123456789ABCDEF";
  struct timeval tv {};
  // gettimeofday fails only for a bad pointer; tv stays zero then, which still seeds.
  if (gettimeofday(&tv, nullptr) != 0) tv = timeval{};
  const uint32_t seed = static_cast<uint32_t>(tv.tv_sec) ^ static_cast<uint32_t>(tv.tv_usec);
  srandom(seed);
  for (int i = 0; i < 64; ++i) mime_boundary[i] = digits[random() % 16];
  mime_boundary[64] = '\0';
}

namespace {

// Writes "\t" + address + "\n" for every "T" record of `list`, in list order.
void write_recipients(FILE* stream, recipient_list list) {
  uint32_t pos = 0;
  const char* record = nullptr;
  uint32_t size = 0;
  while (recipient_next(list, &pos, &record, &size)) {
    if (record[0] != 'T') continue;
    fputc('\t', stream);
    fwrite(record + 1, 1, size - 1, stream);
    fputc('\n', stream);
  }
}

// Copies the message text from `fd` through one 4096-byte buffer: all of it when `limit` is
// negative, else at most `limit` bytes followed by "[...]" when the limit was reached. A failed
// read ends the copy like the end of the file; a failed write ends it without the marker.
void copy_message(FILE* stream, int fd, int32_t limit) {
  char buffer[4096];
  if (limit < 0) {
    for (;;) {
      const ssize_t got = fd_read(fd, buffer, sizeof buffer);
      if (got <= 0) return;
      if (fwrite(buffer, 1, static_cast<size_t>(got), stream) != static_cast<size_t>(got)) return;
    }
  }
  const uint32_t wanted = static_cast<uint32_t>(limit);
  uint32_t copied = 0;
  while (copied < wanted) {
    const uint32_t room = wanted - copied;
    const size_t ask = room < sizeof buffer ? room : sizeof buffer;
    const ssize_t got = fd_read(fd, buffer, ask);
    if (got <= 0) break;
    if (fwrite(buffer, 1, static_cast<size_t>(got), stream) != static_cast<size_t>(got)) break;
    copied += static_cast<uint32_t>(got);
  }
  if (copied >= wanted) fputs("[...]", stream);
}

// Writes the mail header and, in MIME shape, the header of the text part, up to the empty line.
void write_header(FILE* stream, const char* me, const char* sender, bool mime) {
  fprintf(stream, "From: <MAILER-DAEMON@%s>\nTo: <", me);
  write_address(stream, sender);
  fputs(">\nSubject: delayed delivery notice\n", stream);
  if (mime) {
    mime_boundary_build();
    fprintf(stream,
            "MIME-Version: 1.0\nContent-Type: multipart/mixed; boundary=\"%s\"\n\n"
            "This is a multi-part message in MIME format.\n"
            "(If you can see this message, your E-mail client is not MIME compatible.)\n"
            "--%s\nContent-Type: text/plain; charset=us-ascii\n"
            "Content-Transfer-Encoding: 7bit\n",
            mime_boundary, mime_boundary);
  }
  fputc('\n', stream);
}

// Writes the copy's lead-in, plain or MIME, and the copy of the message text.
void write_copy(FILE* stream, int mess_fd, bool mime) {
  if (mime) {
    fprintf(stream,
            "\nThe following attachment contains a copy of the original message.\n\n"
            "--%s\nContent-Type: message/rfc822\nContent-Disposition: inline\n\n",
            mime_boundary);
  } else {
    fputs("\n--- Below this line is a copy of the original message.\n\n", stream);
  }
  copy_message(stream, mess_fd, settings.opt_copy_bytes);
}

}  // namespace

void write_notice(FILE* stream, const char* sender, recipient_list remote, recipient_list local,
                  int mess_fd) {
  const duration_text age = format_duration(static_cast<int64_t>(settings.opt_age));
  const duration_text lifetime = format_duration(settings.queuelifetime);
  const char* me = settings.me != nullptr ? settings.me : "";
  const bool mime = settings.opt_mime != 0;
  const bool copy = settings.opt_copy_bytes != 0;

  write_header(stream, me, sender, mime);
  const char* const args[3] = {me, age.text, lifetime.text};
  expand_template(stream, settings.notice_template, args);
  fputs("\nRecipient(s):\n", stream);
  write_recipients(stream, local);
  write_recipients(stream, remote);
  if (copy) write_copy(stream, mess_fd, mime);
  if (mime) fprintf(stream, "\n--%s--", mime_boundary);
  if (mime || copy) fputc('\n', stream);
}

}  // namespace lagwatch
