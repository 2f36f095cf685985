#ifndef LAGWATCH_LIB_STRTABLE_H_
#define LAGWATCH_LIB_STRTABLE_H_

#include <cstdint>

#include "lib/bytestr.h"

namespace lagwatch {

// One key and its value. Entries are separate zero-filled allocations that never move, so a
// pointer returned by strtable_get stays valid for the life of the table.
struct strtable_entry {
  uint32_t hash;    // strtable_hash of `key`, kept so that growth never hashes again
  bytestr key;      // the table's own copy of the key
  uintptr_t value;  // handed back with the entry, never interpreted
};

// An open-addressing hash table keyed by byte strings, with linear probing. It only grows and
// is never destroyed. An all-zero value is a valid empty table.
struct strtable {
  uint32_t capacity;       // number of slots: 0, or one of strtable_primes
  uint32_t count;          // entries stored, duplicates included
  strtable_entry** slots;  // `capacity` entry pointers, null for an empty slot
};

// Number of values in strtable_primes.
constexpr int STRTABLE_PRIME_COUNT = 28;

// The slot counts a table goes through: for k = 5..32, the largest prime below 2^k.
extern const uint32_t strtable_primes[STRTABLE_PRIME_COUNT];

// Makes `t` an empty table without slots. Returns 1.
int strtable_init(strtable* t);

// Adds a copy of `key` with `value`, without looking for an equal key first (equal keys are
// stored twice). Returns 1, or 0 when memory ran out or the table is full (more than
// 2,147,483,645 entries); after a 0 the table is exactly as it was.
int strtable_add(strtable* t, const bytestr* key, uintptr_t value);

// Returns the first entry on the key's probe path whose key holds the same bytes as `key`, or
// null when there is none.
strtable_entry* strtable_get(const strtable* t, const bytestr* key);

// Frees every entry and the slots, leaving an empty table. The program never calls it: its
// tables live until the process ends; tests and fuzz targets that load again do.
void strtable_free(strtable* t);

// Returns the hash of the `n` bytes at `p`: h = seed, then h = (h * 33) ^ byte for each byte
// taken as unsigned, modulo 2^32. The table always uses the seed 5381.
uint32_t strtable_hash(uint32_t seed, const char* p, uint32_t n);

}  // namespace lagwatch

#endif  // LAGWATCH_LIB_STRTABLE_H_
