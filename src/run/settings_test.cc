#include "run/settings.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace lagwatch {
namespace {

TEST(SettingsTest, BuiltInTemplateIs267BytesWithTwoBlanksAfterTheLifetime) {
  EXPECT_EQ(strlen(default_notice_template), 267u);
  EXPECT_NE(strstr(default_notice_template, "a total of %s.  You do not need to\n"), nullptr);
  EXPECT_STREQ(default_notice_template,
               "Your message has been received by %s but has been\n"
               "undeliverable to the following recipients for at least %s.\n"
               "The mail system will continue to attempt to deliver your message\n"
               "to these recipients for a total of %s.  You do not need to\n"
               "resend your message at this time.\n");
}

TEST(SettingsTest, OptionTableRowsInSearchOrder) {
  struct Case {
    const char* name;
    char letter;
    uint32_t kind;
    int flag_value;
    void* target;
    const char* help_text;
    const char* default_text;
  };
  const Case cases[] = {
      {"CopyBytes", 'b', OPT_INTEGER, 0, &settings.opt_copy_bytes,
       "Copy N bytes from the original message into the notice.", "entire message"},
      {"Debug", 'd', OPT_FLAG, 1, &settings.opt_debug, "Show debugging messages", nullptr},
      {"BounceFile", 'f', OPT_STRING, 0, &settings.opt_bounce_file,
       "Load the bounce response message from a file", nullptr},
      {"Mime", 'm', OPT_FLAG, 1, &settings.opt_mime,
       "Encode the original message as a MIME attachment", nullptr},
      {"NoSendIsUpperCase", 'N', OPT_FLAG, 1, &settings.opt_no_send,
       "Don't send messages, just print them out", nullptr},
      {"RcpthostsOnly", 'r', OPT_FLAG, 1, &settings.opt_rcpthosts_only,
       "Only respond to senders with a domain listed in qmail's rcpthosts", nullptr},
      {"Age", 't', OPT_INTEGER, 0, &settings.opt_age,
       "Send notifications for messages that are at least N seconds old", "4 hours"},
      {"ExtraRecipient", 'x', OPT_STRING, 0, &settings.opt_extra_rcpt,
       "Send a copy of the notification to the given recipient", nullptr},
  };
  size_t row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const optspec& opt = option_table[row++];
    EXPECT_EQ(opt.letter, c.letter);
    EXPECT_EQ(opt.long_name, nullptr);
    EXPECT_EQ(opt.kind, c.kind);
    EXPECT_EQ(opt.flag_value, c.flag_value);
    EXPECT_EQ(opt.target, c.target);
    ASSERT_NE(opt.help_text, nullptr);
    EXPECT_STREQ(opt.help_text, c.help_text);
    if (c.default_text == nullptr) {
      EXPECT_EQ(opt.default_text, nullptr);
    } else {
      ASSERT_NE(opt.default_text, nullptr);
      EXPECT_STREQ(opt.default_text, c.default_text);
    }
  }
  const optspec& end = option_table[row];
  EXPECT_EQ(end.letter, 0);
  EXPECT_EQ(end.long_name, nullptr);
}

TEST(SettingsTest, ResetRestoresEveryDefault) {
  settings.opt_age = 1;
  settings.opt_copy_bytes = 5;
  settings.opt_debug = 1;
  settings.opt_bounce_file = "f";
  settings.opt_mime = 1;
  settings.opt_no_send = 1;
  settings.opt_rcpthosts_only = 1;
  settings.opt_extra_rcpt = "x";
  settings.notice_template = "t";
  settings.me = "me";
  settings.queuelifetime = 9;
  settings.now = 9;
  settings.lastrun = 9;
  settings.extra_rcpt = "x@me";
  settings_reset();
  EXPECT_EQ(settings.opt_age, 14400);
  EXPECT_EQ(settings.opt_copy_bytes, -1);
  EXPECT_EQ(settings.opt_debug, 0);
  EXPECT_EQ(settings.opt_bounce_file, nullptr);
  EXPECT_EQ(settings.opt_mime, 0);
  EXPECT_EQ(settings.opt_no_send, 0);
  EXPECT_EQ(settings.opt_rcpthosts_only, 0);
  EXPECT_EQ(settings.opt_extra_rcpt, nullptr);
  EXPECT_EQ(settings.notice_template, default_notice_template);
  EXPECT_EQ(settings.me, nullptr);
  EXPECT_EQ(settings.queuelifetime, 0);
  EXPECT_EQ(settings.now, 0);
  EXPECT_EQ(settings.lastrun, 0);
  EXPECT_EQ(settings.extra_rcpt, nullptr);
}

}  // namespace
}  // namespace lagwatch
