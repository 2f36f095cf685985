#include "run/settings.h"

namespace lagwatch {

// The body of every notice unless -f names another, with two blanks after "a total of %s.".
// Expanded with the host name, the age text and the lifetime text.
const char default_notice_template[] =
    "Your message has been received by %s but has been\n"
    "undeliverable to the following recipients for at least %s.\n"
    "The mail system will continue to attempt to deliver your message\n"
    "to these recipients for a total of %s.  You do not need to\n"
    "resend your message at this time.\n";

namespace {

// The defaults, kept in one place so that the static instance and settings_reset agree.
constexpr settings_record default_settings = {
    .opt_age = 14400,  // four hours
    .opt_copy_bytes = -1,
    .opt_debug = 0,
    .opt_bounce_file = nullptr,
    .opt_mime = 0,
    .opt_no_send = 0,
    .opt_rcpthosts_only = 0,
    .opt_extra_rcpt = nullptr,
    .notice_template = default_notice_template,
    .me = nullptr,
    .queuelifetime = 0,
    .now = 0,
    .lastrun = 0,
    .extra_rcpt = nullptr,
};

}  // namespace

settings_record settings = default_settings;

// The parser searches the rows in this order and the help screen lists them in it. The default
// texts only describe the defaults on the help screen.
const optspec option_table[] = {
    {'b', nullptr, OPT_INTEGER, 0, &settings.opt_copy_bytes,
     "Copy N bytes from the original message into the notice.", "entire message"},
    {'d', nullptr, OPT_FLAG, 1, &settings.opt_debug, "Show debugging messages", nullptr},
    {'f', nullptr, OPT_STRING, 0, &settings.opt_bounce_file,
     "Load the bounce response message from a file", nullptr},
    {'m', nullptr, OPT_FLAG, 1, &settings.opt_mime,
     "Encode the original message as a MIME attachment", nullptr},
    {'N', nullptr, OPT_FLAG, 1, &settings.opt_no_send, "Don't send messages, just print them out",
     nullptr},
    {'r', nullptr, OPT_FLAG, 1, &settings.opt_rcpthosts_only,
     "Only respond to senders with a domain listed in qmail's rcpthosts", nullptr},
    {'t', nullptr, OPT_INTEGER, 0, &settings.opt_age,
     "Send notifications for messages that are at least N seconds old", "4 hours"},
    {'x', nullptr, OPT_STRING, 0, &settings.opt_extra_rcpt,
     "Send a copy of the notification to the given recipient", nullptr},
    {0, nullptr, 0, 0, nullptr, nullptr, nullptr},
};

void settings_reset() { settings = default_settings; }

}  // namespace lagwatch
