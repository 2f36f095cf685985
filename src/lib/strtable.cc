#include "lib/strtable.h"

#include <cstdlib>
#include <cstring>

#include "lib/keyhash.h"

namespace lagwatch {

const uint32_t strtable_primes[STRTABLE_PRIME_COUNT] = {
    31u,       61u,        127u,       251u,       509u,        1021u,       2039u,
    4093u,     8191u,      16381u,     32749u,     65521u,      131071u,     262139u,
    524287u,   1048573u,   2097143u,   4194301u,   8388593u,    16777213u,   33554393u,
    67108859u, 134217689u, 268435399u, 536870909u, 1073741789u, 2147483647u, 4294967291u,
};

namespace {

constexpr uint32_t kHashSeed = 5381;

// Puts `e` into its home slot or the first empty slot after it, wrapping to slot 0. The
// caller guarantees that an empty slot exists (the load never passes one half).
void place_entry(strtable* t, strtable_entry* e) {
  uint32_t index = e->hash % t->capacity;
  while (t->slots[index] != nullptr) {
    ++index;
    if (index == t->capacity) index = 0;
  }
  t->slots[index] = e;
  ++t->count;
}

// Makes sure the table has room for `need` = 2 * count + 2 slots. Returns 0, leaving the
// table as it was, when no prime is large enough or the new slot array cannot be had.
int grow_for(strtable* t, uint64_t need) {
  if (t->capacity != 0 && t->capacity >= need) return 1;
  int i = 0;
  while (i < STRTABLE_PRIME_COUNT && strtable_primes[i] < need) ++i;
  if (i == STRTABLE_PRIME_COUNT) return 0;
  const uint32_t capacity = strtable_primes[i];
  // The slots hold pointers to entries, not entries: entries never move when the table grows.
  // NOLINTNEXTLINE(bugprone-sizeof-expression)
  const unsigned long bytes = static_cast<unsigned long>(capacity) * sizeof(strtable_entry*);
  auto** slots = static_cast<strtable_entry**>(bytestr_alloc(bytes));
  if (slots == nullptr) return 0;
  memset(slots, 0, bytes);

  strtable_entry** old_slots = t->slots;
  const uint32_t old_capacity = t->capacity;
  t->slots = slots;
  t->capacity = capacity;
  t->count = 0;
  for (uint32_t j = 0; j < old_capacity; ++j) {
    if (old_slots[j] != nullptr) place_entry(t, old_slots[j]);
  }
  free(old_slots);
  return 1;
}

}  // namespace

int strtable_init(strtable* t) {
  t->capacity = 0;
  t->count = 0;
  t->slots = nullptr;
  return 1;
}

int strtable_add(strtable* t, const bytestr* key, uintptr_t value) {
  // The entry and its key copy are made before the table grows, so that a failure at any of
  // the three allocations leaves the table untouched.
  auto* e = static_cast<strtable_entry*>(bytestr_alloc(sizeof(strtable_entry)));
  if (e == nullptr) return 0;
  memset(e, 0, sizeof *e);
  if (!bytestr_set(&e->key, key)) {
    free(e);
    return 0;
  }
  e->hash = strtable_hash(kHashSeed, key->data, key->length);
  e->value = value;

  if (t->slots == nullptr) t->capacity = 0;
  if (!grow_for(t, 2 * static_cast<uint64_t>(t->count) + 2)) {
    free(e->key.data);
    free(e);
    return 0;
  }
  place_entry(t, e);
  return 1;
}

strtable_entry* strtable_get(const strtable* t, const bytestr* key) {
  if (t->capacity == 0 || t->slots == nullptr) return nullptr;
  const uint32_t h = strtable_hash(kHashSeed, key->data, key->length);
  uint32_t index = h % t->capacity;
  for (;;) {
    strtable_entry* e = t->slots[index];
    if (e == nullptr) return nullptr;
    if (e->hash == h && bytestr_compare(&e->key, key) == 0) return e;
    ++index;
    if (index == t->capacity) index = 0;
  }
}

uint32_t strtable_hash(uint32_t seed, const char* p, uint32_t n) { return key_hash(seed, p, n); }

void strtable_free(strtable* t) {
  for (uint32_t i = 0; i < t->capacity && t->slots != nullptr; ++i) {
    strtable_entry* entry = t->slots[i];
    if (entry == nullptr) continue;
    free(entry->key.data);
    free(entry);
  }
  free(t->slots);
  strtable_init(t);
}

}  // namespace lagwatch
