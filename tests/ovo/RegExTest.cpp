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
  TRegEx re("\\d+");
  EXPECT_EQ(re.Pattern(), "\\d+");
  TRegEx::TMatch m = re.Match("ab12cd345");
  ASSERT_TRUE(m.Success);
  EXPECT_EQ(m.Index, 2u);
  EXPECT_EQ(m.Length, 2u);
  EXPECT_EQ(m.Value, "12");
  EXPECT_EQ(re.Match("ab12cd345", 4).Value, "345");
  EXPECT_FALSE(re.Match("none").Success);
  EXPECT_FALSE(TRegEx().Match("1").Success) << "an empty expression matches nothing";
}

TEST(RegEx, InvalidPatternRaisesWithTheEnginesMessageAndOffset) {
  try {
    TRegEx re("ab(c");
    FAIL() << "compiled";
  } catch (const ERegExError& e) {
    EXPECT_EQ(e.Offset(), 4u);
    EXPECT_NE(e.Message().find("offset 4"), std::string::npos) << e.Message();
    EXPECT_NE(e.Message().find("missing closing parenthesis"), std::string::npos) << e.Message();
  }
  TProviderFixture f;
  std::string s;
  EXPECT_THROW(f.Prov->ReadRegEx(std::string("[z-a]"), s), ERegExError);
  EXPECT_EQ(f.Hub.ReadCalls, 0);
}

TEST(RegEx, FindTellsWhetherMoreTextCouldStillMatch) {
  size_t pos, len;
  EXPECT_EQ(TRegEx("abc").Find("xxab", 0, pos, len), TRegEx::fdPartial);
  EXPECT_EQ(pos, 2u);
  EXPECT_EQ(TRegEx("abc").Find("xxay", 0, pos, len), TRegEx::fdNone);
  EXPECT_EQ(TRegEx("a\\B").Find("xa", 0, pos, len), TRegEx::fdPartial)
      << "a boundary at the end is undecided";
  EXPECT_EQ(TRegEx("\\d+").Find("x12", 0, pos, len), TRegEx::fdMatch)
      << "a complete match is taken though more digits may follow";
  EXPECT_EQ(len, 2u);
  EXPECT_FALSE(TRegEx("\\Gx").Resumable());
}

TEST(ProviderRegEx, MatchDropsTheTextInFrontAndKeepsWhatFollows) {
  TProviderFixture f;
  f.Hub.Feed("abc123def");
  std::string s;
  ASSERT_TRUE(f.Prov->ReadRegEx(std::string("\\d+"), s));
  EXPECT_EQ(s, "123");
  EXPECT_FALSE(f.Prov->IgnoreInternalBuf());
  EXPECT_EQ(f.Rest(), "def") << "the next plain read gets what follows the match";
}

// A search memo keyed by an address alone would let a new expression that
// takes a freed one's address skip the text that only the old one searched.
TEST(ProviderRegEx, ANewExpressionSearchesTextThatAFreedOneSearched) {
  TProviderFixture f;
  std::string numbers;
  for (int i = 0; i < 100; ++i) numbers += " " + std::to_string(i);
  f.Hub.Feed(numbers);
  f.Hub.FeedEnd();
  std::string s;
  for (int i = 0; i < 100; ++i) {
    EXPECT_FALSE(f.Prov->ReadRegEx(TRegEx("x"), s));
    ASSERT_TRUE(f.Prov->ReadRegEx(TRegEx("\\d+"), s)) << "after " << i << " matches";
    EXPECT_EQ(s, std::to_string(i));
  }
}

TEST(ProviderRegEx, SecondMatchOfAChunkComesWithoutAnotherRead) {
  TProviderFixture f;
  f.Hub.Feed("a1b22c");
  const TRegEx re("\\d+");
  std::string s;
  ASSERT_TRUE(f.Prov->ReadRegEx(re, s));
  EXPECT_EQ(s, "1");
  ASSERT_TRUE(f.Prov->ReadRegEx(re, s));
  EXPECT_EQ(s, "22");
  EXPECT_EQ(f.Hub.ReadCalls, 1);
}

TEST(ProviderRegEx, MatchSpanningChunksIsFoundOnceItsRestArrives) {
  TProviderFixture f;
  f.Hub.Feed({"xx<ta", "g attr", "=1>yy"});
  std::string s;
  ASSERT_TRUE(f.Prov->ReadRegEx(std::string("<[^>]*>"), s));
  EXPECT_EQ(s, "<tag attr=1>");
  EXPECT_EQ(f.Hub.ReadCalls, 3);
}

TEST(ProviderRegEx, GreedyMatchAtTheBufferEndTakesTheTextAlreadyThere) {
  TProviderFixture f;
  f.Hub.Feed({"ab12", "34cd"});
  const TRegEx re("\\d+");
  std::string s;
  ASSERT_TRUE(f.Prov->ReadRegEx(re, s));
  EXPECT_EQ(s, "12");
  ASSERT_TRUE(f.Prov->ReadRegEx(re, s));
  EXPECT_EQ(s, "34");
}

// A match that only the next character decides must wait for it.
TEST(ProviderRegEx, BoundaryAtTheChunkEndWaitsForTheNextChunk) {
  TProviderFixture f;
  f.Hub.Feed({"xa", "b"});
  std::string s;
  ASSERT_TRUE(f.Prov->ReadRegEx(std::string("a\\B"), s));
  EXPECT_EQ(s, "a");
  EXPECT_EQ(f.Rest(), "b");
}

TEST(ProviderRegEx, LookbehindSeesOnlyTextNotYetConsumed) {
  TProviderFixture f;
  f.Hub.Feed("ab");
  f.Hub.FeedEnd();
  const TRegEx re("(?<=a)b|a");
  std::string s;
  ASSERT_TRUE(f.Prov->ReadRegEx(re, s));
  EXPECT_EQ(s, "a");
  EXPECT_FALSE(f.Prov->ReadRegEx(re, s)) << "the 'a' went with the first match";
  EXPECT_EQ(f.Rest(), "b");
}

TEST(ProviderRegEx, EmptyMatchConsumesOneCharacterSoReadsMakeProgress) {
  TProviderFixture f;
  f.Prov->SetEncoding(*TEncoding::UTF8());
  f.Hub.Feed("xx\xD0\x9Fx");
  f.Hub.FeedEnd();
  const TRegEx re("x*");
  Strings got;
  std::string s;
  while (f.Prov->ReadRegEx(re, s)) got.push_back(s);
  EXPECT_EQ(got, (Strings{"xx", "", "x"})) << "the empty match before U+041F took it along";
  EXPECT_EQ(f.Prov->PendingBytes(), 0u);
}

TEST(ProviderRegEx, TextThatNeverMatchesStaysAtTheEnd) {
  TProviderFixture f;
  f.Hub.Feed({"no dig", "its here"});
  f.Hub.FeedEnd();
  std::string s = "old";
  EXPECT_FALSE(f.Prov->ReadRegEx(std::string("\\d"), s));
  EXPECT_EQ(s, "");
  EXPECT_EQ(f.Rest(), "no digits here");
}

TEST(ProviderRegEx, MatchesTheDecodedText) {
  TProviderFixture f;
  f.Prov->SetEncoding(*TEncoding::Cp1251());
  f.Hub.Feed("12 \xCF\xF0\xE8\xE2\xE5\xF2 34");
  std::string s;
  ASSERT_TRUE(f.Prov->ReadRegEx(std::string("\\p{Cyrillic}+"), s));
  EXPECT_EQ(s, "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  EXPECT_EQ(f.Rest(), " 34");
}

}  // namespace
}  // namespace green
