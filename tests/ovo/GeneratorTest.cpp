// Line and match generators, walked from the thread and from greenlets
// that wait for data, and reads whose wait is abandoned.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedHub.h"

namespace green {
namespace {

using Strings = std::vector<std::string>;
using test::TProviderFixture;

Strings Walk(TStringGenerator Gen) {
  Strings out;
  for (const std::string& s : Gen) out.push_back(s);
  return out;
}

// A line longer than a chunk is handed to the walker in the storage it was
// decoded into, the text after it moved to other storage: each line must
// come whole and what follows stay the bytes that arrived, whether the text
// is the bytes themselves or decoded apart (ill-formed, another page).
TEST(ProviderGenerators, LongLinesComeWholeAndLeaveWhatFollowsAsItArrived) {
  struct TCase {
    const char* Name;
    TEncoding* Enc;
    std::string Unit;     // bytes, repeated into a long line
    std::string Decoded;  // its text
  };
  const TCase cases[] = {
      {"ascii", TEncoding::UTF8(), "abc", "abc"},
      {"utf-8", TEncoding::UTF8(), "\xD0\x9F" "ab", "\xD0\x9F" "ab"},
      {"ill-formed", TEncoding::UTF8(), "\xFF" "ab", "\xEF\xBF\xBD" "ab"},
      {"cp1251", TEncoding::Cp1251(), "\xCF" "ab", "\xD0\x9F" "ab"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TProviderFixture f;
    f.Prov->SetEncoding(*c.Enc);
    std::string bytes, text;
    for (int i = 0; i < 70000; ++i) {
      bytes += c.Unit;
      text += c.Decoded;
    }
    f.Hub.Feed(bytes + "\r\nshort\r\n" + bytes + "\r\ntail\xD0");
    f.Hub.FeedEnd();
    const Strings lines = Walk(f.Prov->ReadLns());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0] == text) << "first long line";
    EXPECT_EQ(lines[1], "short");
    EXPECT_TRUE(lines[2] == text) << "second long line";
    EXPECT_EQ(f.Rest(), "tail\xD0");
  }
}

TEST(ProviderGenerators, LinesComeOneByOneAndNothingIsReadBeforeTheFirstStep) {
  TProviderFixture f;
  TStringGenerator gen = f.Prov->ReadLns();
  f.Hub.Feed({"a\r\nb", "\r\n"});
  f.Hub.FeedEnd();
  EXPECT_EQ(f.Hub.ReadCalls, 0) << "generators are lazy";
  EXPECT_EQ(Walk(gen), (Strings{"a", "b"}));
}

TEST(ProviderGenerators, EmptyStreamYieldsNothing) {
  TProviderFixture f;
  f.Hub.FeedEnd();
  EXPECT_TRUE(Walk(f.Prov->ReadLns()).empty());
  EXPECT_TRUE(Walk(f.Prov->ReadLns({"\n"})).empty());
  EXPECT_TRUE(Walk(f.Prov->ReadRegEx(std::string("x"))).empty());
}

TEST(ProviderGenerators, EmptyEndOfLineSetRaisesBeforeAnyGeneratorExists) {
  TProviderFixture f;
  try {
    f.Prov->ReadLns(std::vector<std::string>{});
    FAIL() << "no exception";
  } catch (const EArgumentException& e) {
    EXPECT_EQ(e.Message(), "EOL collection is empty");
  }
  EXPECT_EQ(f.Hub.ReadCalls, 0);
}

TEST(ProviderGenerators, EncodingAndEndOfLineAreReadAgainForEveryLine) {
  TProviderFixture f;
  f.Hub.Feed("one\r\ntwo|\xCF\xF0|");
  f.Hub.FeedEnd();
  TStringGenerator gen = f.Prov->ReadLns();
  auto it = gen.begin();
  ASSERT_NE(it, gen.end());
  EXPECT_EQ(*it, "one");
  f.Prov->SetEOL("|");
  f.Prov->SetEncoding(*TEncoding::Cp1251());
  ++it;
  EXPECT_EQ(*it, "two");
  ++it;
  EXPECT_EQ(*it, "\xD0\x9F\xD1\x80");
  ++it;
  EXPECT_FALSE(it != gen.end());
}

TEST(ProviderGenerators, LaterEndOfLineSetReplacesTheSetOfRunningGenerators) {
  TProviderFixture f;
  f.Hub.Feed("a;b,c;");
  f.Hub.FeedEnd();
  TStringGenerator first = f.Prov->ReadLns({";"});
  auto it = first.begin();
  EXPECT_EQ(*it, "a");
  TStringGenerator second = f.Prov->ReadLns({","});
  ++it;
  EXPECT_EQ(*it, "b") << "the first generator now splits at ','";
}

TEST(ProviderGenerators, MatchGeneratorFromAPatternCompilesWhenItStarts) {
  TProviderFixture f;
  f.Hub.Feed({"x1y22", "z333"});
  f.Hub.FeedEnd();
  TStringGenerator gen = f.Prov->ReadRegEx(std::string("\\d+"));  // the string dies here
  EXPECT_EQ(Walk(gen), (Strings{"1", "22", "333"}));
}

TEST(ProviderGenerators, InvalidPatternEndsTheGeneratorInsteadOfRaisingAtCreation) {
  TProviderFixture f;
  f.Hub.FeedEnd();
  TStringGenerator gen = f.Prov->ReadRegEx(std::string("("));
  EXPECT_TRUE(Walk(gen).empty());
  EXPECT_EQ(gen.Impl->Greenlet()->GetState(), gsException);
  ASSERT_NE(gen.Impl->Greenlet()->GetException(), nullptr);
  EXPECT_NE(dynamic_cast<ERegExError*>(gen.Impl->Greenlet()->GetException()), nullptr);
}

// The expression is taken from FRegEx when the routine starts.
TEST(ProviderGenerators, CompiledExpressionGeneratorsShareTheLatestExpression) {
  TProviderFixture f;
  f.Hub.Feed("a1b2");
  f.Hub.FeedEnd();
  TStringGenerator digits = f.Prov->ReadRegEx(TRegEx("\\d"));
  TStringGenerator letters = f.Prov->ReadRegEx(TRegEx("[a-z]"));
  EXPECT_EQ(Walk(digits), (Strings{"a", "b"}));
  EXPECT_TRUE(Walk(letters).empty()) << "the stream is used up";
}

// A greenlet walking lines waits for data; the thread feeds it and joins.
TEST(ProviderGenerators, GreenletWaitsForLinesWhileTheThreadServesItsHub) {
  TProviderFixture f;
  Strings got;
  TSymmetric reader = TSymmetric::Spawn([&] {
    for (const std::string& s : f.Prov->ReadLns()) got.push_back(s);
  });
  EXPECT_EQ(reader.Impl->GetState(), gsSuspended) << "waiting for its first read";
  f.Hub.Feed("hello\r\nwor");
  f.Hub.Feed("ld\r\n");
  f.Hub.FeedEnd();
  ASSERT_TRUE(Join({reader.Impl}, 5000));
  EXPECT_EQ(got, (Strings{"hello", "world"}));
}

// A killed generator leaves its read in flight; its bytes go to the next
// read instead of into memory nobody owns.
TEST(ProviderAbandoned, ReadOfAKilledGeneratorIsCollectedByTheNextRead) {
  TProviderFixture f;
  Strings got;
  TStringGenerator gen = f.Prov->ReadLns();
  TSymmetric reader = TSymmetric::Spawn([&] {
    for (const std::string& s : gen) got.push_back(s);
  });
  ASSERT_EQ(f.Hub.ReadCalls, 1);
  gen.Impl->Reset();  // kills the body inside its wait
  ASSERT_TRUE(Join({reader.Impl}, 5000));
  EXPECT_TRUE(got.empty());
  EXPECT_FALSE(f.Prov->IgnoreInternalBuf()) << "assembly was left on the way out";
  f.Hub.Feed("kept\r\nnext\r\n");
  EXPECT_EQ(f.Prov->ReadLn(), "kept");
  EXPECT_EQ(f.Prov->ReadLn(), "next");
  EXPECT_EQ(f.Hub.ReadCalls, 1) << "no second read was started over the first";
}

TEST(ProviderAbandoned, WriteOfAKilledGreenletIsWaitedForByTheNextWrite) {
  TProviderFixture f;
  f.Hub.HoldWrites = true;
  TSymmetric writer = TSymmetric::Spawn([&] { f.Prov->WriteLn("first"); });
  ASSERT_EQ(f.Hub.WriteCalls, 1);
  writer.Kill();
  ASSERT_TRUE(Join({writer.Impl}, 5000));
  f.Hub.ReleaseWrite();
  EXPECT_TRUE(f.Prov->WriteBytes({'!'}));
  EXPECT_EQ(f.Hub.Written, "first\r\n!");
}

TEST(ProviderAbandoned, CancelledOperationsAreOwedToNobody) {
  TProviderFixture f;
  f.Hub.HoldWrites = true;
  TSymmetric reader = TSymmetric::Spawn([&] { f.Prov->ReadLn(); });
  TSymmetric writer = TSymmetric::Spawn([&] { f.Prov->WriteByte(1); });
  reader.Kill();
  writer.Kill();
  f.Prov->CancelAbandoned();
  EXPECT_EQ(f.Hub.Cancelled, (std::vector<THandle>{42})) << "one cancel covers both directions";
  f.Hub.Feed("new\r\n");
  EXPECT_EQ(f.Prov->ReadLn(), "new");
  EXPECT_EQ(f.Hub.ReadCalls, 2) << "a fresh read, not the cancelled one";
  f.Hub.HoldWrites = false;
  EXPECT_TRUE(f.Prov->WriteByte(2));
  EXPECT_EQ(f.Hub.Written, "\x02");
}

}  // namespace
}  // namespace green
