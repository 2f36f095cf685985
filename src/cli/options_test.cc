#include "cli/options.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "cli/expected_help.h"
#include "cli/option.h"
#include "lib/outstream.h"
#include "run/settings.h"

namespace lagwatch {
namespace {

// What reached descriptors 1 and 2, and in how many write calls.
struct recorded {
  std::string out;
  std::string err;
  int out_writes;
  int err_writes;
};
recorded captured;

long record_write(int fd, const char* bytes, uint32_t n) {
  if (fd == 1) {
    captured.out.append(bytes, n);
    captured.out_writes++;
  } else {
    captured.err.append(bytes, n);
    captured.err_writes++;
  }
  return static_cast<long>(n);
}

// An argument vector with its own mutable storage; argv[0] is the program name.
struct arguments {
  std::vector<std::string> texts;
  std::vector<char*> pointers;

  explicit arguments(const std::vector<std::string>& args) {
    texts.emplace_back("lagwatch");
    texts.insert(texts.end(), args.begin(), args.end());
    std::transform(texts.begin(), texts.end(), std::back_inserter(pointers),
                   [](std::string& t) { return t.data(); });
    pointers.push_back(nullptr);
  }
  int argc() const { return static_cast<int>(texts.size()); }
  char** argv() { return pointers.data(); }
};

// Each test starts with default settings, no help request, the program's option list, and
// both standard streams pointed at the recorder.
class CommandLine : public ::testing::Test {
 protected:
  void SetUp() override {
    outstream_flush(&out_stdout);
    outstream_flush(&out_stderr);
    captured = recorded{};
    out_stdout.write_fn = record_write;
    out_stderr.write_fn = record_write;
    settings_reset();
    options_reset();
    build_option_list(option_table);
  }
  void TearDown() override {
    outstream_flush(&out_stdout);
    outstream_flush(&out_stderr);
    out_stdout.write_fn = outstream_sys_write;
    out_stderr.write_fn = outstream_sys_write;
    options_reset();
    settings_reset();
  }
};

TEST_F(CommandLine, ProgramListIsTheTableThenHelp) {
  ASSERT_EQ(option_count, 9);
  const char letters[] = "bdfmNrtxh";
  for (int k = 0; k < option_count; k++) {
    EXPECT_EQ(option_list[k]->letter, letters[k]) << k;
  }
  EXPECT_EQ(option_list[8], &help_option);
  EXPECT_STREQ(help_option.long_name, "help");
  EXPECT_EQ(help_option.kind, OPT_FLAG);
  EXPECT_EQ(help_option.target, &help_requested);
}

// One parse of the program's own table: the result, where the positional arguments start,
// standard error, and the settings afterwards.
struct ProgramCase {
  const char* name;
  std::vector<std::string> args;
  parse_result result;
  int first_positional;
  const char* err = "";
  int32_t age = 14400;
  int32_t copy_bytes = -1;
  int debug = 0;
  int mime = 0;
  int no_send = 0;
  int rcpthosts_only = 0;
  const char* bounce_file = nullptr;
  const char* extra_rcpt = nullptr;
  int help = 0;
};

const std::string long_flags = "-" + std::string(100000, 'd');
const std::string long_value(100000, 'v');

const ProgramCase program_cases[] = {
    {.name = "NoArgumentsRuns", .args = {}, .result = PARSE_RUN, .first_positional = 1},
    {.name = "ShortHelp", .args = {"-h"}, .result = PARSE_HELP, .first_positional = 2, .help = 1},
    {.name = "LongHelp",
     .args = {"--help"},
     .result = PARSE_HELP,
     .first_positional = 2,
     .help = 1},
    {.name = "HelpWinsOverLeftoverArgument",
     .args = {"-h", "foo"},
     .result = PARSE_HELP,
     .first_positional = 2,
     .help = 1},
    {.name = "UsageErrorAfterHelpWins",
     .args = {"-h", "-q"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 2,
     .err = "lagwatch: Error: Unknown option letter -q..\n",
     .help = 1},
    {.name = "UsageErrorStopsBeforeHelp",
     .args = {"-q", "-h"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Unknown option letter -q..\n"},
    {.name = "HelpTakesNoValue",
     .args = {"--help=yes"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Option --help does not take a value..\n"},
    {.name = "HelpTakesNoEmptyValue",
     .args = {"--help="},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Option --help does not take a value..\n"},
    {.name = "ShorterLongNameIsUnknown",
     .args = {"--hel"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Unknown option string: '--hel'.\n"},
    {.name = "LongerLongNameIsUnknown",
     .args = {"--helper"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Unknown option string: '--helper'.\n"},
    {.name = "UnknownLongOptionShownWithValue",
     .args = {"--age=10"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Unknown option string: '--age=10'.\n"},
    {.name = "LetterIsNoLongName",
     .args = {"--t", "5"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Unknown option string: '--t'.\n"},
    {.name = "UnknownLetter",
     .args = {"-q"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Unknown option letter -q..\n"},
    {.name = "LettersAreCaseSensitive",
     .args = {"-n"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Unknown option letter -n..\n"},
    {.name = "UnknownLetterInGroupAfterAppliedOnes",
     .args = {"-dmq", "-N"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Unknown option letter -q..\n",
     .debug = 1,
     .mime = 1},
    {.name = "ByteAboveAsciiIsUnknownLetter",
     .args = {"-\xe9"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Unknown option letter -\xe9..\n"},
    {.name = "ByteAboveAsciiIsUnknownLongName",
     .args = {"--\xff\xfe"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Unknown option string: '--\xff\xfe'.\n"},
    {.name = "ValueLetterLastNeedsValue",
     .args = {"-t"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Option -t requires a value..\n"},
    {.name = "ValueLetterEndingGroupLastNeedsValue",
     .args = {"-dt"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Option -t requires a value..\n",
     .debug = 1},
    {.name = "TrailingCharactersAreInvalid",
     .args = {"-t", "12x"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Invalid integer: 12x.\n"},
    {.name = "CopyBytesInvalid",
     .args = {"-b", "all"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Invalid integer: all.\n"},
    {.name = "EmptyValueIsZero",
     .args = {"-t", ""},
     .result = PARSE_RUN,
     .first_positional = 3,
     .age = 0},
    {.name = "ValueMayLookLikeAnOption",
     .args = {"-x", "-d"},
     .result = PARSE_RUN,
     .first_positional = 3,
     .extra_rcpt = "-d"},
    {.name = "NegativeValueTakenFromNextArgument",
     .args = {"-t", "-5"},
     .result = PARSE_RUN,
     .first_positional = 3,
     .age = -5},
    {.name = "PositionalArgumentIsTooMany",
     .args = {"foo"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Too many command-line arguments.\n"},
    {.name = "ParsingStopsAtFirstPositional",
     .args = {"-d", "foo", "-m"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 2,
     .err = "lagwatch: Error: Too many command-line arguments.\n",
     .debug = 1},
    {.name = "DoubleDashEndsOptions",
     .args = {"--", "-d"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 2,
     .err = "lagwatch: Error: Too many command-line arguments.\n"},
    {.name = "SingleDashEndsOptions",
     .args = {"-", "-d"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 2,
     .err = "lagwatch: Error: Too many command-line arguments.\n"},
    {.name = "EmptyArgumentIsPositional",
     .args = {""},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Too many command-line arguments.\n"},
    {.name = "LoneDashIsConsumed", .args = {"-"}, .result = PARSE_RUN, .first_positional = 2},
    {.name = "LoneDoubleDashIsConsumed",
     .args = {"--"},
     .result = PARSE_RUN,
     .first_positional = 2},
    {.name = "OptionsBeforeDoubleDashApply",
     .args = {"-N", "--"},
     .result = PARSE_RUN,
     .first_positional = 3,
     .no_send = 1},
    {.name = "LastValueWins",
     .args = {"-t", "100", "-t", "200"},
     .result = PARSE_RUN,
     .first_positional = 5,
     .age = 200},
    {.name = "FlagThenValueInOneGroup",
     .args = {"-dt", "3600"},
     .result = PARSE_RUN,
     .first_positional = 3,
     .age = 3600,
     .debug = 1},
    {.name = "RestOfGroupIsTheValue",
     .args = {"-td"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Invalid integer: d.\n"},
    {.name = "AttachedValue",
     .args = {"-t3600"},
     .result = PARSE_RUN,
     .first_positional = 2,
     .age = 3600},
    {.name = "AttachedStringValue",
     .args = {"-xpostmaster"},
     .result = PARSE_RUN,
     .first_positional = 2,
     .extra_rcpt = "postmaster"},
    {.name = "EveryOptionReachesItsField",
     .args = {"-b", "500", "-d", "-f", "tmpl", "-m", "-N", "-r", "-t", "60", "-x", "a@b"},
     .result = PARSE_RUN,
     .first_positional = 13,
     .age = 60,
     .copy_bytes = 500,
     .debug = 1,
     .mime = 1,
     .no_send = 1,
     .rcpthosts_only = 1,
     .bounce_file = "tmpl",
     .extra_rcpt = "a@b"},
    {.name = "FlagGroup",
     .args = {"-dmNr"},
     .result = PARSE_RUN,
     .first_positional = 2,
     .debug = 1,
     .mime = 1,
     .no_send = 1,
     .rcpthosts_only = 1},
    {.name = "EmptyStringValue",
     .args = {"-x", ""},
     .result = PARSE_RUN,
     .first_positional = 3,
     .extra_rcpt = ""},
    {.name = "VeryLongFlagGroup",
     .args = {long_flags},
     .result = PARSE_RUN,
     .first_positional = 2,
     .debug = 1},
    {.name = "VeryLongValue",
     .args = {"-f", long_value},
     .result = PARSE_RUN,
     .first_positional = 3,
     .bounce_file = long_value.c_str()},
    {.name = "OnlyFirstUsageErrorReported",
     .args = {"-t", "1x", "-q"},
     .result = PARSE_USAGE_ERROR,
     .first_positional = 1,
     .err = "lagwatch: Error: Invalid integer: 1x.\n"},
};

void expect_text(const char* actual, const char* expected, const char* field, const char* name) {
  if (expected == nullptr) {
    EXPECT_EQ(actual, nullptr) << name << ": " << field;
  } else {
    ASSERT_NE(actual, nullptr) << name << ": " << field;
    EXPECT_STREQ(actual, expected) << name << ": " << field;
  }
}

TEST_F(CommandLine, ProgramTableCases) {
  for (const ProgramCase& c : program_cases) {
    SetUp();
    arguments a(c.args);
    int first = -1;
    EXPECT_EQ(parse_command_line(a.argc(), a.argv(), &first), c.result) << c.name;
    EXPECT_EQ(first, c.first_positional) << c.name;
    EXPECT_EQ(captured.err, c.err) << c.name;
    EXPECT_EQ(captured.err_writes, c.err[0] != '\0' ? 1 : 0) << c.name;
    EXPECT_EQ(captured.out, "") << c.name;
    EXPECT_EQ(settings.opt_age, c.age) << c.name;
    EXPECT_EQ(settings.opt_copy_bytes, c.copy_bytes) << c.name;
    EXPECT_EQ(settings.opt_debug, c.debug) << c.name;
    EXPECT_EQ(settings.opt_mime, c.mime) << c.name;
    EXPECT_EQ(settings.opt_no_send, c.no_send) << c.name;
    EXPECT_EQ(settings.opt_rcpthosts_only, c.rcpthosts_only) << c.name;
    EXPECT_EQ(help_requested, c.help) << c.name;
    expect_text(settings.opt_bounce_file, c.bounce_file, "opt_bounce_file", c.name);
    expect_text(settings.opt_extra_rcpt, c.extra_rcpt, "opt_extra_rcpt", c.name);
  }
}

TEST_F(CommandLine, StringValueIsTheArgumentItself) {
  arguments a({"-f", "template", "-xrcpt"});
  int first = 0;
  ASSERT_EQ(parse_command_line(a.argc(), a.argv(), &first), PARSE_RUN);
  EXPECT_EQ(settings.opt_bounce_file, a.argv()[2]);
  EXPECT_EQ(settings.opt_extra_rcpt, a.argv()[3] + 2);
}

TEST_F(CommandLine, EmptyArgumentVectorRuns) {
  char* argv[] = {nullptr};
  int first = -1;
  EXPECT_EQ(parse_command_line(0, argv, &first), PARSE_RUN);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(captured.err, "");
}

// The -t value as stored: strtol's reading, refused beyond the signed 32-bit range.
TEST_F(CommandLine, IntegerConversionEdges) {
  struct Case {
    const char* name;
    const char* value;
    int ok;
    int32_t age;
  };
  const Case cases[] = {
      {"LeadingBlanks", "  42", 1, 42},
      {"LeadingTabAndNewline", "\t\n7", 1, 7},
      {"PlusSign", "+42", 1, 42},
      {"MinusSign", "-42", 1, -42},
      {"Zero", "0", 1, 0},
      {"Empty", "", 1, 0},
      {"LargestInt32", "2147483647", 1, 2147483647},
      {"SmallestInt32", "-2147483648", 1, INT32_MIN},
      {"JustAboveInt32IsRefused", "2147483648", 0, 14400},
      {"JustBelowInt32IsRefused", "-2147483649", 0, 14400},
      {"TwoToThe32IsRefused", "4294967296", 0, 14400},
      {"NegativeBeyond32BitsIsRefused", "-4294967295", 0, 14400},
      {"BeyondLongIsRefused", "99999999999999999999", 0, 14400},
      {"BeyondLongNegativeIsRefused", "-99999999999999999999", 0, 14400},
      {"TrailingBlank", "42 ", 0, 14400},
      {"BlanksOnly", "   ", 0, 14400},
      {"SignOnly", "-", 0, 14400},
      {"DoubleSign", "--1", 0, 14400},
      {"HexIsNotDecimal", "0x10", 0, 14400},
      {"DecimalPoint", "1.5", 0, 14400},
      {"HighByte", "1\xff", 0, 14400},
  };
  for (const Case& c : cases) {
    SetUp();
    arguments a({"-t", c.value});
    int first = 0;
    const parse_result r = parse_command_line(a.argc(), a.argv(), &first);
    EXPECT_EQ(r, c.ok ? PARSE_RUN : PARSE_USAGE_ERROR) << c.name;
    EXPECT_EQ(settings.opt_age, c.age) << c.name;
    const std::string err =
        c.ok ? "" : std::string("lagwatch: Error: Invalid integer: ") + c.value + ".\n";
    EXPECT_EQ(captured.err, err) << c.name;
  }
}

// A table with every kind and with long names, to drive what the program's own table does
// not use.
int flag_target;
int flagger_target;
int count_target;
int32_t int_target;
uint32_t uns_target;
const char* string_target;
option_item* list_target;

const optspec every_kind_table[] = {
    {'f', "flag", OPT_FLAG, 7, &flag_target, "Flag", nullptr},
    {'F', "flagger", OPT_FLAG, 9, &flagger_target, "Flagger", nullptr},
    {'c', "count", OPT_COUNTER, 2, &count_target, "Count", nullptr},
    {'i', "int", OPT_INTEGER, 0, &int_target, "Int", nullptr},
    {'u', "uns", OPT_UNSIGNED, 0, &uns_target, "Uns", nullptr},
    {0, "string", OPT_STRING, 0, &string_target, "String", nullptr},
    {'l', "list", OPT_LIST, 0, &list_target, "List", nullptr},
    {0, nullptr, 0, 0, nullptr, nullptr, nullptr}};

struct KindCase {
  const char* name;
  std::vector<std::string> args;
  parse_result result;
  int flag = 0;
  int flagger = 0;
  int count = 0;
  int32_t integer = 0;
  uint32_t uns = 0;
  const char* err = "";
  const char* string = nullptr;
  std::vector<std::string> list = {};
};

const KindCase kind_cases[] = {
    {.name = "LongFlag", .args = {"--flag"}, .result = PARSE_RUN, .flag = 7},
    {.name = "LongNameMatchesWholeWordOnly",
     .args = {"--flagger"},
     .result = PARSE_RUN,
     .flagger = 9},
    {.name = "LongNamePrefixIsUnknown",
     .args = {"--flagg"},
     .result = PARSE_USAGE_ERROR,
     .err = "lagwatch: Error: Unknown option string: '--flagg'.\n"},
    {.name = "LongFlagWithValue",
     .args = {"--flag=1"},
     .result = PARSE_USAGE_ERROR,
     .err = "lagwatch: Error: Option --flag does not take a value..\n"},
    {.name = "ShortFlags", .args = {"-fF"}, .result = PARSE_RUN, .flag = 7, .flagger = 9},
    {.name = "CounterAddsEachTime", .args = {"-ccc", "--count"}, .result = PARSE_RUN, .count = 8},
    {.name = "CounterWithValue",
     .args = {"--count=1"},
     .result = PARSE_USAGE_ERROR,
     .err = "lagwatch: Error: Option --count does not take a value..\n"},
    {.name = "LongIntegerWithEquals", .args = {"--int=-12"}, .result = PARSE_RUN, .integer = -12},
    {.name = "LongIntegerFromNextArgument",
     .args = {"--int", "-3"},
     .result = PARSE_RUN,
     .integer = -3},
    {.name = "LongIntegerEmptyAfterEquals",
     .args = {"--int=", "--flag"},
     .result = PARSE_RUN,
     .flag = 7,
     .integer = 0},
    {.name = "LongIntegerLast",
     .args = {"--int"},
     .result = PARSE_USAGE_ERROR,
     .err = "lagwatch: Error: Option --int requires a value..\n"},
    {.name = "LongIntegerInvalid",
     .args = {"--int=5x"},
     .result = PARSE_USAGE_ERROR,
     .err = "lagwatch: Error: Invalid integer: 5x.\n"},
    {.name = "UnsignedAttached", .args = {"-u17"}, .result = PARSE_RUN, .uns = 17},
    {.name = "UnsignedMinusOneWraps",
     .args = {"--uns=-1"},
     .result = PARSE_RUN,
     .uns = 4294967295u},
    {.name = "UnsignedMinusZero", .args = {"-u", "-0"}, .result = PARSE_RUN, .uns = 0},
    {.name = "UnsignedLeadingBlank", .args = {"--uns= 8"}, .result = PARSE_RUN, .uns = 8},
    {.name = "UnsignedBeyond32Bits", .args = {"-u", "4294967297"}, .result = PARSE_RUN, .uns = 1},
    {.name = "UnsignedLargest",
     .args = {"-u", "4294967295"},
     .result = PARSE_RUN,
     .uns = 4294967295u},
    {.name = "UnsignedInvalid",
     .args = {"--uns=1x"},
     .result = PARSE_USAGE_ERROR,
     .err = "lagwatch: Error: Invalid unsigned integer: 1x.\n"},
    {.name = "UnsignedLast",
     .args = {"-fu"},
     .result = PARSE_USAGE_ERROR,
     .flag = 7,
     .err = "lagwatch: Error: Option -u requires a value..\n"},
    {.name = "StringKeepsEqualsSigns",
     .args = {"--string=a=b"},
     .result = PARSE_RUN,
     .string = "a=b"},
    {.name = "StringValueLooksLikeLongOption",
     .args = {"--string", "--int"},
     .result = PARSE_RUN,
     .string = "--int"},
    {.name = "StringLast",
     .args = {"--string"},
     .result = PARSE_USAGE_ERROR,
     .err = "lagwatch: Error: Option --string requires a value..\n"},
    {.name = "ListKeepsEveryValueInOrder",
     .args = {"-l", "a", "-lb", "--list=c", "--list", ""},
     .result = PARSE_RUN,
     .list = {"a", "b", "c", ""}},
    {.name = "HelpStillLast", .args = {"--help", "-f"}, .result = PARSE_HELP, .flag = 7},
};

TEST_F(CommandLine, EveryKindCases) {
  for (const KindCase& c : kind_cases) {
    SetUp();
    flag_target = flagger_target = count_target = 0;
    int_target = 0;
    uns_target = 0;
    string_target = nullptr;
    list_target = nullptr;
    ASSERT_EQ(build_option_list(every_kind_table), 8);
    arguments a(c.args);
    int first = 0;
    EXPECT_EQ(parse_command_line(a.argc(), a.argv(), &first), c.result) << c.name;
    EXPECT_EQ(captured.err, c.err) << c.name;
    EXPECT_EQ(flag_target, c.flag) << c.name;
    EXPECT_EQ(flagger_target, c.flagger) << c.name;
    EXPECT_EQ(count_target, c.count) << c.name;
    EXPECT_EQ(int_target, c.integer) << c.name;
    EXPECT_EQ(uns_target, c.uns) << c.name;
    expect_text(string_target, c.string, "string", c.name);
    std::vector<std::string> list;
    for (const option_item* item = list_target; item != nullptr; item = item->next) {
      list.emplace_back(item->text);
    }
    EXPECT_EQ(list, c.list) << c.name;
  }
}

TEST_F(CommandLine, ApplyOptionResultByKind) {
  int flag = 0;
  int32_t integer = 0;
  const char* text = nullptr;
  option_item* items = nullptr;
  const optspec flag_spec = {'f', nullptr, OPT_FLAG, 3, &flag, nullptr, nullptr};
  const optspec counter_spec = {'c', nullptr, OPT_COUNTER, -1, &flag, nullptr, nullptr};
  const optspec integer_spec = {'i', nullptr, OPT_INTEGER, 0, &integer, nullptr, nullptr};
  const optspec string_spec = {'s', nullptr, OPT_STRING, 0, &text, nullptr, nullptr};
  const optspec list_spec = {'l', nullptr, OPT_LIST, 0, &items, nullptr, nullptr};
  struct Case {
    const char* name;
    const optspec* opt;
    const char* value;
    int result;
  };
  const Case cases[] = {
      {"FlagStoresNoValue", &flag_spec, nullptr, 0},
      {"CounterStoresNoValue", &counter_spec, nullptr, 0},
      {"IntegerStored", &integer_spec, "9", 1},
      {"IntegerRejected", &integer_spec, "nine", -1},
      {"StringStored", &string_spec, "s", 1},
      {"ListStored", &list_spec, "l", 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(apply_option(c.opt, c.value), c.result) << c.name;
  }
  EXPECT_EQ(flag, 2);  // set to 3, then -1 added
  EXPECT_EQ(integer, 9);
  EXPECT_STREQ(text, "s");
  ASSERT_NE(items, nullptr);
  EXPECT_STREQ(items->text, "l");
  EXPECT_EQ(items->next, nullptr);
  EXPECT_EQ(captured.err, "lagwatch: Error: Invalid integer: nine.\n");
}

// The entry's answers that end before the run: status, both streams, and one write for the
// whole usage-and-help output.
TEST_F(CommandLine, EntryAnswersHelpAndUsageErrors) {
  const std::string screen = kExpectedHelpScreen;
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int status;
    const char* err;
  };
  const Case cases[] = {
      {"HelpExitsZero", {"-h"}, 0, ""},
      {"HelpWithLeftoverExitsZero", {"--help", "foo"}, 0, ""},
      {"UnknownLetterExitsOne", {"-q"}, 1, "lagwatch: Error: Unknown option letter -q..\n"},
      {"HelpWithValueExitsOne",
       {"--help=yes"},
       1,
       "lagwatch: Error: Option --help does not take a value..\n"},
      {"InvalidIntegerExitsOne", {"-t", "12x"}, 1, "lagwatch: Error: Invalid integer: 12x.\n"},
      {"PositionalExitsOne", {"foo"}, 1, "lagwatch: Error: Too many command-line arguments.\n"},
  };
  for (const Case& c : cases) {
    SetUp();
    arguments a(c.args);
    EXPECT_EQ(program_main(a.argc(), a.argv()), c.status) << c.name;
    EXPECT_EQ(captured.out, screen) << c.name;
    EXPECT_EQ(captured.out.size(), 658u) << c.name;
    EXPECT_EQ(captured.out_writes, 1) << c.name;
    EXPECT_EQ(captured.err, c.err) << c.name;
  }
}

// Whatever the arguments (empty ones, lone dashes, bytes above 0x7f, values that look like
// options), a parse ends in the run, in help, or in exactly one usage error line, and never
// reads past an argument (the sanitizer build watches that). The generator is seeded, so
// every run sees the same vectors.
TEST_F(CommandLine, ArbitraryArgumentsEndInRunHelpOrOneUsageError) {
  const std::string pieces[] = {"",      "-",   "--",  "-h", "--help", "--help=", "-t",
                                "-x",    "-dt", "-td", "-b", "--h",    "-\xff",   "\x80",
                                "=",     "-=",  "--=", "12", " 7",     "-0",      "foo",
                                "-dmNr", "-N-", "---", "-\t"};
  const int piece_count = static_cast<int>(sizeof pieces / sizeof pieces[0]);
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t bound) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % bound;
  };
  int seen[3] = {0, 0, 0};
  for (int round = 0; round < 20000; round++) {
    SetUp();
    std::vector<std::string> args;
    const uint32_t n = next(6);
    for (uint32_t k = 0; k < n; k++) {
      std::string arg = pieces[next(piece_count)];
      if (next(4) == 0) arg += pieces[next(piece_count)];
      if (next(50) == 0) arg += std::string(next(5000), static_cast<char>(next(256)));
      args.push_back(arg);
    }
    arguments a(args);
    int first = -1;
    const parse_result r = parse_command_line(a.argc(), a.argv(), &first);
    ASSERT_GE(first, 1) << round;
    ASSERT_LE(first, a.argc()) << round;
    ASSERT_EQ(captured.out, "") << round;
    switch (r) {
      case PARSE_RUN:
        ASSERT_EQ(first, a.argc()) << round;
        ASSERT_EQ(captured.err, "") << round;
        break;
      case PARSE_HELP:
        ASSERT_EQ(help_requested, 1) << round;
        ASSERT_EQ(captured.err, "") << round;
        break;
      case PARSE_USAGE_ERROR:
        ASSERT_EQ(captured.err.rfind("lagwatch: Error: ", 0), 0u) << round;
        ASSERT_GE(captured.err.size(), 19u) << round;
        ASSERT_EQ(captured.err.substr(captured.err.size() - 2), ".\n") << round;
        break;
      default:
        FAIL() << "result " << r << " in round " << round;
    }
    seen[r]++;
  }
  // The generator reaches all three endings, so the checks above were all exercised.
  EXPECT_GT(seen[PARSE_RUN], 0);
  EXPECT_GT(seen[PARSE_HELP], 0);
  EXPECT_GT(seen[PARSE_USAGE_ERROR], 0);
}

}  // namespace
}  // namespace lagwatch
