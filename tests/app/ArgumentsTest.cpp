// The command line: how it splits into arguments and how the launcher
// joins its arguments for the worker.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/Arguments.h"
#include "platform/CommandLine.h"

namespace green {
namespace {

using TArgs = std::vector<std::string>;
using os::SplitCommandLine;

TEST(SplitCommandLine, BlanksSeparateAndQuotesGroup) {
  EXPECT_EQ(SplitCommandLine("launcher.exe one \"two words\" three"),
            (TArgs{"launcher.exe", "one", "two words", "three"}));
  // Every character 1..32 separates, runs of them count once.
  EXPECT_EQ(SplitCommandLine(" \t a\x01\x1f" "b\r\n c  "), (TArgs{"a", "b", "c"}));
  EXPECT_EQ(SplitCommandLine(""), TArgs{});
  EXPECT_EQ(SplitCommandLine(" \t "), TArgs{});
}

TEST(SplitCommandLine, QuotesInTheMiddleAreDroppedAndJoinTheParts) {
  EXPECT_EQ(SplitCommandLine("ab\"c d\"ef g"), (TArgs{"abc def", "g"}));
  EXPECT_EQ(SplitCommandLine("a\"\"b"), TArgs{"ab"});
  // Doubled quotes are no escape: the inner pair closes and reopens.
  EXPECT_EQ(SplitCommandLine("\"a\"\"b\""), TArgs{"ab"});
  // An unclosed quote runs to the end of the line.
  EXPECT_EQ(SplitCommandLine("x \"open to the end"), (TArgs{"x", "open to the end"}));
}

TEST(SplitCommandLine, EmptyQuotedArgumentsVanish) {
  EXPECT_EQ(SplitCommandLine("a \"\" b"), (TArgs{"a", "b"}));
  EXPECT_EQ(SplitCommandLine("\"\"\"\" \"\""), TArgs{});
  // Pairs are skipped only at the start of an argument.
  EXPECT_EQ(SplitCommandLine("\"\"x\"\"y"), TArgs{"xy"});
  // A quoted blank is an argument.
  EXPECT_EQ(SplitCommandLine("\" \""), TArgs{" "});
}

TEST(SplitCommandLine, BackslashIsOrdinaryAndNulEndsTheLine) {
  EXPECT_EQ(SplitCommandLine(R"(C:\dir\ "a\" b\\)"), (TArgs{"C:\\dir\\", "a\\", "b\\\\"}));
  EXPECT_EQ(SplitCommandLine(std::string("a b\0c d", 7)), (TArgs{"a", "b"}));
}

TEST(SplitCommandLine, MultiByteTextPassesWhole) {
  EXPECT_EQ(SplitCommandLine("Привет \"мир вокруг\""), (TArgs{"Привет", "мир вокруг"}));
}

TEST(DelimitedText, ThreeArgumentsWithABlankInTheSecond) {
  EXPECT_EQ(DelimitedText({"first", "second arg", "third"}), "first \"second arg\" third");
}

TEST(DelimitedText, QuotesOnlyWhereNeeded) {
  EXPECT_EQ(DelimitedText({}), "");
  EXPECT_EQ(DelimitedText({"plain"}), "plain");
  // The quote split away on the way in, the argument passes unquoted.
  EXPECT_EQ(DelimitedText(SplitCommandLine("l.exe ab\"c\"d")), "l.exe abcd");
  // Any character 1..32 and the quote itself cause quoting; inner quotes double.
  EXPECT_EQ(DelimitedText({"tab\there", "say \"hi\"", "a\"b"}), "\"tab\there\" \"say \"\"hi\"\"\" \"a\"\"b\"");
  EXPECT_EQ(DelimitedText({std::string("\x01")}), "\"\x01\"");
  EXPECT_EQ(DelimitedText({std::string("\x21")}), "!");
  // Characters beyond ASCII never do.
  EXPECT_EQ(DelimitedText({"Привет", "ü"}), "Привет ü");
  EXPECT_EQ(DelimitedText({"back\\slash"}), "back\\slash");
}

TEST(DelimitedText, EmptyItems) {
  // Exactly one empty item is the one case that yields quotes for it.
  EXPECT_EQ(DelimitedText({""}), "\"\"");
  // Otherwise an empty item is just its delimiter; only the last one goes.
  EXPECT_EQ(DelimitedText({"a", ""}), "a ");
  EXPECT_EQ(DelimitedText({"", "a"}), " a");
}

TEST(DelimitedText, OtherDelimiterAndQuote) {
  EXPECT_EQ(DelimitedText({"a,b", "c d", "e"}, ',', '\''), "'a,b','c d',e");
  EXPECT_EQ(DelimitedText({"it's"}, ',', '\''), "'it''s'");
}

// What the worker gets back on posix, where the launcher has argv: the
// launcher's arguments exactly, as long as none is empty or holds a quote
// (which the Windows rules themselves cannot carry).
TEST(DelimitedText, SplitGivesBackEveryArgumentWithoutQuotes) {
  const std::vector<TArgs> Cases = {
      {"one"},
      {"one", "two words", "three"},
      {" ", "\t", "a\nb", "\x1f"},
      {"C:\\Program Files\\x", "trailing\\", "\\\\server\\share"},
      {"Привет мир", "ü", "--flag=value with blanks"},
      {"ends with blank ", " starts with blank"}};
  for (const TArgs& Args : Cases) EXPECT_EQ(SplitCommandLine(DelimitedText(Args)), Args);
}

TEST(DelimitedText, QuotesAndEmptyArgumentsDoNotSurviveTheRoundTrip) {
  EXPECT_EQ(SplitCommandLine(DelimitedText({"a\"b"})), TArgs{"ab"});
  EXPECT_EQ(SplitCommandLine(DelimitedText({"a", "", "b"})), (TArgs{"a", "b"}));
}

}  // namespace
}  // namespace green
