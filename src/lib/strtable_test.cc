#include "lib/strtable.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/bytestr.h"

namespace lagwatch {
namespace {

// A key string that frees its buffer when the test leaves its scope.
struct Key {
  bytestr s{};
  explicit Key(const std::string& text) {
    if (!bytestr_set_bytes(&s, text.data(), static_cast<uint32_t>(text.size()))) abort();
  }
  ~Key() { free(s.data); }
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
};

uint32_t hash_of(const std::string& text) {
  return strtable_hash(5381, text.data(), static_cast<uint32_t>(text.size()));
}

// Frees what a table owns; the program never does, but a test that leaked would upset the leak
// checker of sanitizer builds.
void release_table(strtable* t) {
  for (uint32_t i = 0; i < t->capacity; ++i) {
    if (t->slots[i] == nullptr) continue;
    free(t->slots[i]->key.data);
    free(t->slots[i]);
  }
  free(t->slots);
  strtable_init(t);
}

// A table that is released when the test leaves its scope.
struct ScopedTable {
  strtable t{};
  ~ScopedTable() { release_table(&t); }
};

// Keys "k0", "k1", ... that are all distinct.
std::string numbered_key(int i) { return std::string("k").append(std::to_string(i)); }

// Allocation that fails on the `fail_at`-th call counted from the last reset (1-based).
int allocations_seen = 0;
int fail_at = 0;
void* failing_alloc(unsigned long size) {
  ++allocations_seen;
  if (allocations_seen == fail_at) return nullptr;
  return malloc(size);
}

class AllocatorGuard {
 public:
  explicit AllocatorGuard(int fail_on) {
    allocations_seen = 0;
    fail_at = fail_on;
    bytestr_set_allocator(failing_alloc);
  }
  ~AllocatorGuard() { bytestr_set_allocator(nullptr); }
};

bool is_prime(uint64_t n) {
  if (n < 2) return false;
  for (uint64_t d = 2; d * d <= n; ++d) {
    if (n % d == 0) return false;
  }
  return true;
}

TEST(StrtableHash, FollowsTheTimes33XorRule) {
  struct Case {
    const char* name;
    std::string key;
    uint32_t want;
  };
  const Case cases[] = {
      {"EmptyKeyIsTheSeed", "", 5381u},
      {"ThreeLetters", "abc", 193409669u},
      {"HighByteCountsAsUnsigned", "\x80", 177445u},
      {"ByteFFCountsAsUnsigned", "\xff", (5381u * 33u) ^ 255u},
      {"EmbeddedNulTakesPart", std::string("a\0b", 3),
       ((((5381u * 33u) ^ 'a') * 33u) ^ 0u) * 33u ^ 'b'},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hash_of(c.key), c.want) << c.name;
  }
}

TEST(StrtableHash, UsesTheGivenSeed) {
  EXPECT_EQ(strtable_hash(0, "a", 1), static_cast<uint32_t>('a'));
  EXPECT_EQ(strtable_hash(1, nullptr, 0), 1u);
}

TEST(StrtablePrimes, AreTheLargestPrimeBelowEachPowerOfTwo) {
  for (int i = 0; i < STRTABLE_PRIME_COUNT; ++i) {
    const int k = i + 5;
    const uint64_t limit = uint64_t{1} << k;
    const uint64_t p = strtable_primes[i];
    EXPECT_LT(p, limit) << "k=" << k;
    EXPECT_TRUE(is_prime(p)) << "k=" << k;
    for (uint64_t q = p + 1; q < limit; ++q) {
      EXPECT_FALSE(is_prime(q)) << "k=" << k << " larger prime " << q;
    }
  }
}

TEST(StrtableGet, EmptyTablesFindNothing) {
  struct Case {
    const char* name;
    bool call_init;
  };
  const Case cases[] = {{"AllZeroRecord", false}, {"Initialised", true}};
  for (const Case& c : cases) {
    ScopedTable scoped;
    strtable& t = scoped.t;
    if (c.call_init) {
      t.capacity = 99;
      t.count = 7;
      EXPECT_EQ(strtable_init(&t), 1) << c.name;
      EXPECT_EQ(t.capacity, 0u) << c.name;
      EXPECT_EQ(t.count, 0u) << c.name;
      EXPECT_EQ(t.slots, nullptr) << c.name;
    }
    bytestr empty{};
    Key key_holder("example.org");
    bytestr& key = key_holder.s;
    EXPECT_EQ(strtable_get(&t, &empty), nullptr) << c.name;
    EXPECT_EQ(strtable_get(&t, &key), nullptr) << c.name;
  }
}

TEST(StrtableAdd, GrowsAtExactlyTheListedAdds) {
  struct Case {
    const char* name;
    int adds;
    uint32_t capacity;
  };
  const Case cases[] = {
      {"FirstAddGives31", 1, 31},
      {"FifteenStillFitIn31", 15, 31},
      {"SixteenthGrowsTo61", 16, 61},
      {"ThirtiethStillFitsIn61", 30, 61},
      {"ThirtyFirstGrowsTo127", 31, 127},
      {"SixtyThirdStillFitsIn127", 63, 127},
      {"SixtyFourthGrowsTo251", 64, 251},
      {"HundredTwentyFifthFitsIn251", 125, 251},
      {"HundredTwentySixthGrowsTo509", 126, 509},
      {"TwoFiftyFourthFitsIn509", 254, 509},
      {"TwoFiftyFifthGrowsTo1021", 255, 1021},
      {"FiveTenthFitsIn1021", 510, 1021},
      {"FiveEleventhGrowsTo2039", 511, 2039},
  };
  for (const Case& c : cases) {
    ScopedTable scoped;
    strtable& t = scoped.t;
    for (int i = 0; i < c.adds; ++i) {
      Key key_holder(numbered_key(i));
      bytestr& key = key_holder.s;
      ASSERT_EQ(strtable_add(&t, &key, static_cast<uintptr_t>(i)), 1) << c.name;
    }
    EXPECT_EQ(t.capacity, c.capacity) << c.name;
    EXPECT_EQ(t.count, static_cast<uint32_t>(c.adds)) << c.name;
    for (int i = 0; i < c.adds; ++i) {
      Key key_holder(numbered_key(i));
      bytestr& key = key_holder.s;
      const strtable_entry* e = strtable_get(&t, &key);
      ASSERT_NE(e, nullptr) << c.name << " key " << i;
      EXPECT_EQ(e->value, static_cast<uintptr_t>(i)) << c.name;
      EXPECT_EQ(e->hash, hash_of(numbered_key(i))) << c.name;
    }
  }
}

TEST(StrtableAdd, EntriesKeepTheirAddressWhenTheTableGrows) {
  ScopedTable scoped;
  strtable& t = scoped.t;
  Key first_holder("first.example");
  bytestr& first = first_holder.s;
  ASSERT_EQ(strtable_add(&t, &first, 42), 1);
  strtable_entry* before = strtable_get(&t, &first);
  ASSERT_NE(before, nullptr);
  for (int i = 0; i < 200; ++i) {
    Key key_holder(numbered_key(i));
    bytestr& key = key_holder.s;
    ASSERT_EQ(strtable_add(&t, &key, 0), 1);
  }
  ASSERT_EQ(t.capacity, 509u);
  EXPECT_EQ(strtable_get(&t, &first), before);
  EXPECT_EQ(before->value, 42u);
}

TEST(StrtableAdd, KeepsItsOwnCopyOfTheKey) {
  ScopedTable scoped;
  strtable& t = scoped.t;
  Key key_holder("copied.example");
  bytestr& key = key_holder.s;
  ASSERT_EQ(strtable_add(&t, &key, 1), 1);
  const strtable_entry* e = strtable_get(&t, &key);
  ASSERT_NE(e, nullptr);
  EXPECT_NE(e->key.data, key.data);
  ASSERT_EQ(bytestr_set_cstr(&key, "changed.example"), 1);
  EXPECT_EQ(strtable_get(&t, &key), nullptr);
  ASSERT_EQ(bytestr_set_cstr(&key, "copied.example"), 1);
  EXPECT_EQ(strtable_get(&t, &key), e);
}

TEST(StrtableAdd, SameKeyTwiceStoresTwoEntries) {
  ScopedTable scoped;
  strtable& t = scoped.t;
  Key key_holder("twice.example");
  bytestr& key = key_holder.s;
  ASSERT_EQ(strtable_add(&t, &key, 1), 1);
  ASSERT_EQ(strtable_add(&t, &key, 2), 1);
  EXPECT_EQ(t.count, 2u);
  int stored = 0;
  for (uint32_t i = 0; i < t.capacity; ++i) {
    if (t.slots[i] != nullptr && bytestr_compare(&t.slots[i]->key, &key) == 0) ++stored;
  }
  EXPECT_EQ(stored, 2);
  // The first one added sits on the probe path before the second.
  const strtable_entry* e = strtable_get(&t, &key);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->value, 1u);
}

TEST(StrtableGet, TellsKeysApartByTheirBytes) {
  // "aap" and "ag6" hash alike; the embedded-NUL keys differ only after the NUL or in length.
  ASSERT_EQ(hash_of("aap"), hash_of("ag6"));
  struct Case {
    const char* name;
    std::string probe;
    bool found;
    uintptr_t value;
  };
  const std::vector<std::pair<std::string, uintptr_t>> stored = {
      {"aap", 1}, {"ag6", 2}, {std::string("a\0b", 3), 3}, {std::string("a\0c", 3), 4}, {"", 5},
  };
  const Case cases[] = {
      {"FirstOfCollidingPair", "aap", true, 1},
      {"SecondOfCollidingPair", "ag6", true, 2},
      {"BytesAfterNulCount", std::string("a\0c", 3), true, 4},
      {"NulKeyItself", std::string("a\0b", 3), true, 3},
      {"PrefixBeforeNulIsAnotherKey", "a", false, 0},
      {"LongerNulKeyIsAnotherKey", std::string("a\0b\0", 4), false, 0},
      {"EmptyKeyIsFound", "", true, 5},
      {"OtherCaseIsAnotherKey", "AAP", false, 0},
  };
  ScopedTable scoped;
  strtable& t = scoped.t;
  for (const auto& [text, value] : stored) {
    Key key_holder(text);
    bytestr& key = key_holder.s;
    ASSERT_EQ(strtable_add(&t, &key, value), 1);
  }
  for (const Case& c : cases) {
    Key key_holder(c.probe);
    bytestr& key = key_holder.s;
    const strtable_entry* e = strtable_get(&t, &key);
    if (!c.found) {
      EXPECT_EQ(e, nullptr) << c.name;
    } else {
      ASSERT_NE(e, nullptr) << c.name;
      EXPECT_EQ(e->value, c.value) << c.name;
    }
  }
}

TEST(StrtableAdd, ProbingWrapsFromTheLastSlotToTheFirst) {
  // Three keys whose home is the last of 31 slots, and one more that is absent.
  std::vector<std::string> last_slot_keys;
  for (int i = 0; last_slot_keys.size() < 4; ++i) {
    if (hash_of(numbered_key(i)) % 31 == 30) last_slot_keys.push_back(numbered_key(i));
  }
  ScopedTable scoped;
  strtable& t = scoped.t;
  for (int i = 0; i < 3; ++i) {
    Key key_holder(last_slot_keys[i]);
    bytestr& key = key_holder.s;
    ASSERT_EQ(strtable_add(&t, &key, static_cast<uintptr_t>(i + 1)), 1);
  }
  ASSERT_EQ(t.capacity, 31u);
  struct Case {
    const char* name;
    int key_index;
    uint32_t slot;
  };
  const Case cases[] = {
      {"FirstKeyInItsHomeSlot", 0, 30},
      {"SecondKeyWrapsToSlot0", 1, 0},
      {"ThirdKeyGoesOnToSlot1", 2, 1},
  };
  for (const Case& c : cases) {
    ASSERT_NE(t.slots[c.slot], nullptr) << c.name;
    Key key_holder(last_slot_keys[c.key_index]);
    bytestr& key = key_holder.s;
    EXPECT_EQ(bytestr_compare(&t.slots[c.slot]->key, &key), 0) << c.name;
    EXPECT_EQ(strtable_get(&t, &key), t.slots[c.slot]) << c.name;
  }
  Key absent_holder(last_slot_keys[3]);
  bytestr& absent = absent_holder.s;
  EXPECT_EQ(strtable_get(&t, &absent), nullptr);
}

// Snapshot of what a failed add must leave alone.
struct TableState {
  uint32_t capacity;
  uint32_t count;
  strtable_entry** slots;
  std::vector<strtable_entry*> slot_contents;
};

TableState snapshot(const strtable& t) {
  TableState s{t.capacity, t.count, t.slots, {}};
  for (uint32_t i = 0; i < t.capacity; ++i) s.slot_contents.push_back(t.slots[i]);
  return s;
}

TEST(StrtableAdd, FailedAllocationLeavesTheTableAsItWas) {
  struct Case {
    const char* name;
    int keys_before;  // 0: first add; 15: the add that grows 31 to 61; 5: no growth
    int fail_on;      // which allocation of the add fails (entry, key copy, slot array)
  };
  const Case cases[] = {
      {"EntryOfFirstAdd", 0, 1},      {"KeyCopyOfFirstAdd", 0, 2},
      {"SlotArrayOfFirstAdd", 0, 3},  {"EntryWithoutGrowth", 5, 1},
      {"KeyCopyWithoutGrowth", 5, 2}, {"EntryOfGrowingAdd", 15, 1},
      {"KeyCopyOfGrowingAdd", 15, 2}, {"SlotArrayOfGrowingAdd", 15, 3},
  };
  for (const Case& c : cases) {
    ScopedTable scoped;
    strtable& t = scoped.t;
    for (int i = 0; i < c.keys_before; ++i) {
      Key key_holder(numbered_key(i));
      bytestr& key = key_holder.s;
      ASSERT_EQ(strtable_add(&t, &key, 0), 1) << c.name;
    }
    const TableState before = snapshot(t);
    Key key_holder("new.example");
    bytestr& key = key_holder.s;
    {
      AllocatorGuard guard(c.fail_on);
      EXPECT_EQ(strtable_add(&t, &key, 9), 0) << c.name;
      EXPECT_EQ(allocations_seen, c.fail_on) << c.name << ": allocations after the failure";
    }
    const TableState after = snapshot(t);
    EXPECT_EQ(after.capacity, before.capacity) << c.name;
    EXPECT_EQ(after.count, before.count) << c.name;
    EXPECT_EQ(after.slots, before.slots) << c.name;
    EXPECT_EQ(after.slot_contents, before.slot_contents) << c.name;
    EXPECT_EQ(strtable_get(&t, &key), nullptr) << c.name;
    for (int i = 0; i < c.keys_before; ++i) {
      Key old_holder(numbered_key(i));
      bytestr& old = old_holder.s;
      EXPECT_NE(strtable_get(&t, &old), nullptr) << c.name << " key " << i;
    }
    // The same add succeeds once memory is there again.
    ASSERT_EQ(strtable_add(&t, &key, 9), 1) << c.name;
    const strtable_entry* e = strtable_get(&t, &key);
    ASSERT_NE(e, nullptr) << c.name;
    EXPECT_EQ(e->value, 9u) << c.name;
  }
}

TEST(StrtableAdd, RefusesAnEntryBeyondTheLargestPrime) {
  // A table at its limit: 2 * count + 2 exceeds the largest prime. The slot array is never
  // touched, so a one-slot stand-in is enough.
  strtable_entry* stand_in[1] = {nullptr};
  strtable t{};
  t.capacity = strtable_primes[STRTABLE_PRIME_COUNT - 1];
  t.count = 2147483645u;
  t.slots = stand_in;
  Key key_holder("one.too.many");
  bytestr& key = key_holder.s;
  EXPECT_EQ(strtable_add(&t, &key, 0), 0);
  EXPECT_EQ(t.count, 2147483645u);
  EXPECT_EQ(t.capacity, 4294967291u);
  EXPECT_EQ(t.slots, stand_in);
  EXPECT_EQ(stand_in[0], nullptr);
}

}  // namespace
}  // namespace lagwatch
