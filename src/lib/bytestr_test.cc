#include "lib/bytestr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace lagwatch {
namespace {

int allocations;
void* counting_alloc(unsigned long size) {
  ++allocations;
  return malloc(size);
}
void* failing_alloc(unsigned long /*size*/) {
  ++allocations;
  return nullptr;
}

class BytestrTest : public testing::Test {
 protected:
  void SetUp() override {
    allocations = 0;
    bytestr_set_allocator(counting_alloc);
  }
  void TearDown() override { bytestr_set_allocator(nullptr); }
};

// Tests free what they allocate; the program itself keeps its strings until it ends.
struct ScopedBytestr {
  bytestr s{};
  ~ScopedBytestr() { free(s.data); }
};

std::string content(const bytestr& s) { return std::string(s.data, s.length); }

// The trailing NUL and the room for it, promised after every successful operation.
void expect_terminated(const bytestr& s) {
  ASSERT_NE(s.data, nullptr);
  EXPECT_LT(s.length, s.capacity);
  EXPECT_EQ(s.data[s.length], '\0');
}

TEST_F(BytestrTest, ReserveFollowsGrowthRule) {
  struct Case {
    uint32_t n;
    uint32_t capacity;
  };
  const Case cases[] = {{0, 16},  {1, 16},    {14, 16},   {15, 32},
                        {31, 48}, {100, 128}, {500, 576}, {4096, 4624}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    ScopedBytestr owned;
    bytestr& s = owned.s;
    ASSERT_EQ(bytestr_reserve(&s, c.n), 1);
    EXPECT_EQ(s.capacity, c.capacity);
  }
}

TEST_F(BytestrTest, AppendingByteByByteGrowsAtListedLengths) {
  const std::vector<std::pair<uint32_t, uint32_t>> expected = {
      {1, 16},   {15, 32},   {31, 48},   {47, 64},   {63, 80},  {79, 96},
      {95, 112}, {111, 128}, {127, 144}, {143, 176}, {175, 208}};
  ScopedBytestr owned;
  bytestr& s = owned.s;
  std::string appended;
  std::vector<std::pair<uint32_t, uint32_t>> growth;
  for (int i = 0; i < 180; ++i) {
    uint32_t before = s.capacity;
    char c = static_cast<char>('a' + i % 26);
    ASSERT_EQ(bytestr_append_char(&s, c), 1);
    appended += c;
    if (s.capacity != before) growth.emplace_back(s.length, s.capacity);
    expect_terminated(s);
  }
  EXPECT_EQ(growth, expected);
  EXPECT_EQ(content(s), appended);
  EXPECT_EQ(allocations, static_cast<int>(expected.size()));
}

TEST_F(BytestrTest, SetAndAppendOperations) {
  struct Case {
    const char* name;
    std::function<int(bytestr*)> op;
    std::string content;
    uint32_t capacity;
  };
  const Case cases[] = {
      {"EmptyTextGivesSixteenByteBuffer", [](bytestr* s) { return bytestr_set_cstr(s, ""); }, "",
       16},
      {"FourteenBytesFitSixteen", [](bytestr* s) { return bytestr_set_cstr(s, "abcdefghijklmn"); },
       "abcdefghijklmn", 16},
      {"FifteenBytesAfterFourteenNeedNewBuffer",
       [](bytestr* s) {
         return bytestr_set_cstr(s, "abcdefghijklmn") && bytestr_set_cstr(s, "abcdefghijklmno");
       },
       "abcdefghijklmno", 32},
      {"BytesWithNulsAreAllHeld", [](bytestr* s) { return bytestr_set_bytes(s, "a\0b\0c", 5); },
       std::string("a\0b\0c", 5), 16},
      {"SetReplacesLongerContent",
       [](bytestr* s) {
         return bytestr_set_cstr(s, "a long first content") && bytestr_set_cstr(s, "short");
       },
       "short", 32},
      {"SetCopiesOther",
       [](bytestr* s) {
         ScopedBytestr other;
         return bytestr_set_bytes(&other.s, "x\0y", 3) && bytestr_set(s, &other.s);
       },
       std::string("x\0y", 3), 16},
      {"SetFromEmptyRecordGivesEmptyText",
       [](bytestr* s) {
         const bytestr other{};
         return bytestr_set(s, &other);
       },
       "", 16},
      {"AppendsBuildPath",
       [](bytestr* s) {
         return bytestr_append_cstr(s, "control") && bytestr_append_char(s, '/') &&
                bytestr_append_cstr(s, "queuelifetime");
       },
       "control/queuelifetime", 32},
      {"AppendEmptyToFreshMakesBuffer", [](bytestr* s) { return bytestr_append_cstr(s, ""); }, "",
       16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedBytestr owned;
    bytestr& s = owned.s;
    ASSERT_EQ(c.op(&s), 1);
    EXPECT_EQ(content(s), c.content);
    EXPECT_EQ(s.capacity, c.capacity);
    expect_terminated(s);
  }
}

TEST_F(BytestrTest, Truncate) {
  struct Case {
    const char* name;
    const char* initial;  // null: a fresh all-zero string
    uint32_t n;
    std::string content;
    uint32_t capacity;
    bool same_buffer;
  };
  const Case cases[] = {
      {"ToZeroEmptiesAndKeepsBuffer", "abc", 0, "", 16, true},
      {"BeyondLengthKeepsContent", "abc", 10, "abc", 16, true},
      {"ShorterCutsContent", "abcdef", 2, "ab", 16, true},
      {"GrowingKeepsContent", "abc", 15, "abc", 32, false},
      {"FreshToZeroGetsEmptyBuffer", nullptr, 0, "", 16, false},
      {"FreshBeyondZeroIsEmptyText", nullptr, 20, "", 32, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedBytestr owned;
    bytestr& s = owned.s;
    if (c.initial != nullptr) {
      ASSERT_EQ(bytestr_set_cstr(&s, c.initial), 1);
    }
    const char* before = s.data;
    ASSERT_EQ(bytestr_truncate(&s, c.n), 1);
    EXPECT_EQ(content(s), c.content);
    EXPECT_EQ(s.capacity, c.capacity);
    EXPECT_EQ(s.data == before, c.same_buffer);
    expect_terminated(s);
    EXPECT_EQ(s.data[c.n], '\0');
  }
}

TEST_F(BytestrTest, FailedAllocationLeavesStringAsItWas) {
  struct Case {
    const char* name;
    std::function<int(bytestr*)> op;
    int result;
  };
  static const std::string kLong(40, 'z');
  const Case cases[] = {
      {"SetCstr", [](bytestr* s) { return bytestr_set_cstr(s, kLong.c_str()); }, 0},
      {"SetBytes", [](bytestr* s) { return bytestr_set_bytes(s, kLong.data(), 15); }, 0},
      {"Set",
       [](bytestr* s) {
         bytestr other{};
         other.data = const_cast<char*>(kLong.c_str());
         other.length = 20;
         other.capacity = 41;
         return bytestr_set(s, &other);
       },
       0},
      {"AppendCstr", [](bytestr* s) { return bytestr_append_cstr(s, "x"); }, 0},
      {"AppendChar", [](bytestr* s) { return bytestr_append_char(s, 'x'); }, 0},
      {"TruncateGrowing", [](bytestr* s) { return bytestr_truncate(s, 100); }, 0},
      {"Reserve", [](bytestr* s) { return bytestr_reserve(s, 15); }, 0},
      {"ReserveKeep", [](bytestr* s) { return bytestr_reserve_keep(s, 15); }, 0},
      {"ShorterSetNeedsNoAllocation", [](bytestr* s) { return bytestr_set_cstr(s, "abc"); }, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedBytestr owned;
    bytestr& s = owned.s;
    ASSERT_EQ(bytestr_set_cstr(&s, "fourteen bytes"), 1);
    bytestr before = s;
    bytestr_set_allocator(failing_alloc);
    EXPECT_EQ(c.op(&s), c.result);
    bytestr_set_allocator(counting_alloc);
    EXPECT_EQ(s.data, before.data);
    EXPECT_EQ(s.capacity, before.capacity);
    if (c.result == 0) {
      EXPECT_EQ(s.length, before.length);
      EXPECT_EQ(content(s), "fourteen bytes");
    }
    expect_terminated(s);
  }
}

TEST_F(BytestrTest, FailedAllocationLeavesFreshStringEmpty) {
  bytestr_set_allocator(failing_alloc);
  bytestr s{};
  EXPECT_EQ(bytestr_set_cstr(&s, ""), 0);
  EXPECT_EQ(s.data, nullptr);
  EXPECT_EQ(s.length, 0u);
  EXPECT_EQ(s.capacity, 0u);
}

TEST_F(BytestrTest, RequestsBeyondThirtyTwoBitsFailWithoutAllocating) {
  // A record that claims a huge length over a small buffer: any wrap-around would allocate a
  // small buffer and copy far past it.
  static char small[16] = "abc";
  struct Case {
    const char* name;
    uint32_t length;
    std::function<int(bytestr*)> op;
  };
  const Case cases[] = {
      {"ReserveAllBits", 3, [](bytestr* s) { return bytestr_reserve(s, UINT32_MAX); }},
      {"ReserveKeepCapacityOverflows", 3,
       [](bytestr* s) { return bytestr_reserve_keep(s, UINT32_MAX - 1); }},
      {"ReserveCapacityJustOverflows", 3,
       [](bytestr* s) { return bytestr_reserve(s, 0xE38E38D6u); }},
      {"TruncateAllBits", 3, [](bytestr* s) { return bytestr_truncate(s, UINT32_MAX); }},
      {"AppendCharPastLimit", UINT32_MAX, [](bytestr* s) { return bytestr_append_char(s, 'x'); }},
      {"AppendCstrLengthWraps", UINT32_MAX - 1,
       [](bytestr* s) { return bytestr_append_cstr(s, "xy"); }},
      {"AppendCstrCapacityOverflows", UINT32_MAX - 8,
       [](bytestr* s) { return bytestr_append_cstr(s, "xy"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    bytestr s{small, c.length, sizeof small};
    EXPECT_EQ(c.op(&s), 0);
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(s.data, small);
    EXPECT_EQ(s.length, c.length);
    EXPECT_EQ(s.capacity, sizeof small);
  }
}

TEST_F(BytestrTest, LargestRequestBelowLimitGetsItsCapacity) {
  // 0xE38E38D5 is the largest length whose capacity still fits in 32 bits (0xFFFFFFF0 after
  // rounding); the allocation fails here on purpose, so only the size asked for is seen.
  static unsigned long requested;
  bytestr_set_allocator([](unsigned long size) -> void* {
    requested = size;
    return nullptr;
  });
  bytestr s{};
  EXPECT_EQ(bytestr_reserve(&s, 0xE38E38D5u), 0);
  EXPECT_EQ(requested, 0xFFFFFFF0ul);
}

TEST_F(BytestrTest, Compare) {
  struct Case {
    const char* name;
    const char* a;  // null: an all-zero record
    uint32_t a_length;
    const char* b;
    uint32_t b_length;
    bool equal;
  };
  const Case cases[] = {
      {"EmptyWithAndWithoutBuffer", "", 0, nullptr, 0, true},
      {"BothWithoutBuffer", nullptr, 0, nullptr, 0, true},
      {"SameBytes", "example.org", 11, "example.org", 11, true},
      {"SameBytesWithNul", "a\0b", 3, "a\0b", 3, true},
      {"PrefixIsNotEqual", "ab", 2, "abc", 3, false},
      {"LongerIsNotEqual", "abc", 3, "ab", 2, false},
      {"LastByteDiffers", "abc", 3, "abd", 3, false},
      {"DifferenceAfterNul", "a\0b", 3, "a\0c", 3, false},
      {"CaseMatters", "Example", 7, "example", 7, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedBytestr owned_a;
    ScopedBytestr owned_b;
    bytestr& a = owned_a.s;
    bytestr& b = owned_b.s;
    if (c.a != nullptr) {
      ASSERT_EQ(bytestr_set_bytes(&a, c.a, c.a_length), 1);
    }
    if (c.b != nullptr) {
      ASSERT_EQ(bytestr_set_bytes(&b, c.b, c.b_length), 1);
    }
    EXPECT_EQ(bytestr_compare(&a, &b) == 0, c.equal);
    EXPECT_EQ(bytestr_compare(&b, &a) == 0, c.equal);
  }
}

}  // namespace
}  // namespace lagwatch
