// Line assembly: end-of-lines split across chunks, several lines in one
// chunk, sets of end-of-lines, text left at the end, encodings, and input
// that never ends a line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedHub.h"
#include "platform/CodePage.h"

namespace green {
namespace {

using Lines = std::vector<std::string>;
using test::TProviderFixture;

TEST(ProviderLines, CrLfSplitAcrossChunksEndsOneLineWithoutTheCr) {
  TProviderFixture f;
  f.Hub.Feed({"first\r", "\nsecond\r", "\n"});
  f.Hub.FeedEnd();
  EXPECT_EQ(f.Lines(), (Lines{"first", "second"}));
}

TEST(ProviderLines, SecondLineOfAChunkComesWithoutAnotherRead) {
  TProviderFixture f;
  f.Hub.Feed("one\r\ntwo\r\n");
  EXPECT_EQ(f.Prov->ReadLn(), "one");
  EXPECT_EQ(f.Prov->PendingBytes(), 5u);
  EXPECT_EQ(f.Prov->ReadLn(), "two");
  EXPECT_EQ(f.Hub.ReadCalls, 1);
}

TEST(ProviderLines, TextAfterTheLastEndOfLineStaysAtTheEnd) {
  TProviderFixture f;
  f.Hub.Feed("done\r\npartial");
  f.Hub.FeedEnd();
  EXPECT_EQ(f.Prov->ReadLn(), "done");
  std::string s = "old";
  EXPECT_FALSE(f.Prov->ReadLn(s));
  EXPECT_EQ(s, "");
  EXPECT_THROW(f.Prov->ReadLn(), TOvoProvider::AEOF);
  EXPECT_EQ(f.Rest(), "partial") << "undelivered text stays for a plain read";
}

TEST(ProviderLines, ReadLnAtTheEndRaisesEof) {
  TProviderFixture f;
  f.Hub.FeedEnd();
  try {
    f.Prov->ReadLn();
    FAIL() << "no exception";
  } catch (const TOvoProvider::AEOF& e) {
    EXPECT_EQ(e.Message(), "EOF");
  }
}

TEST(ProviderLines, LfOnlyInputDoesNotEndCrLfLines) {
  TProviderFixture f;
  f.Hub.Feed("a\nb\n");
  f.Hub.FeedEnd();
  EXPECT_TRUE(f.Lines().empty());
  EXPECT_EQ(f.Rest(), "a\nb\n");
  f.Prov->SetEOL("\n");
  EXPECT_EQ(f.Prov->GetEOL(), "\n");
}

TEST(ProviderLines, FirstListedEndOfLineThatOccursWinsEvenWhenALaterOneComesFirst) {
  TProviderFixture f;
  f.Hub.Feed("a\nb\r\nc\n");
  f.Hub.FeedEnd();
  std::string s;
  const std::vector<std::string> eols{"\r\n", "\n"};
  ASSERT_TRUE(f.Prov->_ReadString(*TEncoding::Default(), s, eols));
  EXPECT_EQ(s, "a\nb");
  ASSERT_TRUE(f.Prov->_ReadString(*TEncoding::Default(), s, eols));
  EXPECT_EQ(s, "c") << "no CR LF left: the LF ends the line";
  EXPECT_FALSE(f.Prov->_ReadString(*TEncoding::Default(), s, eols));
}

// The set is searched in what has arrived so far, so chunk bounds matter.
TEST(ProviderLines, EndOfLineSetDecidesOnWhatHasArrived) {
  TProviderFixture f;
  f.Hub.Feed({"a\nb", "\r\n"});
  std::string s;
  const std::vector<std::string> eols{"\r\n", "\n"};
  ASSERT_TRUE(f.Prov->_ReadString(*TEncoding::Default(), s, eols));
  EXPECT_EQ(s, "a");
  ASSERT_TRUE(f.Prov->_ReadString(*TEncoding::Default(), s, eols));
  EXPECT_EQ(s, "b");
}

TEST(ProviderLines, EmptyEndOfLineNeverMatches) {
  TProviderFixture f;
  f.Hub.Feed("x|y|");
  f.Hub.FeedEnd();
  std::string s;
  const std::vector<std::string> eols{"", "|"};
  ASSERT_TRUE(f.Prov->_ReadString(*TEncoding::Default(), s, eols));
  EXPECT_EQ(s, "x");
  EXPECT_FALSE(f.Prov->ReadString(*TEncoding::Default(), s, ""));
  EXPECT_EQ(f.Rest(), "y|");
}

// "\xD0" is no character: it reads as U+FFFD, never as the first byte of
// the UTF-8 of a character.
TEST(ProviderLines, IllFormedEndOfLineMatchesOnlyWholeCharacters) {
  TProviderFixture f;
  f.Hub.Feed("\xD0\xA0\xD0\xA0x\xFFy");
  f.Hub.FeedEnd();
  std::string s;
  ASSERT_TRUE(f.Prov->_ReadString(*TEncoding::UTF8(), s, {"\xD0"}));
  EXPECT_EQ(s, "\xD0\xA0\xD0\xA0x") << "the line ends at 0xFF, which does not decode";
  EXPECT_EQ(f.Rest(), "y");
}

// A double-byte page goes through the platform; where it has one, its
// lines and what follows them come out as for any other page.
TEST(ProviderLines, DoubleByteSystemPageKeepsCharactersAndBytes) {
  if (!os::IsCodePageSupported(932)) GTEST_SKIP() << "no code page 932 here";
  TProviderFixture f;
  TEncoding sjis(932);
  f.Prov->SetEncoding(sjis);
  // U+3042 and U+3044 in Shift-JIS; the second is split between chunks.
  f.Hub.Feed({"\x82\xA0\r\n\x82", "\xA2\r\nz"});
  EXPECT_EQ(f.Prov->ReadLn(), "\xE3\x81\x82");
  EXPECT_EQ(f.Prov->ReadLn(), "\xE3\x81\x84");
  EXPECT_EQ(f.Rest(), "z");
}

TEST(ProviderLines, ManyLinesInOneChunkWithASetOfEndOfLines) {
  TProviderFixture f;
  std::string text;
  Lines expected;
  for (int i = 0; i < 2000; ++i) {
    expected.push_back("line " + std::to_string(i));
    text += expected.back() + (i % 7 == 0 ? "\r\n" : "\n");
  }
  // ';' never occurs, so every LF ends a line; the CR of a CR LF stays in
  // its line. Both end-of-lines are searched once, not once per line.
  f.Hub.Feed(text);
  f.Hub.FeedEnd();
  std::string s;
  const std::vector<std::string> eols{";", "\n"};
  Lines got;
  while (f.Prov->_ReadString(*TEncoding::Default(), s, eols)) got.push_back(s);
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    const std::string want = i % 7 == 0 ? expected[i] + "\r" : expected[i];
    ASSERT_EQ(got[i], want) << i;
  }
}

TEST(ProviderLines, LongLineOverManySmallChunks) {
  TProviderFixture f;
  std::string line;
  for (int i = 0; i < 5000; ++i) {
    line += static_cast<char>('a' + i % 26);
    f.Hub.Feed(std::string(1, line.back()));
  }
  f.Hub.Feed("\r\n");
  EXPECT_EQ(f.Prov->ReadLn(), line);
  EXPECT_EQ(f.Hub.ReadCalls, 5001);
}

TEST(ProviderLines, Cp1251TextRoundTrips) {
  TProviderFixture f;
  const std::string privet = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // "Привет"
  f.Prov->SetEncoding(*TEncoding::Cp1251());
  f.Prov->WriteLn(privet);
  f.Prov->WriteLn({"a", "b"});
  EXPECT_EQ(f.Hub.Written, "\xCF\xF0\xE8\xE2\xE5\xF2\r\na\r\nb\r\n");
  f.Hub.Feed(f.Hub.Written);
  f.Hub.FeedEnd();
  EXPECT_EQ(f.Lines(), (Lines{privet, "a", "b"}));
}

TEST(ProviderLines, Utf8CharacterSplitAcrossChunksSurvives) {
  TProviderFixture f;
  f.Prov->SetEncoding(*TEncoding::UTF8());
  // U+1F600 in three pieces, then U+041F with the end-of-line split too.
  f.Hub.Feed({"a\xF0", "\x9F\x98", "\x80\xD0", "\x9F\r", "\nrest\xD0"});
  EXPECT_EQ(f.Prov->ReadLn(), "a\xF0\x9F\x98\x80\xD0\x9F");
  f.Hub.Feed("\xB8\r\n");
  EXPECT_EQ(f.Prov->ReadLn(), "rest\xD0\xB8");
}

// What follows a line is kept as the bytes that arrived, not as text
// encoded again, so ill-formed input reaches a plain read unchanged.
TEST(ProviderLines, BytesAfterALineStayExactlyAsTheyArrived) {
  TProviderFixture f;
  f.Prov->SetEncoding(*TEncoding::UTF8());
  f.Hub.Feed("ok\r\n\xFF\xFEz\xD0");
  EXPECT_EQ(f.Prov->ReadLn(), "ok");
  EXPECT_EQ(f.Rest(), "\xFF\xFEz\xD0");
  f.Prov->SetEncoding(*TEncoding::Cp1251());
  f.Hub.Feed("x\r\n\x98y");
  EXPECT_EQ(f.Prov->ReadLn(), "x");
  EXPECT_EQ(f.Rest(), "\x98y") << "a byte that 1251 cannot decode";
}

// A line is found in the bytes and a match in their text: taking turns,
// each starts where the other stopped, ill-formed bytes included.
TEST(ProviderLines, LineAndMatchReadsTakeTurnsOnTheSameBytes) {
  struct TCase {
    const TEncoding* Enc;
    std::vector<std::string> Chunks;
    std::string Line1, Match1, Line2, Match2, Rest;
  };
  const TCase cases[] = {
      {TEncoding::Cp1251(), {"\xCF\xF0 1\r\n\xEC 22 7\xE8", "\xF0\r\n4z"},
       "\xD0\x9F\xD1\x80 1", "22", " 7\xD0\xB8\xD1\x80", "4", "z"},
      {TEncoding::UTF8(), {"a\xFF\r\nb\xD0 33 8", " \xD0\x9F\r", "\n5\xFE"},
       "a\xEF\xBF\xBD", "33", " 8 \xD0\x9F", "5", "\xFE"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Enc->CodePage());
    TProviderFixture f;
    f.Prov->SetEncoding(*c.Enc);
    for (const std::string& chunk : c.Chunks) f.Hub.Feed(chunk);
    std::string match;
    EXPECT_EQ(f.Prov->ReadLn(), c.Line1);
    EXPECT_TRUE(f.Prov->ReadRegEx(std::string("\\d+"), match));
    EXPECT_EQ(match, c.Match1);
    EXPECT_EQ(f.Prov->ReadLn(), c.Line2);
    EXPECT_TRUE(f.Prov->ReadRegEx(std::string("\\d+"), match));
    EXPECT_EQ(match, c.Match2);
    EXPECT_EQ(f.Rest(), c.Rest);
  }
}

TEST(ProviderLines, ChangedEncodingDecodesWaitingBytesAgain) {
  TProviderFixture f;
  f.Prov->SetEncoding(*TEncoding::UTF8());
  f.Hub.Feed("a\r\n\xCF\xF0\r\n");
  EXPECT_EQ(f.Prov->ReadLn(), "a");
  f.Prov->SetEncoding(*TEncoding::Cp1251());
  EXPECT_EQ(f.Prov->ReadLn(), "\xD0\x9F\xD1\x80");
}

TEST(ProviderLines, SetEncodingStoresACloneNeverTheCallersObject) {
  TProviderFixture f;
  EXPECT_EQ(f.Prov->GetEncoding(), TEncoding::Default());
  EXPECT_FALSE(f.Prov->EncCopied());
  {
    TEncoding mine(1251);
    f.Prov->SetEncoding(mine);
    EXPECT_NE(f.Prov->GetEncoding(), &mine);
    EXPECT_TRUE(f.Prov->EncCopied());
  }
  f.Prov->WriteLn("\xD0\x9F");
  EXPECT_EQ(f.Hub.Written, "\xCF\r\n") << "the copy outlives the caller's object";
  f.Prov->SetEncoding(*TEncoding::UTF8());
  EXPECT_FALSE(f.Prov->EncCopied());
  EXPECT_EQ(f.Prov->GetEncoding(), TEncoding::UTF8());
}

// A stream that never ends a line: assembly stops at the limit and fails;
// nothing is lost, and the lines before it were delivered.
TEST(ProviderLines, AssemblyLimitEndsTheReadAndLosesNothing) {
  TProviderFixture f;
  f.Prov->SetAssemblyLimit(16);
  f.Hub.Feed({"fine\r\n", "0123456789", "abcdefghij", "KLMNOPQRST"});
  EXPECT_EQ(f.Prov->ReadLn(), "fine");
  std::string s;
  EXPECT_FALSE(f.Prov->ReadLn(s));
  EXPECT_EQ(f.Hub.ReadCalls, 3) << "no read once the limit is reached";
  EXPECT_EQ(f.Rest(), "0123456789abcdefghij");
  f.Prov->SetAssemblyLimit(TPushBackBuffer::kNoLimit);
  f.Hub.Feed("\r\n");
  EXPECT_EQ(f.Prov->ReadLn(), "KLMNOPQRST");
}

TEST(ProviderLines, WriteStringUsesItsOwnEncodingAndEndOfLine) {
  TProviderFixture f;
  EXPECT_TRUE(f.Prov->WriteString(*TEncoding::Cp1251(), "\xD0\x9F", "|"));
  EXPECT_EQ(f.Hub.Written, "\xCF|");
  f.Hub.WriteError = os::kErrorBrokenPipe;
  EXPECT_FALSE(f.Prov->WriteString(*TEncoding::UTF8(), "x", "\n"));
}

}  // namespace
}  // namespace green
