#include "lib/bytestr.h"

#include <cstdlib>
#include <cstring>

namespace lagwatch {

namespace {

bytestr_alloc_fn allocator = nullptr;

// The capacity the growth rule gives for `n` content bytes, or 0 when `n` + 1 or the result
// does not fit in 32 bits (the string would otherwise wrap to a buffer too small for it).
uint32_t grown_capacity(uint32_t n) {
  if (n == UINT32_MAX) return 0;
  uint64_t wide = n;
  uint64_t capacity = (wide + ((wide + 1) >> 3) + 16) & ~uint64_t{15};
  if (capacity > UINT32_MAX) return 0;
  return static_cast<uint32_t>(capacity);
}

// Shared by both reserves: a new buffer of the grown capacity, old content copied when `keep`.
int reserve(bytestr* s, uint32_t n, bool keep) {
  // Exactly n + 1 bytes would be enough, but the rule asks for more so that a string reused as
  // scratch space stops reallocating early.
  if (n != UINT32_MAX && n + 1 < s->capacity) return 1;
  uint32_t capacity = grown_capacity(n);
  if (capacity == 0) return 0;
  char* data = static_cast<char*>(bytestr_alloc(capacity));
  if (data == nullptr) return 0;
  if (s->data != nullptr) {
    if (keep) memcpy(data, s->data, static_cast<size_t>(s->length) + 1);
    free(s->data);
  } else if (keep) {
    // A string that never had a buffer is empty; keeping it means keeping an empty text.
    data[0] = '\0';
  }
  s->data = data;
  s->capacity = capacity;
  return 1;
}

int set_bytes(bytestr* s, const char* p, uint32_t n) {
  if (!reserve(s, n, false)) return 0;
  if (n > 0) memcpy(s->data, p, n);
  s->data[n] = '\0';
  s->length = n;
  return 1;
}

int append_bytes(bytestr* s, const char* p, uint32_t n) {
  if (n > UINT32_MAX - s->length) return 0;
  if (!reserve(s, s->length + n, true)) return 0;
  if (n > 0) memcpy(s->data + s->length, p, n);
  s->length += n;
  s->data[s->length] = '\0';
  return 1;
}

// The length of `text` as a 32-bit count; 0 in `ok` when it does not fit.
uint32_t text_length(const char* text, bool* ok) {
  size_t n = strlen(text);
  *ok = n <= UINT32_MAX;
  return static_cast<uint32_t>(n);
}

}  // namespace

void bytestr_set_allocator(bytestr_alloc_fn fn) { allocator = fn; }

void* bytestr_alloc(unsigned long size) {
  return allocator != nullptr ? allocator(size) : malloc(size);
}

int bytestr_reserve(bytestr* s, uint32_t n) { return reserve(s, n, false); }

int bytestr_reserve_keep(bytestr* s, uint32_t n) { return reserve(s, n, true); }

int bytestr_set_cstr(bytestr* s, const char* text) {
  bool ok;
  uint32_t n = text_length(text, &ok);
  return ok && set_bytes(s, text, n);
}

int bytestr_set_bytes(bytestr* s, const char* p, uint32_t n) { return set_bytes(s, p, n); }

int bytestr_set(bytestr* s, const bytestr* other) {
  return set_bytes(s, other->data, other->length);
}

int bytestr_append_cstr(bytestr* s, const char* text) {
  bool ok;
  uint32_t n = text_length(text, &ok);
  return ok && append_bytes(s, text, n);
}

int bytestr_append_char(bytestr* s, char c) { return append_bytes(s, &c, 1); }

int bytestr_truncate(bytestr* s, uint32_t n) {
  if (!reserve(s, n, true)) return 0;
  if (s->length > n) s->length = n;
  // Beyond the content this NUL lands in unused room; the one after the content still stands.
  s->data[n] = '\0';
  return 1;
}

int bytestr_compare(const bytestr* a, const bytestr* b) {
  uint32_t shorter = a->length < b->length ? a->length : b->length;
  if (shorter > 0) {
    int order = memcmp(a->data, b->data, shorter);
    if (order != 0) return order;
  }
  if (a->length == b->length) return 0;
  return a->length < b->length ? -1 : 1;
}

}  // namespace lagwatch
