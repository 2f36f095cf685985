#ifndef LAGWATCH_LIB_BYTESTR_H_
#define LAGWATCH_LIB_BYTESTR_H_

#include <cstdint>

namespace lagwatch {

// A growable byte string that owns its buffer and keeps a NUL after its content.
// An all-zero value is the empty string; there is no release operation.
struct bytestr {
  char* data;
  uint32_t length;
  uint32_t capacity;
};

// Every operation but bytestr_compare returns 1, or 0 when memory could not be had (or the
// requested length does not fit in 32 bits), leaving the string exactly as it was.

// Makes the content the bytes of `text` before its NUL.
int bytestr_set_cstr(bytestr* s, const char* text);

// Makes the content a copy of the `n` bytes at `p` (NULs included).
int bytestr_set_bytes(bytestr* s, const char* p, uint32_t n);

// Makes the content a copy of `other`'s content. `other` must not be `s`.
int bytestr_set(bytestr* s, const bytestr* other);

// Appends the bytes of `text` before its NUL.
int bytestr_append_cstr(bytestr* s, const char* text);

// Appends one byte.
int bytestr_append_char(bytestr* s, char c);

// Makes the length at most `n` and makes room for `n` bytes. With n = 0 it empties the string
// and makes sure it has a buffer.
int bytestr_truncate(bytestr* s, uint32_t n);

// Returns 0 when both hold the same bytes, otherwise non-zero.
int bytestr_compare(const bytestr* a, const bytestr* b);

// Makes room for `n` content bytes and the NUL; the old content is lost when a new buffer
// is needed.
int bytestr_reserve(bytestr* s, uint32_t n);

// Makes room for `n` content bytes and the NUL, keeping the content.
int bytestr_reserve_keep(bytestr* s, uint32_t n);

// Allocation used by bytestr (and the hash table), replaceable so that tests can make it fail.
// Null restores the C library's malloc.
using bytestr_alloc_fn = void* (*)(unsigned long size);
void bytestr_set_allocator(bytestr_alloc_fn fn);
void* bytestr_alloc(unsigned long size);

}  // namespace lagwatch

#endif  // LAGWATCH_LIB_BYTESTR_H_
