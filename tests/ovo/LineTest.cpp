// Line assembly: end-of-lines split across chunks, several lines in one
// chunk, sets of end-of-lines, text left at the end, encodings, and input
// that never ends a line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedHub.h"
#include "ovo/Search.h"
#include "platform/CodePage.h"

namespace green {
namespace {

using Lines = std::vector<std::string>;
using test::TProviderFixture;

TEST(ProviderLines, CrLfSplitAcrossChunksEndsOneLineWithoutTheCr) {
  TProviderFixture F;
  F.Hub.Feed({"first\r", "\nsecond\r", "\n"});
  F.Hub.FeedEnd();
  EXPECT_EQ(F.Lines(), (Lines{"first", "second"}));
}

// An end-of-line is found where it first occurs whole: after false starts
// on its first byte, and not at all when only its beginning has arrived.
TEST(ProviderLines, SearchFindsTheFirstWholeEndOfLine) {
  const struct {
    std::string Text, EOL;
    size_t Line;  // std::string::npos: none yet
  } Cases[] = {
      {"a\r\rb\r\n", "\r\n", 4}, {"xaab", "ab", 2},        {"abab", "ab", 0},
      {"ab\r", "\r\n", std::string::npos}, {"a", "\r\n", std::string::npos},
      {"a\nb\n", "\n", 1},       {"xyzxyzz", "yzz", 4},   {"", "\n", std::string::npos},
  };
  for (const auto& Case : Cases) {
    TLineSearch Search(std::span(&Case.EOL, 1));
    TSearchMemo Memo;
    TSearchHit Hit;
    const TSearchResult Result = Search.Find(Case.Text, 0, Memo, Hit);
    ASSERT_EQ(Result, Case.Line == std::string::npos ? srMore : srFound) << Case.Text;
    if (Result == srFound) {
      EXPECT_EQ(Hit.ValueLen, Case.Line) << Case.Text;
      EXPECT_EQ(Hit.Consumed, Case.Line + Case.EOL.size()) << Case.Text;
    }
  }
}

TEST(ProviderLines, SecondLineOfAChunkComesWithoutAnotherRead) {
  TProviderFixture F;
  F.Hub.Feed("one\r\ntwo\r\n");
  EXPECT_EQ(F.Prov->ReadLn(), "one");
  EXPECT_EQ(F.Prov->PendingBytes(), 5u);
  EXPECT_EQ(F.Prov->ReadLn(), "two");
  EXPECT_EQ(F.Hub.ReadCalls, 1);
}

TEST(ProviderLines, TextAfterTheLastEndOfLineStaysAtTheEnd) {
  TProviderFixture F;
  F.Hub.Feed("done\r\npartial");
  F.Hub.FeedEnd();
  EXPECT_EQ(F.Prov->ReadLn(), "done");
  std::string S = "old";
  EXPECT_FALSE(F.Prov->ReadLn(S));
  EXPECT_EQ(S, "");
  EXPECT_THROW(F.Prov->ReadLn(), TOvoProvider::AEOF);
  EXPECT_EQ(F.Rest(), "partial") << "undelivered text stays for a plain read";
}

TEST(ProviderLines, ReadLnAtTheEndRaisesEof) {
  TProviderFixture F;
  F.Hub.FeedEnd();
  try {
    F.Prov->ReadLn();
    FAIL() << "no exception";
  } catch (const TOvoProvider::AEOF& E) {
    EXPECT_EQ(E.Message(), "EOF");
  }
}

TEST(ProviderLines, LfOnlyInputDoesNotEndCrLfLines) {
  TProviderFixture F;
  F.Hub.Feed("a\nb\n");
  F.Hub.FeedEnd();
  EXPECT_TRUE(F.Lines().empty());
  EXPECT_EQ(F.Rest(), "a\nb\n");
  F.Prov->SetEOL("\n");
  EXPECT_EQ(F.Prov->GetEOL(), "\n");
}

TEST(ProviderLines, FirstListedEndOfLineThatOccursWinsEvenWhenALaterOneComesFirst) {
  TProviderFixture F;
  F.Hub.Feed("a\nb\r\nc\n");
  F.Hub.FeedEnd();
  std::string S;
  const std::vector<std::string> Eols{"\r\n", "\n"};
  ASSERT_TRUE(F.Prov->_ReadString(*TEncoding::Default(), S, Eols));
  EXPECT_EQ(S, "a\nb");
  ASSERT_TRUE(F.Prov->_ReadString(*TEncoding::Default(), S, Eols));
  EXPECT_EQ(S, "c") << "no CR LF left: the LF ends the line";
  EXPECT_FALSE(F.Prov->_ReadString(*TEncoding::Default(), S, Eols));
}

// The set is searched in what has arrived so far, so chunk bounds matter.
TEST(ProviderLines, EndOfLineSetDecidesOnWhatHasArrived) {
  TProviderFixture F;
  F.Hub.Feed({"a\nb", "\r\n"});
  std::string S;
  const std::vector<std::string> Eols{"\r\n", "\n"};
  ASSERT_TRUE(F.Prov->_ReadString(*TEncoding::Default(), S, Eols));
  EXPECT_EQ(S, "a");
  ASSERT_TRUE(F.Prov->_ReadString(*TEncoding::Default(), S, Eols));
  EXPECT_EQ(S, "b");
}

TEST(ProviderLines, EmptyEndOfLineNeverMatches) {
  TProviderFixture F;
  F.Hub.Feed("x|y|");
  F.Hub.FeedEnd();
  std::string S;
  const std::vector<std::string> Eols{"", "|"};
  ASSERT_TRUE(F.Prov->_ReadString(*TEncoding::Default(), S, Eols));
  EXPECT_EQ(S, "x");
  EXPECT_FALSE(F.Prov->ReadString(*TEncoding::Default(), S, ""));
  EXPECT_EQ(F.Rest(), "y|");
}

// "\xD0" is no character: it reads as U+FFFD, never as the first byte of
// the UTF-8 of a character.
TEST(ProviderLines, IllFormedEndOfLineMatchesOnlyWholeCharacters) {
  TProviderFixture F;
  F.Hub.Feed("\xD0\xA0\xD0\xA0x\xFFy");
  F.Hub.FeedEnd();
  std::string S;
  ASSERT_TRUE(F.Prov->_ReadString(*TEncoding::UTF8(), S, {"\xD0"}));
  EXPECT_EQ(S, "\xD0\xA0\xD0\xA0x") << "the line ends at 0xFF, which does not decode";
  EXPECT_EQ(F.Rest(), "y");
}

// A double-byte page goes through the platform; where it has one, its
// lines and what follows them come out as for any other page.
TEST(ProviderLines, DoubleByteSystemPageKeepsCharactersAndBytes) {
  if (!os::IsCodePageSupported(932)) GTEST_SKIP() << "no code page 932 here";
  TProviderFixture F;
  TEncoding Sjis(932);
  F.Prov->SetEncoding(Sjis);
  // U+3042 and U+3044 in Shift-JIS; the second is split between chunks.
  F.Hub.Feed({"\x82\xA0\r\n\x82", "\xA2\r\nz"});
  EXPECT_EQ(F.Prov->ReadLn(), "\xE3\x81\x82");
  EXPECT_EQ(F.Prov->ReadLn(), "\xE3\x81\x84");
  EXPECT_EQ(F.Rest(), "z");
}

TEST(ProviderLines, ManyLinesInOneChunkWithASetOfEndOfLines) {
  TProviderFixture F;
  std::string Text;
  Lines Expected;
  for (int I = 0; I < 2000; ++I) {
    Expected.push_back("line " + std::to_string(I));
    Text += Expected.back() + (I % 7 == 0 ? "\r\n" : "\n");
  }
  // ';' never occurs, so every LF ends a line; the CR of a CR LF stays in
  // its line. Both end-of-lines are searched once, not once per line.
  F.Hub.Feed(Text);
  F.Hub.FeedEnd();
  std::string S;
  const std::vector<std::string> Eols{";", "\n"};
  Lines Got;
  while (F.Prov->_ReadString(*TEncoding::Default(), S, Eols)) Got.push_back(S);
  ASSERT_EQ(Got.size(), Expected.size());
  for (size_t I = 0; I < Got.size(); ++I) {
    const std::string Want = I % 7 == 0 ? Expected[I] + "\r" : Expected[I];
    ASSERT_EQ(Got[I], Want) << I;
  }
}

TEST(ProviderLines, LongLineOverManySmallChunks) {
  TProviderFixture F;
  std::string Line;
  for (int I = 0; I < 5000; ++I) {
    Line += static_cast<char>('a' + I % 26);
    F.Hub.Feed(std::string(1, Line.back()));
  }
  F.Hub.Feed("\r\n");
  EXPECT_EQ(F.Prov->ReadLn(), Line);
  EXPECT_EQ(F.Hub.ReadCalls, 5001);
}

TEST(ProviderLines, Cp1251TextRoundTrips) {
  TProviderFixture F;
  const std::string Privet = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // "Привет"
  F.Prov->SetEncoding(*TEncoding::Cp1251());
  F.Prov->WriteLn(Privet);
  F.Prov->WriteLn({"a", "b"});
  EXPECT_EQ(F.Hub.Written, "\xCF\xF0\xE8\xE2\xE5\xF2\r\na\r\nb\r\n");
  F.Hub.Feed(F.Hub.Written);
  F.Hub.FeedEnd();
  EXPECT_EQ(F.Lines(), (Lines{Privet, "a", "b"}));
}

TEST(ProviderLines, Utf8CharacterSplitAcrossChunksSurvives) {
  TProviderFixture F;
  F.Prov->SetEncoding(*TEncoding::UTF8());
  // U+1F600 in three pieces, then U+041F with the end-of-line split too.
  F.Hub.Feed({"a\xF0", "\x9F\x98", "\x80\xD0", "\x9F\r", "\nrest\xD0"});
  EXPECT_EQ(F.Prov->ReadLn(), "a\xF0\x9F\x98\x80\xD0\x9F");
  F.Hub.Feed("\xB8\r\n");
  EXPECT_EQ(F.Prov->ReadLn(), "rest\xD0\xB8");
}

// What follows a line is kept as the bytes that arrived, not as text
// encoded again, so ill-formed input reaches a plain read unchanged.
TEST(ProviderLines, BytesAfterALineStayExactlyAsTheyArrived) {
  TProviderFixture F;
  F.Prov->SetEncoding(*TEncoding::UTF8());
  F.Hub.Feed("ok\r\n\xFF\xFEz\xD0");
  EXPECT_EQ(F.Prov->ReadLn(), "ok");
  EXPECT_EQ(F.Rest(), "\xFF\xFEz\xD0");
  F.Prov->SetEncoding(*TEncoding::Cp1251());
  F.Hub.Feed("x\r\n\x98y");
  EXPECT_EQ(F.Prov->ReadLn(), "x");
  EXPECT_EQ(F.Rest(), "\x98y") << "a byte that 1251 cannot decode";
}

// A line is found in the bytes and a match in their text: taking turns,
// each starts where the other stopped, ill-formed bytes included.
TEST(ProviderLines, LineAndMatchReadsTakeTurnsOnTheSameBytes) {
  struct TCase {
    const TEncoding* Enc;
    std::vector<std::string> Chunks;
    std::string Line1, Match1, Line2, Match2, Rest;
  };
  const TCase Cases[] = {
      {TEncoding::Cp1251(), {"\xCF\xF0 1\r\n\xEC 22 7\xE8", "\xF0\r\n4z"},
       "\xD0\x9F\xD1\x80 1", "22", " 7\xD0\xB8\xD1\x80", "4", "z"},
      {TEncoding::UTF8(), {"a\xFF\r\nb\xD0 33 8", " \xD0\x9F\r", "\n5\xFE"},
       "a\xEF\xBF\xBD", "33", " 8 \xD0\x9F", "5", "\xFE"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Enc->CodePage());
    TProviderFixture F;
    F.Prov->SetEncoding(*C.Enc);
    for (const std::string& Chunk : C.Chunks) F.Hub.Feed(Chunk);
    std::string Match;
    EXPECT_EQ(F.Prov->ReadLn(), C.Line1);
    EXPECT_TRUE(F.Prov->ReadRegEx(std::string("\\d+"), Match));
    EXPECT_EQ(Match, C.Match1);
    EXPECT_EQ(F.Prov->ReadLn(), C.Line2);
    EXPECT_TRUE(F.Prov->ReadRegEx(std::string("\\d+"), Match));
    EXPECT_EQ(Match, C.Match2);
    EXPECT_EQ(F.Rest(), C.Rest);
  }
}

TEST(ProviderLines, ChangedEncodingDecodesWaitingBytesAgain) {
  TProviderFixture F;
  F.Prov->SetEncoding(*TEncoding::UTF8());
  F.Hub.Feed("a\r\n\xCF\xF0\r\n");
  EXPECT_EQ(F.Prov->ReadLn(), "a");
  F.Prov->SetEncoding(*TEncoding::Cp1251());
  EXPECT_EQ(F.Prov->ReadLn(), "\xD0\x9F\xD1\x80");
}

TEST(ProviderLines, SetEncodingStoresACloneNeverTheCallersObject) {
  TProviderFixture F;
  EXPECT_EQ(F.Prov->GetEncoding(), TEncoding::Default());
  EXPECT_FALSE(F.Prov->EncCopied());
  {
    TEncoding Mine(1251);
    F.Prov->SetEncoding(Mine);
    EXPECT_NE(F.Prov->GetEncoding(), &Mine);
    EXPECT_TRUE(F.Prov->EncCopied());
  }
  F.Prov->WriteLn("\xD0\x9F");
  EXPECT_EQ(F.Hub.Written, "\xCF\r\n") << "the copy outlives the caller's object";
  F.Prov->SetEncoding(*TEncoding::UTF8());
  EXPECT_FALSE(F.Prov->EncCopied());
  EXPECT_EQ(F.Prov->GetEncoding(), TEncoding::UTF8());
}

// A stream that never ends a line: assembly stops at the limit and fails;
// nothing is lost, and the lines before it were delivered.
TEST(ProviderLines, AssemblyLimitEndsTheReadAndLosesNothing) {
  TProviderFixture F;
  F.Prov->SetAssemblyLimit(16);
  F.Hub.Feed({"fine\r\n", "0123456789", "abcdefghij", "KLMNOPQRST"});
  EXPECT_EQ(F.Prov->ReadLn(), "fine");
  std::string S;
  EXPECT_FALSE(F.Prov->ReadLn(S));
  EXPECT_EQ(F.Hub.ReadCalls, 3) << "no read once the limit is reached";
  EXPECT_EQ(F.Rest(), "0123456789abcdefghij");
  F.Prov->SetAssemblyLimit(TPushBackBuffer::kNoLimit);
  F.Hub.Feed("\r\n");
  EXPECT_EQ(F.Prov->ReadLn(), "KLMNOPQRST");
}

TEST(ProviderLines, WriteStringUsesItsOwnEncodingAndEndOfLine) {
  TProviderFixture F;
  EXPECT_TRUE(F.Prov->WriteString(*TEncoding::Cp1251(), "\xD0\x9F", "|"));
  EXPECT_EQ(F.Hub.Written, "\xCF|");
  F.Hub.WriteError = os::kErrorBrokenPipe;
  EXPECT_FALSE(F.Prov->WriteString(*TEncoding::UTF8(), "x", "\n"));
}

}  // namespace
}  // namespace green
