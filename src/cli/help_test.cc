#include "cli/help.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "cli/expected_help.h"
#include "cli/option.h"
#include "cli/options.h"
#include "lib/outstream.h"
#include "run/settings.h"

namespace lagwatch {
namespace {

// What reached descriptor 1, and in how many write calls.
std::string stdout_bytes;
int stdout_writes;

long record_stdout(int /*fd*/, const char* bytes, uint32_t n) {
  stdout_bytes.append(bytes, n);
  stdout_writes++;
  return static_cast<long>(n);
}

// Points out_stdout at the recorder for the length of a test.
class HelpScreen : public ::testing::Test {
 protected:
  void SetUp() override {
    outstream_flush(&out_stdout);
    stdout_bytes.clear();
    stdout_writes = 0;
    out_stdout.write_fn = record_stdout;
  }
  void TearDown() override {
    outstream_flush(&out_stdout);
    out_stdout.write_fn = outstream_sys_write;
  }

  // The usage line and the help screen for `table`, as the entry writes them.
  static std::string screen_for(const optspec* table) {
    build_option_list(table);
    show_usage();
    show_help();
    outstream_flush(&out_stdout);
    return stdout_bytes;
  }
};

TEST_F(HelpScreen, ProgramScreenIsExactAndLeavesInOneWrite) {
  const std::string screen = screen_for(option_table);
  EXPECT_EQ(screen, kExpectedHelpScreen);
  EXPECT_EQ(screen.size(), 658u);
  EXPECT_EQ(stdout_writes, 1);
}

TEST_F(HelpScreen, UsageLineEndsWithBlankBeforeLineFeed) {
  show_usage();
  outstream_flush(&out_stdout);
  EXPECT_EQ(stdout_bytes, "usage: lagwatch [flags] \n");
}

TEST_F(HelpScreen, KindSuffixNamesTheValueOfEachKind) {
  struct Case {
    const char* name;
    uint32_t kind;
    const char* suffix;
  };
  const Case cases[] = {
      {"Flag", OPT_FLAG, ""},           {"Counter", OPT_COUNTER, ""},
      {"Integer", OPT_INTEGER, "=INT"}, {"Unsigned", OPT_UNSIGNED, "=UNS"},
      {"String", OPT_STRING, "=VALUE"}, {"List", OPT_LIST, "=ITEM"},
      {"UnknownKind", 99, ""},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(kind_suffix(c.kind), c.suffix) << c.name;
  }
}

// Targets for the layout tables; the help screen never writes them.
int flag_target;
int32_t int_target;
uint32_t uns_target;
const char* string_target;
option_item* list_target;

const optspec empty_table[] = {{0, nullptr, 0, 0, nullptr, nullptr, nullptr}};

// A 3-byte long name of kind OPT_INTEGER fills 9 characters: help_width 7 for every line.
const optspec three_byte_integer_table[] = {
    {'a', "abc", OPT_INTEGER, 0, &int_target, "Alpha", nullptr},
    {'b', nullptr, OPT_FLAG, 1, &flag_target, "Beta", "off"},
    {0, nullptr, 0, 0, nullptr, nullptr, nullptr}};

// Every value kind with a long name; "=VALUE" after "string" is the widest (12).
const optspec every_kind_table[] = {
    {'f', "flag", OPT_FLAG, 1, &flag_target, "Flag", nullptr},
    {'c', "count", OPT_COUNTER, 1, &flag_target, "Count", nullptr},
    {'i', "int", OPT_INTEGER, 0, &int_target, "Int", "7"},
    {'u', "uns", OPT_UNSIGNED, 0, &uns_target, "Uns", nullptr},
    {'s', "string", OPT_STRING, 0, &string_target, "String", nullptr},
    {'l', "list", OPT_LIST, 0, &list_target, "List", nullptr},
    {0, nullptr, 0, 0, nullptr, nullptr, nullptr}};

// Missing letters and missing help texts.
const optspec sparse_table[] = {{0, "long", OPT_FLAG, 1, &flag_target, "Long only", nullptr},
                                {'z', nullptr, OPT_FLAG, 1, &flag_target, nullptr, nullptr},
                                {'q', "quiet", OPT_FLAG, 1, &flag_target, nullptr, "loud"},
                                {0, nullptr, 0, 0, nullptr, nullptr, nullptr}};

// A letter-only row of a value kind shows no suffix and does not widen the column.
const optspec letter_only_value_table[] = {
    {'t', nullptr, OPT_STRING, 0, &string_target, "Text", nullptr},
    {0, nullptr, 0, 0, nullptr, nullptr, nullptr}};

TEST_F(HelpScreen, LayoutFollowsTheLongestLongName) {
  struct Case {
    const char* name;
    const optspec* table;
    const char* screen;
  };
  const Case cases[] = {
      {"EmptyTableShowsOnlyTheHelpOption", empty_table,
       "usage: lagwatch [flags] \n"
       "\n"
       "  -h, --help  Display this help and exit\n"},
      {"ThreeByteIntegerLongNameMakesWidthSeven", three_byte_integer_table,
       "usage: lagwatch [flags] \n"
       "  -a, --abc=INT  Alpha\n"
       "  -b             Beta\n"
       "                 (Defaults to off)\n"
       "\n"
       "  -h, --help     Display this help and exit\n"},
      {"EveryKindShowsItsSuffix", every_kind_table,
       "usage: lagwatch [flags] \n"
       "  -f, --flag          Flag\n"
       "  -c, --count         Count\n"
       "  -i, --int=INT       Int\n"
       "                      (Defaults to 7)\n"
       "  -u, --uns=UNS       Uns\n"
       "  -s, --string=VALUE  String\n"
       "  -l, --list=ITEM     List\n"
       "\n"
       "  -h, --help          Display this help and exit\n"},
      {"MissingLettersAndHelpTexts", sparse_table,
       "usage: lagwatch [flags] \n"
       "      --long   Long only\n"
       "  -z           \n"
       "  -q, --quiet  \n"
       "               (Defaults to loud)\n"
       "\n"
       "  -h, --help   Display this help and exit\n"},
      {"LetterOnlyValueOptionHasNoSuffix", letter_only_value_table,
       "usage: lagwatch [flags] \n"
       "  -t          Text\n"
       "\n"
       "  -h, --help  Display this help and exit\n"},
  };
  for (const Case& c : cases) {
    stdout_bytes.clear();
    EXPECT_EQ(screen_for(c.table), c.screen) << c.name;
  }
}

TEST_F(HelpScreen, RebuiltListReplacesTheEarlierOne) {
  screen_for(every_kind_table);
  stdout_bytes.clear();
  EXPECT_EQ(screen_for(option_table), kExpectedHelpScreen);
}

// A table cannot hold an entry with neither letter nor long name (that row ends it), but the
// screen is drawn from option_list, which may: both columns are then blank.
TEST_F(HelpScreen, EntryWithNeitherLetterNorLongNameIsIndented) {
  const optspec nameless = {0, nullptr, OPT_STRING, 0, &string_target, "Nameless", "none"};
  const optspec wide = {0, "wide", OPT_LIST, 0, &list_target, "Wide", nullptr};
  const optspec* list[] = {&nameless, &wide, &help_option};
  const optspec** built = option_list;
  const int built_count = option_count;
  option_list = list;
  option_count = 3;
  show_help();
  outstream_flush(&out_stdout);
  // The list above dies with this test; the built one goes back so a rebuild can release it.
  option_list = built;
  option_count = built_count;
  EXPECT_EQ(stdout_bytes,
            "                   Nameless\n"
            "                   (Defaults to none)\n"
            "      --wide=ITEM  Wide\n"
            "\n"
            "  -h, --help       Display this help and exit\n");
}

}  // namespace
}  // namespace lagwatch
