// Fuzzes the growable byte string against a model (std::string), with allocations that fail
// when the input says so.
//
// Properties: after every operation the content equals the model and is followed by a NUL,
// the capacity exceeds the length, a failed operation (0) leaves the string exactly as it was
// (same buffer, length, capacity and bytes), and the capacity follows the growth rule
// (n + (n + 1) / 8 + 16, rounded down to a multiple of 16) whenever the buffer was replaced.

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_common.h"
#include "lib/bytestr.h"

namespace {

using lagwatch::bytestr;
using lagwatch::fuzz::check;

// Allocation number i fails when bit i of `fail_bits` is set (the first 64 allocations).
uint64_t fail_bits;
unsigned allocations;

void* failing_alloc(unsigned long size) {
  const unsigned i = allocations++;
  if (i < 64 && ((fail_bits >> i) & 1) != 0) return nullptr;
  return malloc(size);
}

uint32_t growth_rule(uint32_t n) {
  const uint64_t wide = n;
  return static_cast<uint32_t>((wide + ((wide + 1) >> 3) + 16) & ~uint64_t{15});
}

void check_matches(const bytestr& s, const std::string& model) {
  check(s.length == model.size(), "length equals the model's");
  if (s.data == nullptr) {
    check(model.empty() && s.capacity == 0, "no buffer only while empty");
    return;
  }
  check(s.capacity > s.length, "room for the NUL");
  check(memcmp(s.data, model.data(), model.size()) == 0, "content equals the model's");
  check(s.data[s.length] == '\0', "a NUL after the content");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lagwatch::fuzz::byte_source in = lagwatch::fuzz::source_of(data, size);
  fail_bits = 0;
  for (int i = 0; i < 8; ++i) fail_bits |= static_cast<uint64_t>(take_u8(&in)) << (8 * i);
  allocations = 0;
  lagwatch::bytestr_set_allocator(failing_alloc);

  bytestr s{};
  bytestr other{};
  std::string model;
  int ops = 0;
  while (!source_empty(&in) && ops < 48) {
    ++ops;
    const bytestr before = s;
    const std::string before_bytes = s.data != nullptr ? std::string(s.data, s.length + 1) : "";
    const uint8_t op = take_u8(&in) % 8;
    std::string next = model;
    int result = 0;
    uint32_t requested = 0;  // content bytes the operation needs room for
    switch (op) {
      case 0: {  // set_bytes with NULs allowed
        const std::string bytes = take_bytes(&in, take_u8(&in));
        std::vector<char> copy(bytes.begin(), bytes.end());
        result = lagwatch::bytestr_set_bytes(&s, copy.data(), static_cast<uint32_t>(copy.size()));
        next = bytes;
        requested = static_cast<uint32_t>(bytes.size());
        break;
      }
      case 1: {
        const std::string text = take_until(&in, 0);
        result = lagwatch::bytestr_set_cstr(&s, text.c_str());
        next = text;
        requested = static_cast<uint32_t>(text.size());
        break;
      }
      case 2: {
        const std::string text = take_until(&in, 0);
        result = lagwatch::bytestr_append_cstr(&s, text.c_str());
        next = model + text;
        requested = static_cast<uint32_t>(next.size());
        break;
      }
      case 3: {
        const char c = static_cast<char>(take_u8(&in));
        result = lagwatch::bytestr_append_char(&s, c);
        next = model + c;
        requested = static_cast<uint32_t>(next.size());
        break;
      }
      case 4: {
        const uint32_t n = take_u8(&in);
        result = lagwatch::bytestr_truncate(&s, n);
        next = model.substr(0, n < model.size() ? n : model.size());
        requested = n;
        break;
      }
      case 5: {  // reserve_keep keeps the content
        const uint32_t n = take_u16(&in) % 1024;
        result = lagwatch::bytestr_reserve_keep(&s, n);
        requested = n;
        break;
      }
      case 6: {  // copy from another string, then compare both ways
        const std::string text = take_until(&in, 0);
        if (lagwatch::bytestr_set_cstr(&other, text.c_str())) {
          result = lagwatch::bytestr_set(&s, &other);
          next = text;
          requested = static_cast<uint32_t>(text.size());
          if (result == 1) {
            check(lagwatch::bytestr_compare(&s, &other) == 0, "a copy compares equal");
          }
        } else {
          result = -1;  // nothing was done to `s`
        }
        break;
      }
      case 7: {  // requests beyond 32 bits fail and change nothing
        result = lagwatch::bytestr_reserve_keep(&s, UINT32_MAX);
        check(result == 0, "a request of 2^32 - 1 content bytes fails");
        break;
      }
    }
    if (result == 1) {
      if (op != 5 && op != 7) model = next;
      check_matches(s, model);
      if (s.data != before.data) {
        check(s.capacity == growth_rule(requested), "a new buffer follows the growth rule");
      }
      check(s.capacity > requested, "room for the requested bytes and the NUL");
    } else {
      check(result == 0 || result == -1, "operations return 0 or 1");
      check(s.data == before.data && s.length == before.length && s.capacity == before.capacity,
            "a failed operation leaves the record as it was");
      check(s.data == nullptr || std::string(s.data, s.length + 1) == before_bytes,
            "a failed operation leaves the bytes as they were");
    }
    // Comparison with an independent string agrees with the model.
    bytestr probe{};
    const std::string probe_text = model.substr(0, model.size() / 2);
    lagwatch::bytestr_set_allocator(nullptr);
    if (lagwatch::bytestr_set_bytes(&probe, probe_text.data(),
                                    static_cast<uint32_t>(probe_text.size()))) {
      const bool equal = probe_text == model;
      check((lagwatch::bytestr_compare(&s, &probe) == 0) == equal, "compare agrees with model");
    }
    free(probe.data);
    lagwatch::bytestr_set_allocator(failing_alloc);
  }
  lagwatch::bytestr_set_allocator(nullptr);
  free(s.data);
  free(other.data);
  return 0;
}
