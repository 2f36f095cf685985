#include "lib/keyhash.h"

namespace lagwatch {

uint32_t key_hash(uint32_t seed, const char* p, uint32_t n) {
  uint32_t h = seed;
  const auto* bytes = reinterpret_cast<const unsigned char*>(p);
  for (uint32_t i = 0; i < n; ++i) h = (h * 33) ^ bytes[i];
  return h;
}

}  // namespace lagwatch
