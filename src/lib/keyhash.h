#ifndef LAGWATCH_LIB_KEYHASH_H_
#define LAGWATCH_LIB_KEYHASH_H_

#include <cstdint>

namespace lagwatch {

// The one hash of keys that the hash table and the cdb format share: h = seed, then
// h = (h * 33) ^ byte for each of the `n` bytes at `p` taken as unsigned, modulo 2^32. Both
// use the seed 5381; the cdb files qmail's tools write depend on exactly this function.
uint32_t key_hash(uint32_t seed, const char* p, uint32_t n);

}  // namespace lagwatch

#endif  // LAGWATCH_LIB_KEYHASH_H_
