#include "notice/notice.h"

#include <fcntl.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "run/settings.h"

namespace lagwatch {
namespace {

// Runs `write` with a memory stream and returns what it wrote.
template <typename Fn>
std::string capture(Fn write) {
  char* data = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&data, &size);
  if (stream == nullptr) {
    ADD_FAILURE() << "open_memstream failed";
    return "";
  }
  write(stream);
  EXPECT_EQ(fclose(stream), 0);
  std::string out(data, size);
  free(data);
  return out;
}

TEST(FormatDuration, RendersTheLargestWholeUnit) {
  struct Case {
    const char* name;
    int64_t seconds;
    const char* text;
  };
  const Case cases[] = {
      {"FourHoursThreshold", 14400, "4 hours"},
      {"WeekLifetime", 604800, "7 days"},
      {"JustBelowADay", 86399, "23 hours"},
      {"ExactlyOneDay", 86400, "1 days"},
      {"DayAndAnHourTruncates", 90000, "1 days"},
      {"ExactlyOneHour", 3600, "1 hours"},
      {"JustBelowTwoHours", 7199, "1 hours"},
      {"JustBelowAnHour", 3599, "59 minutes"},
      {"ExactlyOneMinute", 60, "1 minutes"},
      {"JustBelowAMinute", 59, "59 seconds"},
      {"Zero", 0, "0 seconds"},
      {"NegativeKeepsSign", -5, "-5 seconds"},
      {"LargeNegative", -100000, "-100000 seconds"},
      {"LargestValue", INT64_MAX, "106751991167300 days"},
      {"SmallestValueIsLongest", INT64_MIN, "-9223372036854775808 seconds"},
  };
  for (const Case& c : cases) {
    const duration_text d = format_duration(c.seconds);
    EXPECT_STREQ(d.text, c.text) << c.name;
    EXPECT_LE(strlen(d.text), 28u) << c.name;
  }
}

std::string expand(const char* tmpl, uint32_t* used) {
  const char* const args[3] = {"host", "4 hours", "7 days"};
  return capture([&](FILE* s) { *used = expand_template(s, tmpl, args); });
}

TEST(ExpandTemplate, ExpandsOnlyStringsOfTheThreeArguments) {
  struct Case {
    const char* name;
    const char* tmpl;
    const char* out;
    uint32_t used;
  };
  const Case cases[] = {
      {"EmptyTemplate", "", "", 0},
      {"NoConversionUnchanged", "plain text\nline two\n", "plain text\nline two\n", 0},
      {"PercentPercentIsOnePercent", "100%% sure", "100% sure", 0},
      {"ThreeStringsInOrder", "%s|%s|%s", "host|4 hours|7 days", 3},
      {"WidthAndPrecision", "%5.2s|", "   ho|", 1},
      {"LeftJustifiedWidth", "%-8s|", "host    |", 1},
      {"WidthBelowLength", "%2s|", "host|", 1},
      {"PrecisionZero", "[%.s][%.0s]", "[][]", 2},
      {"PrecisionBeyondLength", "%.99s", "host", 1},
      {"ZeroFlagStillPadsWithBlanks", "%05s", " host", 1},
      {"IgnoredFlagsOfPrintf", "%+ #8s|", "    host|", 1},
      {"GroupingAndLocaleDigitFlagsIgnored", "%'s|%I6s|", "host|4 hours|", 2},
      {"StoreConversionLiteral", "a%nb%s", "a%nbhost", 1},
      {"IntegerConversionLiteral", "%d%s", "%dhost", 1},
      {"FourthStringLiteral", "%s %s %s %s", "host 4 hours 7 days %s", 3},
      {"FourthStringKeepsItsFlags", "%s%s%s%-5.1s", "host4 hours7 days%-5.1s", 3},
      {"LonePercentAtEnd", "50%", "50%", 0},
      {"ConversionCutByEnd", "x%-5", "x%-5", 0},
      {"WideStringLiteral", "%ls%s", "%lshost", 1},
      {"StarWidthLiteral", "%*s%s", "%*shost", 1},
      {"StarPrecisionLiteral", "%.*s", "%.*s", 0},
      {"PositionalLiteral", "%2$s", "%2$s", 0},
      {"WidthAboveIntMaxLiteral", "%3000000000s", "%3000000000s", 0},
      {"PercentWithWidthIsNotPercentPercent", "%5%", "%5%", 0},
      {"PercentPercentThenS", "%%s", "%s", 0},
      {"ThreePercents", "%%%", "%%", 0},
      {"UnknownLetterLiteral", "%!%y%s", "%!%yhost", 1},
  };
  for (const Case& c : cases) {
    uint32_t used = 99;
    EXPECT_EQ(expand(c.tmpl, &used), c.out) << c.name;
    EXPECT_EQ(used, c.used) << c.name;
  }
}

TEST(ExpandTemplate, NullArgumentReadsAsEmpty) {
  const char* const args[3] = {nullptr, "b", nullptr};
  uint32_t used = 0;
  EXPECT_EQ(capture([&](FILE* s) { used = expand_template(s, "[%s][%s][%3s]", args); }),
            "[][b][   ]");
  EXPECT_EQ(used, 3u);
}

// Templates made only of what printf supports for three strings must come out exactly as
// printf writes them.
TEST(ExpandTemplate, AgreesWithPrintfOnSupportedTemplates) {
  std::mt19937 random(20261209);
  const char* const flag_sets[] = {"", "-", "0", "-0", " ", "+", "#"};
  const char* const texts[] = {"", "a", "Dear user, ", "\n", "tab\there", "100 percent"};
  const char* const args[3] = {"mail.example.org", "4 hours", "7 days"};
  for (int round = 0; round < 2000; ++round) {
    std::string tmpl;
    int strings = 0;
    const int pieces = static_cast<int>(random() % 7);
    for (int i = 0; i < pieces; ++i) {
      switch (random() % 3) {
        case 0:
          tmpl += texts[random() % 6];
          break;
        case 1:
          tmpl += "%%";
          break;
        default:
          if (strings == 3) break;
          ++strings;
          tmpl += '%';
          tmpl += flag_sets[random() % 7];
          if (random() % 2) tmpl += std::to_string(random() % 20);
          if (random() % 2) {
            tmpl += '.';
            if (random() % 2) tmpl += std::to_string(random() % 12);
          }
          tmpl += 's';
      }
    }
    char expected[512];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat"
    const int n = snprintf(expected, sizeof expected, tmpl.c_str(), args[0], args[1], args[2]);
#pragma GCC diagnostic pop
    ASSERT_GE(n, 0) << tmpl;
    ASSERT_LT(n, static_cast<int>(sizeof expected)) << tmpl;
    uint32_t used = 0;
    EXPECT_EQ(capture([&](FILE* s) { used = expand_template(s, tmpl.c_str(), args); }),
              std::string(expected, static_cast<size_t>(n)))
        << "template \"" << tmpl << "\"";
    EXPECT_EQ(used, static_cast<uint32_t>(strings)) << tmpl;
  }
}

// Hostile templates drawn from the characters of conversions: at most three arguments are
// used, and the three sit in a heap block of exactly their size, so that a fourth read shows
// under the address sanitizer. Every byte that is not part of a conversion comes out as is.
TEST(ExpandTemplate, NeverUsesAFourthArgument) {
  std::mt19937 random(4);
  const char alphabet[] = "%%%%sssnd*.-+ #0123456789l$xX";
  const std::vector<const char*> heap_args = {"A", "BB", "CCC"};
  for (int round = 0; round < 20000; ++round) {
    std::string tmpl;
    const size_t length = random() % 24;
    for (size_t i = 0; i < length; ++i) tmpl += alphabet[random() % (sizeof alphabet - 1)];
    uint32_t used = 99;
    const std::string out =
        capture([&](FILE* s) { used = expand_template(s, tmpl.c_str(), heap_args.data()); });
    EXPECT_LE(used, 3u) << tmpl;
    if (tmpl.find('%') == std::string::npos) {
      EXPECT_EQ(out, tmpl);
    }
  }
}

// The boundary the generator gives after seeding with the time `tv`.
std::string boundary_for(const timeval& tv) {
  srandom(static_cast<uint32_t>(tv.tv_sec) ^ static_cast<uint32_t>(tv.tv_usec));
  std::string b;
  for (int i = 0; i < 64; ++i) b += "0123456789ABCDEF"[random() % 16];
  return b;
}

TEST(MimeBoundary, IsDrawnFromTheClockOfTheMoment) {
  timeval before{};
  timeval after{};
  ASSERT_EQ(gettimeofday(&before, nullptr), 0);
  mime_boundary_build();
  ASSERT_EQ(gettimeofday(&after, nullptr), 0);
  const std::string built = mime_boundary;
  ASSERT_EQ(built.size(), 64u);
  bool matched = false;
  const auto micros = [](const timeval& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
  };
  for (timeval t = before; !matched && micros(t) <= micros(after);) {
    matched = boundary_for(t) == built;
    if (++t.tv_usec == 1000000) {
      t.tv_usec = 0;
      ++t.tv_sec;
    }
  }
  EXPECT_TRUE(matched) << built;
}

// A message text in a temporary file, opened read-only.
class MessageFile {
 public:
  explicit MessageFile(const std::string& text) {
    char path[] = "/tmp/lagwatch-notice-XXXXXX";
    fd_ = mkstemp(path);
    if (fd_ == -1) {
      ADD_FAILURE() << "mkstemp failed";
      return;
    }
    unlink(path);
    EXPECT_EQ(write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    EXPECT_EQ(lseek(fd_, 0, SEEK_SET), 0);
  }
  ~MessageFile() {
    if (fd_ != -1) close(fd_);
  }
  MessageFile(const MessageFile&) = delete;
  MessageFile& operator=(const MessageFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// A recipient list in a heap block of exactly its size, so that a read past its end is
// caught by the address sanitizer.
class ListBytes {
 public:
  explicit ListBytes(const std::string& bytes) : bytes_(bytes.begin(), bytes.end()) {}
  recipient_list list() const {
    return recipient_list{bytes_.empty() ? nullptr : bytes_.data(),
                          static_cast<uint32_t>(bytes_.size())};
  }

 private:
  std::vector<char> bytes_;
};

class WriteNotice : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_reset();
    settings.me = "mail.example.org";
    settings.queuelifetime = 604800;
  }
  void TearDown() override { settings_reset(); }

  std::string notice(const char* sender, const std::string& remote, const std::string& local,
                     int mess_fd) {
    const ListBytes r(remote);
    const ListBytes l(local);
    return capture([&](FILE* s) { write_notice(s, sender, r.list(), l.list(), mess_fd); });
  }
};

const char kBody[] =
    "Your message has been received by mail.example.org but has been\n"
    "undeliverable to the following recipients for at least 4 hours.\n"
    "The mail system will continue to attempt to deliver your message\n"
    "to these recipients for a total of 7 days.  You do not need to\n"
    "resend your message at this time.\n";

const std::string kRemote("Tbob@remote.example\0Dcarol@done.example\0Tdave@far.example\0", 57);
const std::string kLocal("Talice@mail.example.org\0", 24);
const char kMessage[] = "From: alice@sender.example\nSubject: hi\n\nhello\n";

TEST_F(WriteNotice, PlainWithWholeCopy) {
  const MessageFile mess(kMessage);
  const std::string expected = std::string(
                                   "From: <MAILER-DAEMON@mail.example.org>\n"
                                   "To: <alice@sender.example>\n"
                                   "Subject: delayed delivery notice\n"
                                   "\n") +
                               kBody +
                               "\nRecipient(s):\n"
                               "\talice@mail.example.org\n"
                               "\tbob@remote.example\n"
                               "\tdave@far.example\n"
                               "\n--- Below this line is a copy of the original message.\n\n" +
                               kMessage + "\n";
  EXPECT_EQ(notice("alice@sender.example", kRemote, kLocal, mess.fd()), expected);
}

TEST_F(WriteNotice, PlainWithoutCopyEndsWithLastRecipient) {
  settings.opt_copy_bytes = 0;
  const std::string expected = std::string(
                                   "From: <MAILER-DAEMON@mail.example.org>\n"
                                   "To: <alice@sender.example>\n"
                                   "Subject: delayed delivery notice\n"
                                   "\n") +
                               kBody +
                               "\nRecipient(s):\n"
                               "\talice@mail.example.org\n"
                               "\tbob@remote.example\n"
                               "\tdave@far.example\n";
  EXPECT_EQ(notice("alice@sender.example", kRemote, kLocal, -1), expected);
}

// Replaces every occurrence of the notice's boundary by "BOUNDARY", after checking its form.
std::string with_boundary_named(std::string text, int* occurrences) {
  *occurrences = 0;
  const std::string key = "boundary=\"";
  const size_t at = text.find(key);
  if (at == std::string::npos || at + key.size() + 64 > text.size()) {
    ADD_FAILURE() << "no boundary in " << text;
    return text;
  }
  const std::string boundary = text.substr(at + key.size(), 64);
  EXPECT_EQ(boundary.find_first_not_of("0123456789ABCDEF"), std::string::npos) << boundary;
  EXPECT_EQ(boundary, std::string(mime_boundary));
  for (size_t pos = text.find(boundary); pos != std::string::npos; pos = text.find(boundary)) {
    text.replace(pos, boundary.size(), "BOUNDARY");
    ++*occurrences;
  }
  return text;
}

const char kMimeHead[] =
    "From: <MAILER-DAEMON@mail.example.org>\n"
    "To: <alice@sender.example>\n"
    "Subject: delayed delivery notice\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"BOUNDARY\"\n"
    "\n"
    "This is a multi-part message in MIME format.\n"
    "(If you can see this message, your E-mail client is not MIME compatible.)\n"
    "--BOUNDARY\n"
    "Content-Type: text/plain; charset=us-ascii\n"
    "Content-Transfer-Encoding: 7bit\n"
    "\n";

TEST_F(WriteNotice, MimeWithWholeCopy) {
  settings.opt_mime = 1;
  const MessageFile mess(kMessage);
  const std::string expected = std::string(kMimeHead) + kBody +
                               "\nRecipient(s):\n"
                               "\talice@mail.example.org\n"
                               "\tbob@remote.example\n"
                               "\tdave@far.example\n"
                               "\nThe following attachment contains a copy of the original "
                               "message.\n\n"
                               "--BOUNDARY\n"
                               "Content-Type: message/rfc822\n"
                               "Content-Disposition: inline\n\n" +
                               kMessage + "\n--BOUNDARY--\n";
  int occurrences = 0;
  EXPECT_EQ(
      with_boundary_named(notice("alice@sender.example", kRemote, kLocal, mess.fd()), &occurrences),
      expected);
  EXPECT_EQ(occurrences, 4);
}

TEST_F(WriteNotice, MimeWithoutCopyEndsWithClosingBoundary) {
  settings.opt_mime = 1;
  settings.opt_copy_bytes = 0;
  const std::string expected = std::string(kMimeHead) + kBody +
                               "\nRecipient(s):\n"
                               "\talice@mail.example.org\n"
                               "\tbob@remote.example\n"
                               "\tdave@far.example\n"
                               "\n--BOUNDARY--\n";
  int occurrences = 0;
  EXPECT_EQ(with_boundary_named(notice("alice@sender.example", kRemote, kLocal, -1), &occurrences),
            expected);
  EXPECT_EQ(occurrences, 3);
}

// The To: line: a dot-atom local part stays as it is; any other is quoted as qmail's own bounces
// quote it. The domain is never touched.
TEST_F(WriteNotice, ToLineQuotesALocalPartThatIsNotADotAtom) {
  struct Case {
    const char* name;
    std::string sender;
    std::string to;
  };
  const Case cases[] = {
      {"DotAtom", "alice.b+tag@sender.example", "alice.b+tag@sender.example"},
      {"EveryAtextSpecial", "!#$%&'*+-/=?^_`{|}~@x", "!#$%&'*+-/=?^_`{|}~@x"},
      {"HighBytesStay", "j\xc3\xbcrgen@x", "j\xc3\xbcrgen@x"},
      {"Blank", "odd sender@sender.example", "\"odd sender\"@sender.example"},
      {"QuoteAndBackslashEscaped", "a\"b\\c@x", "\"a\\\"b\\\\c\"@x"},
      {"LeadingDot", ".a@x", "\".a\"@x"},
      {"TrailingDot", "a.@x", "\"a.\"@x"},
      {"DoubleDot", "a..b@x", "\"a..b\"@x"},
      {"LastAtSplits", "a@b@c", "\"a@b\"@c"},
      {"EmptyLocalPart", "@x", "\"\"@x"},
      {"NoAtQuotesTheWholeSender", "odd sender", "\"odd sender\""},
      {"NoAtDotAtom", "postmaster", "postmaster"},
      {"EmptySender", "", "\"\""},
      {"DomainKeptAsItIs", "a b@[1.2.3.4]", "\"a b\"@[1.2.3.4]"},
  };
  settings.opt_copy_bytes = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string header = "From: <MAILER-DAEMON@mail.example.org>\nTo: <" + c.to +
                               ">\nSubject: delayed delivery notice\n\n";
    EXPECT_EQ(notice(c.sender.c_str(), kRemote, "", -1).substr(0, header.size()), header);
  }
}

// What follows the recipient lines of a plain notice: the copy and its end.
TEST_F(WriteNotice, CopyHonoursTheByteLimit) {
  struct Case {
    const char* name;
    size_t message_size;
    size_t copied;
    int32_t limit;
    bool marker;
  };
  const Case cases[] = {
      {"WholeMessageByDefault", 10000, 10000, -1, false},
      {"ShorterThanLimitWithoutMarker", 50, 50, 100, false},
      {"ExactlyLimitWithMarker", 100, 100, 100, true},
      {"LongerThanLimitCut", 150, 100, 100, true},
      {"LimitAcrossTwoReads", 10000, 5000, 5000, true},
      {"LimitOfOneByte", 10, 1, 1, true},
      {"EmptyMessageNoMarker", 0, 0, 100, false},
      {"EmptyMessageWholeCopy", 0, 0, -1, false},
      {"LargerThanTheBuffer", 3 * 4096 + 7, 3 * 4096 + 7, -1, false},
  };
  const std::string heading = "\n--- Below this line is a copy of the original message.\n\n";
  for (const Case& c : cases) {
    settings.opt_copy_bytes = c.limit;
    std::string text;
    for (size_t i = 0; i < c.message_size; ++i) text += static_cast<char>('a' + i % 26);
    const MessageFile mess(text);
    const std::string out = notice("s@x.example", "Tr@y.example", "", mess.fd());
    const size_t at = out.find(heading);
    ASSERT_NE(at, std::string::npos) << c.name;
    const std::string expected_tail =
        heading + text.substr(0, c.copied) + (c.marker ? "[...]" : "") + "\n";
    EXPECT_EQ(out.substr(at), expected_tail) << c.name;
  }
}

TEST_F(WriteNotice, EmptyMessageInMimeShapeStillClosesTheBoundary) {
  settings.opt_mime = 1;
  settings.opt_copy_bytes = 100;
  const MessageFile mess("");
  int occurrences = 0;
  const std::string out =
      with_boundary_named(notice("s@x.example", "Tr@y.example", "", mess.fd()), &occurrences);
  const std::string tail =
      "--BOUNDARY\nContent-Type: message/rfc822\nContent-Disposition: inline\n\n"
      "\n--BOUNDARY--\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
}

TEST_F(WriteNotice, RecipientLinesListOnlyUndeliveredLocalFirst) {
  struct Case {
    const char* name;
    std::string remote;
    std::string local;
    const char* lines;
  };
  const Case cases[] = {
      {"BothListsLocalFirst", kRemote, kLocal,
       "\talice@mail.example.org\n\tbob@remote.example\n\tdave@far.example\n"},
      {"NoListsHeadingOnly", "", "", ""},
      {"OnlyDoneRecords", std::string("Da@x\0Db@y\0", 10), "", ""},
      {"LastRecordWithoutNul", std::string("Ta@x\0Tb@y", 9), "", "\ta@x\n\tb@y\n"},
      {"EmptyRecordEndsList", std::string("Ta@x\0\0Tb@y\0", 11), "", "\ta@x\n"},
      {"LeadingEmptyRecordEndsList", std::string("\0Ta@x\0", 6), "", ""},
      {"OtherStateBytesAreDone", std::string("Xa@x\0tb@y\0Tc@z\0", 15), "", "\tc@z\n"},
      {"BareStateByte", std::string("T\0Tb@y\0", 7), "", "\t\n\tb@y\n"},
      {"LastBareStateByteWithoutNul", std::string("Ta@x\0T", 6), "", "\ta@x\n\t\n"},
      {"LocalOnly", "", std::string("Tl@m\0", 5), "\tl@m\n"},
  };
  settings.opt_copy_bytes = 0;
  settings.notice_template = "";
  for (const Case& c : cases) {
    const std::string out = notice("s@x", c.remote, c.local, -1);
    const std::string head =
        "From: <MAILER-DAEMON@mail.example.org>\nTo: <s@x>\n"
        "Subject: delayed delivery notice\n\n\nRecipient(s):\n";
    EXPECT_EQ(out, head + c.lines) << c.name;
  }
}

TEST_F(WriteNotice, TemplateGetsHostAgeAndLifetime) {
  settings.opt_copy_bytes = 0;
  settings.opt_age = 3599;
  settings.queuelifetime = 86400;
  settings.notice_template = "[%s|%s|%s|%s|%n|%%]";
  const std::string out = notice("s@x", "", "", -1);
  EXPECT_NE(out.find("\n\n[mail.example.org|59 minutes|1 days|%s|%n|%]\nRecipient(s):\n"),
            std::string::npos)
      << out;
}

TEST_F(WriteNotice, DefaultTemplateIs267Bytes) { EXPECT_EQ(strlen(default_notice_template), 267u); }

}  // namespace
}  // namespace lagwatch
