#include "notice/dispatch.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace lagwatch {
namespace {

TEST(CountUndone, CountsTheTRecordsUpToTheEndOfTheList) {
  struct Case {
    const char* name;
    std::string bytes;
    uint32_t undone;
  };
  const Case cases[] = {
      {"EmptyFile", "", 0},
      {"OneUndone", std::string("Ta@x\0", 5), 1},
      {"DoneRecordsDoNotCount", std::string("Da@x\0Tb@y\0Dc@z\0Td@w\0", 20), 2},
      {"LastRecordWithoutNulCounts", std::string("Ta@x\0Tb@y", 9), 2},
      {"LoneTWithoutNulCounts", "T", 1},
      {"LoneDWithoutNul", "D", 0},
      {"EmptyFirstRecordEndsList", std::string("\0Ta@x\0", 6), 0},
      {"EmptyRecordInTheMiddleEndsList", std::string("Ta@x\0\0Tb@y\0", 11), 1},
      {"OtherStateBytesAreDone", std::string("ta@x\0Xb@y\0Tc@z\0", 15), 1},
      {"BareStateBytes", std::string("T\0T\0D\0", 6), 2},
  };
  for (const Case& c : cases) {
    // Exactly the bytes, nothing after them: a read past the end shows under the sanitizer.
    const std::vector<char> bytes(c.bytes.begin(), c.bytes.end());
    const recipient_list list{bytes.empty() ? nullptr : bytes.data(),
                              static_cast<uint32_t>(bytes.size())};
    EXPECT_EQ(count_undone(list), c.undone) << c.name;
  }
}

TEST(CountUndone, AllZeroListIsEmpty) { EXPECT_EQ(count_undone(recipient_list{}), 0u); }

TEST(SenderIsBounce, OnlyTheNullSenderAndDoubleBounces) {
  struct Case {
    const char* name;
    const char* sender;
    bool bounce;
  };
  const Case cases[] = {
      {"EmptySender", "", true},
      {"DoubleBounceSender", "#@[]", true},
      {"OrdinarySender", "alice@example.org", false},
      {"DoubleBounceWithSuffix", "#@[]x", false},
      {"DoubleBouncePrefixOnly", "#@[", false},
      {"HashAddress", "#@example.org", false},
      {"BlankSender", " ", false},
  };
  for (const Case& c : cases) EXPECT_EQ(sender_is_bounce(c.sender), c.bounce) << c.name;
}

}  // namespace
}  // namespace lagwatch
