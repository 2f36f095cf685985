// Fuzzes the string-keyed hash table against a model (a multiset of keys), with allocations
// that fail when the input says so.
//
// Properties: every key added is found (an entry with the same bytes, its value one of the
// values added for that key); a key never added is not found; count is the number of
// successful adds; a failed add leaves capacity, count and the slot array as they were; the
// load never passes one half; the hash is the times-33 XOR rule.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "lib/bytestr.h"
#include "lib/strtable.h"

namespace {

using lagwatch::fuzz::check;

uint64_t fail_bits;
unsigned allocations;

void* failing_alloc(unsigned long size) {
  const unsigned i = allocations++;
  if (i < 64 && ((fail_bits >> i) & 1) != 0) return nullptr;
  return malloc(size);
}

uint32_t reference_hash(const std::string& key) {
  uint32_t h = 5381;
  for (unsigned char b : key) h = (h * 33) ^ b;
  return h;
}

void release(lagwatch::strtable* t) {
  for (uint32_t i = 0; i < t->capacity && t->slots != nullptr; ++i) {
    if (t->slots[i] == nullptr) continue;
    free(t->slots[i]->key.data);
    free(t->slots[i]);
  }
  free(t->slots);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lagwatch::fuzz::byte_source in = lagwatch::fuzz::source_of(data, size);
  fail_bits = 0;
  for (int i = 0; i < 8; ++i) fail_bits |= static_cast<uint64_t>(take_u8(&in)) << (8 * i);
  allocations = 0;

  lagwatch::strtable table{};
  std::map<std::string, std::set<uintptr_t>> model;
  uint32_t added = 0;
  uintptr_t next_value = 1;
  int ops = 0;
  while (!source_empty(&in) && ops < 200) {
    ++ops;
    const uint8_t op = take_u8(&in);
    // Keys are short so that collisions of hash and of home slot are common.
    const std::string key = take_bytes(&in, op >> 5);
    lagwatch::bytestr k{};
    lagwatch::bytestr_set_allocator(nullptr);
    check(lagwatch::bytestr_set_bytes(&k, key.data(), static_cast<uint32_t>(key.size())) == 1,
          "scratch key");
    check(lagwatch::strtable_hash(5381, k.data, k.length) == reference_hash(key),
          "hash follows the times-33 XOR rule");
    if ((op & 1) != 0) {
      const uint32_t capacity = table.capacity;
      lagwatch::strtable_entry** slots = table.slots;
      lagwatch::bytestr_set_allocator(failing_alloc);
      const int result = lagwatch::strtable_add(&table, &k, next_value);
      lagwatch::bytestr_set_allocator(nullptr);
      if (result == 1) {
        model[key].insert(next_value);
        ++added;
      } else {
        check(result == 0, "add returns 0 or 1");
        check(table.capacity == capacity && table.slots == slots && table.count == added,
              "a failed add leaves the table as it was");
      }
      ++next_value;
    } else {
      const lagwatch::strtable_entry* e = lagwatch::strtable_get(&table, &k);
      const auto found = model.find(key);
      if (found == model.end()) {
        check(e == nullptr, "a key never added is not found");
      } else {
        check(e != nullptr, "an added key is found");
        check(e->key.length == key.size() && memcmp(e->key.data, key.data(), key.size()) == 0,
              "the entry found holds the same bytes");
        check(found->second.count(e->value) == 1, "the entry's value was added with the key");
        check(e->hash == reference_hash(key), "the entry keeps its key's hash");
      }
    }
    free(k.data);
    check(table.count == added, "count is the number of successful adds");
    check(table.capacity == 0 || 2ull * table.count <= table.capacity, "load at most one half");
  }
  // Finally every key of the model is still found.
  for (const auto& [key, values] : model) {
    lagwatch::bytestr k{};
    check(lagwatch::bytestr_set_bytes(&k, key.data(), static_cast<uint32_t>(key.size())) == 1,
          "scratch key");
    const lagwatch::strtable_entry* e = lagwatch::strtable_get(&table, &k);
    check(e != nullptr && values.count(e->value) == 1, "every key added stays findable");
    free(k.data);
  }
  release(&table);
  return 0;
}
