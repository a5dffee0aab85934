// Regular-expression reads: the leftmost match, text in front of it
// dropped, matches across chunks, the greedy match at the buffer's end,
// empty matches, patterns that need to see what comes next, and errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedHub.h"

namespace green {
namespace {

using Strings = std::vector<std::string>;
using test::TProviderFixture;

TEST(RegEx, CompiledExpressionFindsTheLeftmostMatch) {
  TRegEx Re("\\d+");
  EXPECT_EQ(Re.Pattern(), "\\d+");
  TRegEx::TMatch M = Re.Match("ab12cd345");
  ASSERT_TRUE(M.Success);
  EXPECT_EQ(M.Index, 2u);
  EXPECT_EQ(M.Length, 2u);
  EXPECT_EQ(M.Value, "12");
  EXPECT_EQ(Re.Match("ab12cd345", 4).Value, "345");
  EXPECT_FALSE(Re.Match("none").Success);
  EXPECT_FALSE(TRegEx().Match("1").Success) << "an empty expression matches nothing";
}

TEST(RegEx, InvalidPatternRaisesWithTheEnginesMessageAndOffset) {
  try {
    TRegEx Re("ab(c");
    FAIL() << "compiled";
  } catch (const ERegExError& E) {
    EXPECT_EQ(E.Offset(), 4u);
    EXPECT_NE(E.Message().find("offset 4"), std::string::npos) << E.Message();
    EXPECT_NE(E.Message().find("missing closing parenthesis"), std::string::npos) << E.Message();
  }
  TProviderFixture F;
  std::string S;
  EXPECT_THROW(F.Prov->ReadRegEx(std::string("[z-a]"), S), ERegExError);
  EXPECT_EQ(F.Hub.ReadCalls, 0);
}

TEST(RegEx, FindTellsWhetherMoreTextCouldStillMatch) {
  size_t Pos, Len;
  EXPECT_EQ(TRegEx("abc").Find("xxab", 0, Pos, Len), TRegEx::fdPartial);
  EXPECT_EQ(Pos, 2u);
  EXPECT_EQ(TRegEx("abc").Find("xxay", 0, Pos, Len), TRegEx::fdNone);
  EXPECT_EQ(TRegEx("a\\B").Find("xa", 0, Pos, Len), TRegEx::fdPartial)
      << "a boundary at the end is undecided";
  EXPECT_EQ(TRegEx("\\d+").Find("x12", 0, Pos, Len), TRegEx::fdMatch)
      << "a complete match is taken though more digits may follow";
  EXPECT_EQ(Len, 2u);
  EXPECT_FALSE(TRegEx("\\Gx").Resumable());
}

TEST(ProviderRegEx, MatchDropsTheTextInFrontAndKeepsWhatFollows) {
  TProviderFixture F;
  F.Hub.Feed("abc123def");
  std::string S;
  ASSERT_TRUE(F.Prov->ReadRegEx(std::string("\\d+"), S));
  EXPECT_EQ(S, "123");
  EXPECT_FALSE(F.Prov->IgnoreInternalBuf());
  EXPECT_EQ(F.Rest(), "def") << "the next plain read gets what follows the match";
}

// A search memo keyed by an address alone would let a new expression that
// takes a freed one's address skip the text that only the old one searched.
TEST(ProviderRegEx, ANewExpressionSearchesTextThatAFreedOneSearched) {
  TProviderFixture F;
  std::string Numbers;
  for (int I = 0; I < 100; ++I) Numbers += " " + std::to_string(I);
  F.Hub.Feed(Numbers);
  F.Hub.FeedEnd();
  std::string S;
  for (int I = 0; I < 100; ++I) {
    EXPECT_FALSE(F.Prov->ReadRegEx(TRegEx("x"), S));
    ASSERT_TRUE(F.Prov->ReadRegEx(TRegEx("\\d+"), S)) << "after " << I << " matches";
    EXPECT_EQ(S, std::to_string(I));
  }
}

TEST(ProviderRegEx, SecondMatchOfAChunkComesWithoutAnotherRead) {
  TProviderFixture F;
  F.Hub.Feed("a1b22c");
  const TRegEx Re("\\d+");
  std::string S;
  ASSERT_TRUE(F.Prov->ReadRegEx(Re, S));
  EXPECT_EQ(S, "1");
  ASSERT_TRUE(F.Prov->ReadRegEx(Re, S));
  EXPECT_EQ(S, "22");
  EXPECT_EQ(F.Hub.ReadCalls, 1);
}

TEST(ProviderRegEx, MatchSpanningChunksIsFoundOnceItsRestArrives) {
  TProviderFixture F;
  F.Hub.Feed({"xx<ta", "g attr", "=1>yy"});
  std::string S;
  ASSERT_TRUE(F.Prov->ReadRegEx(std::string("<[^>]*>"), S));
  EXPECT_EQ(S, "<tag attr=1>");
  EXPECT_EQ(F.Hub.ReadCalls, 3);
}

TEST(ProviderRegEx, GreedyMatchAtTheBufferEndTakesTheTextAlreadyThere) {
  TProviderFixture F;
  F.Hub.Feed({"ab12", "34cd"});
  const TRegEx Re("\\d+");
  std::string S;
  ASSERT_TRUE(F.Prov->ReadRegEx(Re, S));
  EXPECT_EQ(S, "12");
  ASSERT_TRUE(F.Prov->ReadRegEx(Re, S));
  EXPECT_EQ(S, "34");
}

// A match that only the next character decides must wait for it.
TEST(ProviderRegEx, BoundaryAtTheChunkEndWaitsForTheNextChunk) {
  TProviderFixture F;
  F.Hub.Feed({"xa", "b"});
  std::string S;
  ASSERT_TRUE(F.Prov->ReadRegEx(std::string("a\\B"), S));
  EXPECT_EQ(S, "a");
  EXPECT_EQ(F.Rest(), "b");
}

TEST(ProviderRegEx, LookbehindSeesOnlyTextNotYetConsumed) {
  TProviderFixture F;
  F.Hub.Feed("ab");
  F.Hub.FeedEnd();
  const TRegEx Re("(?<=a)b|a");
  std::string S;
  ASSERT_TRUE(F.Prov->ReadRegEx(Re, S));
  EXPECT_EQ(S, "a");
  EXPECT_FALSE(F.Prov->ReadRegEx(Re, S)) << "the 'a' went with the first match";
  EXPECT_EQ(F.Rest(), "b");
}

TEST(ProviderRegEx, EmptyMatchConsumesOneCharacterSoReadsMakeProgress) {
  TProviderFixture F;
  F.Prov->SetEncoding(*TEncoding::UTF8());
  F.Hub.Feed("xx\xD0\x9Fx");
  F.Hub.FeedEnd();
  const TRegEx Re("x*");
  Strings Got;
  std::string S;
  while (F.Prov->ReadRegEx(Re, S)) Got.push_back(S);
  EXPECT_EQ(Got, (Strings{"xx", "", "x"})) << "the empty match before U+041F took it along";
  EXPECT_EQ(F.Prov->PendingBytes(), 0u);
}

TEST(ProviderRegEx, TextThatNeverMatchesStaysAtTheEnd) {
  TProviderFixture F;
  F.Hub.Feed({"no dig", "its here"});
  F.Hub.FeedEnd();
  std::string S = "old";
  EXPECT_FALSE(F.Prov->ReadRegEx(std::string("\\d"), S));
  EXPECT_EQ(S, "");
  EXPECT_EQ(F.Rest(), "no digits here");
}

TEST(ProviderRegEx, MatchesTheDecodedText) {
  TProviderFixture F;
  F.Prov->SetEncoding(*TEncoding::Cp1251());
  F.Hub.Feed("12 \xCF\xF0\xE8\xE2\xE5\xF2 34");
  std::string S;
  ASSERT_TRUE(F.Prov->ReadRegEx(std::string("\\p{Cyrillic}+"), S));
  EXPECT_EQ(S, "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  EXPECT_EQ(F.Rest(), " 34");
}

}  // namespace
}  // namespace green
