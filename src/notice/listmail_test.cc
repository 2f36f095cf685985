#include "notice/listmail.h"

#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace lagwatch {
namespace {

// A header field of exactly `n` bytes, its line feed included, that marks nothing.
std::string filler(size_t n) { return "X-Filler: " + std::string(n - 11, 'a') + "\n"; }

TEST(ListmailField, FirstMarkingFieldOfTheHeaderWithholdsTheNotice) {
  struct Case {
    const char* name;
    std::string text;
    const char* field;  // null: the notice goes out
  };
  const Case cases[] = {
      {"EmptyText", "", nullptr},
      {"OrdinaryHeader", "From: a@x\nSubject: hi\n\nbody\n", nullptr},
      {"ListIdWithAnyValue", "From: a@x\nList-Id: <m.lists.example.org>\n\nbody\n", "List-Id"},
      {"ListIdWithoutValue", "List-Id:\n\n", "List-Id"},
      {"ListPostLowerCase", "list-post: <mailto:m@x>\n", "List-Post"},
      {"ListHelpUpperCase", "LIST-HELP: x\n", "List-Help"},
      {"ListSubscribeOddCase", "lIsT-sUbScRiBe: x\n", "List-Subscribe"},
      {"ListUnsubscribe", "List-Unsubscribe: <mailto:m-unsubscribe@x>\n", "List-Unsubscribe"},
      {"ListOwner", "List-Owner: x\n", "List-Owner"},
      {"ListArchive", "list-archive: x\n", "List-Archive"},
      {"MailingList", "Mailing-List: contact m-help@x; run by ezmlm\n", "Mailing-List"},
      {"BlanksBeforeTheColon", "List-Id \t : x\n", "List-Id"},
      {"BlankInsideTheName", "List Id: x\n", nullptr},
      {"LongerName", "List-Identity: x\n", nullptr},
      {"NameAsSuffix", "X-List-Id: x\n", nullptr},
      {"VeryLongName", "List-Id" + std::string(40, 'x') + ": x\n", nullptr},
      {"NoColonIsNoField", "List-Id\n\n", nullptr},
      {"NameInAValue", "Subject: List-Id: x\n", nullptr},
      {"PrecedenceBulk", "Precedence: bulk\n", "Precedence"},
      {"PrecedenceListUpperCaseNoBlank", "precedence:LIST\n", "Precedence"},
      {"PrecedenceJunkBlanksAround", "Precedence: \t junk \t\r\n", "Precedence"},
      {"PrecedenceManyTrailingBlanks", "Precedence: bulk" + std::string(40, ' ') + "\n",
       "Precedence"},
      {"PrecedenceNormal", "Precedence: normal\n", nullptr},
      {"PrecedenceLongerWord", "Precedence: bulky\n", nullptr},
      {"PrecedenceWithComment", "Precedence: bulk (daily)\n", nullptr},
      {"PrecedenceEmpty", "Precedence:\n", nullptr},
      {"AutoSubmittedAutoReplied", "Auto-Submitted: auto-replied; x\n", "Auto-Submitted"},
      {"AutoSubmittedNo", "Auto-Submitted: no\n", nullptr},
      {"AutoSubmittedNoWithComment", "Auto-Submitted: no (x)\n", nullptr},
      {"AutoSubmittedNoUpperCaseWithParameter", "AUTO-SUBMITTED:NO;x=y\n", nullptr},
      {"AutoSubmittedNoCommentAttached", "Auto-Submitted: no(x)\n", nullptr},
      {"AutoSubmittedNoBlanksAround", "Auto-Submitted: \t no \t\r\n", nullptr},
      {"AutoSubmittedNope", "Auto-Submitted: nope\n", "Auto-Submitted"},
      {"AutoSubmittedEmpty", "Auto-Submitted:\n", "Auto-Submitted"},
      {"ValueOnAContinuationLine", "Precedence:\n bulk\n", "Precedence"},
      {"ValueGoesOnAcrossLines", "Precedence: bu\n\tlk\n", nullptr},
      {"AutoSubmittedContinuedCrLf", "Auto-Submitted:\r\n\tauto-replied\r\n", "Auto-Submitted"},
      {"AutoSubmittedNoContinued", "Auto-Submitted:\n  no\n (x)\n", nullptr},
      {"ColonOnAContinuationLine", "List-Id\n : x\n", "List-Id"},
      {"FieldInAContinuationLine", "Subject: hi\n List-Id: x\n\tPrecedence: bulk\n", nullptr},
      {"ContinuationBeforeTheFirstField", " List-Id: x\nSubject: hi\n", nullptr},
      {"CarriageReturnNotBeforeALineFeed", "Precedence: bulk\r\r\n", nullptr},
      {"FieldAfterTheEmptyLine", "Subject: hi\n\nList-Id: x\n", nullptr},
      {"FieldAfterALoneCarriageReturnLine", "Subject: hi\n\r\nList-Id: x\n", nullptr},
      {"EmptyFirstLine", "\nList-Id: x\n", nullptr},
      {"BlankLineIsNoEmptyLine", "Subject: hi\n \nList-Id: x\n", "List-Id"},
      {"FirstOfSeveralCounts", "Auto-Submitted: auto-replied\nList-Id: x\n", "Auto-Submitted"},
      {"UnmarkingFieldDoesNotStopTheScan", "Precedence: normal\nList-Id: x\n", "List-Id"},
      {"NoEmptyLineNoLineFeed", "Subject: hi\nPrecedence: bulk", "Precedence"},
      // 65,536 bytes are read; the sizes are written out, so that a changed limit shows.
      {"FieldEndingAtTheLimit", filler(65520) + "Precedence: bulk\n\n", "Precedence"},
      {"FieldCutByTheLimit", filler(65521) + "Precedence: bulk\n\n", nullptr},
      {"ColonAtTheLastByte", filler(65528) + "List-Id:\n\n", "List-Id"},
      {"ColonJustPastTheLimit", filler(65529) + "List-Id:\n\n", nullptr},
      {"FieldPastTheLimit", filler(65536) + "List-Id: x\n\n", nullptr},
  };
  for (const Case& c : cases) {
    // Exactly the bytes, nothing after them: a read past the end shows under the sanitizer.
    const std::vector<char> bytes(c.text.begin(), c.text.end());
    const char* field =
        listmail_field(bytes.empty() ? nullptr : bytes.data(), static_cast<uint32_t>(bytes.size()));
    EXPECT_STREQ(field, c.field) << c.name;
  }
}

}  // namespace
}  // namespace lagwatch
