#ifndef LAGWATCH_NOTICE_NOTICE_H_
#define LAGWATCH_NOTICE_NOTICE_H_

#include <cstdint>
#include <cstdio>

namespace lagwatch {

// One of qmail's recipient files as read whole: `length` bytes of records, each a state byte
// ("T" = not yet delivered) and an address, ended by a NUL; the last record may lack its NUL.
// The list ends at an empty record or after `length` bytes. No byte at or past data[length] is
// ever read. An all-zero value is the empty list.
struct recipient_list {
  const char* data;
  uint32_t length;
};

// Steps through the records of `list`: from *pos (0 for the first record) it finds the next
// record, stores its start in *record and its length without the NUL in *size (at least 1),
// and moves *pos past it. Returns false at the end of the list.
bool recipient_next(recipient_list list, uint32_t* pos, const char** record, uint32_t* size);

// Writes `sender` as the address of a To: line. A local part (before the last "@", or the
// whole sender without one) that is not a dot-atom of RFC 5322 atext (bytes of 0x80 and up
// allowed) is written in double quotes, with a backslash before each '"' and '\'; the domain is
// written as it is.
void write_address(FILE* stream, const char* sender);

// The rendering of a count of seconds: "N days", "N hours", "N minutes" or "N seconds".
struct duration_text {
  char text[32];  // NUL-terminated; at most 28 characters
};

// Renders `seconds` in the largest whole unit it reaches, truncating, with no singular form;
// a negative count is shown in seconds with its sign.
duration_text format_duration(int64_t seconds);

// Writes `tmpl` to `stream` as printf would with the three string arguments `args`, without
// ever handing the template to printf: "%s" with the flags "-+ #0", a decimal width and a
// decimal precision takes the next argument; "%%" gives "%". Every other conversion, "%s"
// after the third one, a conversion with "*" and a "%" at the end are written literally as
// they stand. Never reads past args[2] and never stores anything. Returns the number of
// arguments used (0 to 3). Write errors are left in the stream's error state.
uint32_t expand_template(FILE* stream, const char* tmpl, const char* const args[3]);

// The boundary of the MIME notice being written: 64 characters of 0-9A-F and a NUL.
extern char mime_boundary[65];

// Refills mime_boundary from random() after seeding srandom() from the time of day.
void mime_boundary_build();

// Writes one notice to `sender` onto `stream`: header, the expanded notice template, the "T"
// recipients of `local` then of `remote`, and (unless settings.opt_copy_bytes is 0) a copy of
// the queued message read from `mess_fd`, plain or MIME as settings.opt_mime says. Requires
// an open `mess_fd` when a copy is wanted (it is neither closed nor needed otherwise). Neither
// flushes nor closes the stream; write errors are left in the stream's error state.
void write_notice(FILE* stream, const char* sender, recipient_list remote, recipient_list local,
                  int mess_fd);

}  // namespace lagwatch

#endif  // LAGWATCH_NOTICE_NOTICE_H_
