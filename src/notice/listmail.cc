#include "notice/listmail.h"

#include <cstring>

namespace lagwatch {

namespace {

// What a field's value must be for the field to withhold the notice.
enum field_test : int {
  ANY_VALUE,        // the field's presence is enough
  BULK_PRECEDENCE,  // "bulk", "list" or "junk"
  AUTOMATIC,        // a first word other than "no"
};

struct field_rule {
  const char* name;
  field_test test;
};

// The list headers of RFC 2369 and RFC 2919, the older "Mailing-List" that list managers still
// write, the de-facto "Precedence", and RFC 3834's "Auto-Submitted".
const field_rule rules[] = {
    {"List-Id", ANY_VALUE},        {"List-Post", ANY_VALUE},        {"List-Help", ANY_VALUE},
    {"List-Subscribe", ANY_VALUE}, {"List-Unsubscribe", ANY_VALUE}, {"List-Owner", ANY_VALUE},
    {"List-Archive", ANY_VALUE},   {"Mailing-List", ANY_VALUE},     {"Precedence", BULK_PRECEDENCE},
    {"Auto-Submitted", AUTOMATIC},
};

// Longer than every name and value word above, so that a cut copy never compares equal.
constexpr uint32_t kWordRoom = 24;

bool is_blank(int c) { return c == ' ' || c == '\t'; }

char ascii_lower(int c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c); }

// True when the `n` bytes at `word` are `text` (all of it), ASCII case ignored.
bool same_word(const char* word, uint32_t n, const char* text) {
  if (strlen(text) != n) return false;
  for (uint32_t i = 0; i < n; ++i) {
    if (word[i] != ascii_lower(static_cast<unsigned char>(text[i]))) return false;
  }
  return true;
}

// A field unfolded: its bytes from `p` to `end` without the line ends between its lines ("\n"
// and a "\r" right before it), so continuation lines go on where the line above stopped.
struct unfolded {
  const char* p;
  const char* end;
};

// Returns the next byte of the field as unsigned, or -1 at its end.
int unfolded_next(unfolded* f) {
  while (f->p < f->end) {
    const auto c = static_cast<unsigned char>(*f->p++);
    if (c == '\n') continue;
    if (c == '\r' && f->p < f->end && *f->p == '\n') {
      ++f->p;
      continue;
    }
    return c;
  }
  return -1;
}

// A word of the field, lowered, and its whole length (which may exceed the room kept).
struct word {
  char bytes[kWordRoom];
  uint32_t length;
  bool stopped;  // a byte that ends the word ended it, rather than the field's end
};

// Reads the word at the reader's position up to the first byte for which `stop` (when not null)
// is true, taking that byte too, or up to the field's end. Leading blanks are skipped when
// `skip_blanks`; trailing blanks are never counted in the length.
word read_word(unfolded* f, bool (*stop)(int), bool skip_blanks) {
  word w{};
  uint32_t taken = 0;
  int c = unfolded_next(f);
  while (skip_blanks && is_blank(c)) c = unfolded_next(f);
  for (; c != -1; c = unfolded_next(f)) {
    if (stop != nullptr && stop(c)) {
      w.stopped = true;
      break;
    }
    if (taken < kWordRoom) w.bytes[taken] = ascii_lower(c);
    ++taken;
    if (!is_blank(c)) w.length = taken;
  }
  return w;
}

bool is_colon(int c) { return c == ':'; }
bool ends_value_word(int c) { return c == ';' || c == '(' || is_blank(c); }

bool word_is(const word& w, const char* text) {
  return w.length <= kWordRoom && same_word(w.bytes, w.length, text);
}

// True when the value read by `f` (after the colon) makes the field withhold the notice.
bool value_withholds(unfolded* f, field_test test) {
  if (test == ANY_VALUE) return true;
  if (test == AUTOMATIC) return !word_is(read_word(f, ends_value_word, true), "no");
  const word value = read_word(f, nullptr, true);
  return word_is(value, "bulk") || word_is(value, "list") || word_is(value, "junk");
}

// Returns the rule's name when the field from `start` to `end` (the line ends between its lines
// included, its own not) withholds the notice, else null. A line without a colon is no field.
const char* field_withholds(const char* start, const char* end) {
  unfolded f{start, end};
  const word name = read_word(&f, is_colon, false);
  if (!name.stopped) return nullptr;
  for (const field_rule& rule : rules) {
    if (word_is(name, rule.name)) return value_withholds(&f, rule.test) ? rule.name : nullptr;
  }
  return nullptr;
}

// The end of the line at `pos` before its line end ("\n" or "\r\n"), and in `*next` the start
// of the line after it (`n` when none follows).
uint32_t line_end(const char* text, uint32_t pos, uint32_t n, uint32_t* next) {
  const void* feed = memchr(text + pos, '\n', n - pos);
  if (feed == nullptr) {
    *next = n;
    return n;
  }
  const auto at = static_cast<uint32_t>(static_cast<const char*>(feed) - text);
  *next = at + 1;
  return at > pos && text[at - 1] == '\r' ? at - 1 : at;
}

}  // namespace

const char* listmail_field(const char* text, uint32_t length) {
  const uint32_t n = length < LISTMAIL_HEADER_LIMIT ? length : LISTMAIL_HEADER_LIMIT;
  uint32_t pos = 0;
  while (pos < n) {
    uint32_t next = 0;
    uint32_t end = line_end(text, pos, n, &next);
    if (end == pos) return nullptr;  // the empty line after the header
    while (next < n && is_blank(text[next])) end = line_end(text, next, n, &next);
    // Continuation lines before the first field belong to none.
    if (!is_blank(text[pos])) {
      const char* name = field_withholds(text + pos, text + end);
      if (name != nullptr) return name;
    }
    pos = next;
  }
  return nullptr;
}

}  // namespace lagwatch
