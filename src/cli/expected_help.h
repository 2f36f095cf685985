#ifndef LAGWATCH_CLI_EXPECTED_HELP_H_
#define LAGWATCH_CLI_EXPECTED_HELP_H_

namespace lagwatch {

// The usage line and help screen the program must show, byte for byte: 13 lines, 658 bytes.
// Written out by hand for the tests and the fuzz target to compare against; the program itself
// builds its screen from the option table.
inline constexpr char kExpectedHelpScreen[] =
    "usage: lagwatch [flags] \n"
    "  -b          Copy N bytes from the original message into the notice.\n"
    "              (Defaults to entire message)\n"
    "  -d          Show debugging messages\n"
    "  -f          Load the bounce response message from a file\n"
    "  -m          Encode the original message as a MIME attachment\n"
    "  -N          Don't send messages, just print them out\n"
    "  -r          Only respond to senders with a domain listed in qmail's rcpthosts\n"
    "  -t          Send notifications for messages that are at least N seconds old\n"
    "              (Defaults to 4 hours)\n"
    "  -x          Send a copy of the notification to the given recipient\n"
    "\n"
    "  -h, --help  Display this help and exit\n";

}  // namespace lagwatch

#endif  // LAGWATCH_CLI_EXPECTED_HELP_H_
