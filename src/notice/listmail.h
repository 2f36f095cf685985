#ifndef LAGWATCH_NOTICE_LISTMAIL_H_
#define LAGWATCH_NOTICE_LISTMAIL_H_

#include <cstdint>

namespace lagwatch {

// Mail that must get no delay notice: a list's mail (a list manager counts whatever reaches its
// bounce address as a failed delivery to that subscriber), bulk mail, and mail that a program
// sent on its own (RFC 3834: no automatic answer to automatic mail). The message's header says
// which it is.

// The most of a message's text that listmail_field looks at: the header is read from its start
// up to the first empty line, but never past this many bytes.
constexpr uint32_t LISTMAIL_HEADER_LIMIT = 65536;

// Returns the name of the first field of the message header at the start of the `length` bytes
// of `text` (at most LISTMAIL_HEADER_LIMIT of them) that marks list, bulk or automatic mail, or
// null when none does. The header ends at the first line that is empty or holds only "\r"; a
// header without one ends with the bytes. The fields, their names spelled as returned:
// "List-Id", "List-Post", "List-Help", "List-Subscribe", "List-Unsubscribe", "List-Owner",
// "List-Archive" and "Mailing-List" with any value; "Precedence" whose value, blanks trimmed, is
// "bulk", "list" or "junk"; "Auto-Submitted" whose value's first word (up to a ";", "(" or
// blank, after leading blanks) is anything but "no". Names and values compare without regard
// to ASCII case, blanks may stand before the colon, a line that begins with a blank or tab
// continues the field above, and a "\r" before a line feed belongs to the line's end. Reads no
// byte past text[length - 1].
const char* listmail_field(const char* text, uint32_t length);

}  // namespace lagwatch

#endif  // LAGWATCH_NOTICE_LISTMAIL_H_
