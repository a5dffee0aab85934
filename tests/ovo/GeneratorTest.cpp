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
  Strings Out;
  for (const std::string& S : Gen) Out.push_back(S);
  return Out;
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
  const TCase Cases[] = {
      {"ascii", TEncoding::UTF8(), "abc", "abc"},
      {"utf-8", TEncoding::UTF8(), "\xD0\x9F" "ab", "\xD0\x9F" "ab"},
      {"ill-formed", TEncoding::UTF8(), "\xFF" "ab", "\xEF\xBF\xBD" "ab"},
      {"cp1251", TEncoding::Cp1251(), "\xCF" "ab", "\xD0\x9F" "ab"},
  };
  for (const TCase& C : Cases) {
    SCOPED_TRACE(C.Name);
    TProviderFixture F;
    F.Prov->SetEncoding(*C.Enc);
    std::string Bytes, Text;
    for (int I = 0; I < 70000; ++I) {
      Bytes += C.Unit;
      Text += C.Decoded;
    }
    F.Hub.Feed(Bytes + "\r\nshort\r\n" + Bytes + "\r\ntail\xD0");
    F.Hub.FeedEnd();
    const Strings Lines = Walk(F.Prov->ReadLns());
    ASSERT_EQ(Lines.size(), 3u);
    EXPECT_TRUE(Lines[0] == Text) << "first long line";
    EXPECT_EQ(Lines[1], "short");
    EXPECT_TRUE(Lines[2] == Text) << "second long line";
    EXPECT_EQ(F.Rest(), "tail\xD0");
  }
}

TEST(ProviderGenerators, LinesComeOneByOneAndNothingIsReadBeforeTheFirstStep) {
  TProviderFixture F;
  TStringGenerator Gen = F.Prov->ReadLns();
  F.Hub.Feed({"a\r\nb", "\r\n"});
  F.Hub.FeedEnd();
  EXPECT_EQ(F.Hub.ReadCalls, 0) << "generators are lazy";
  EXPECT_EQ(Walk(Gen), (Strings{"a", "b"}));
}

TEST(ProviderGenerators, EmptyStreamYieldsNothing) {
  TProviderFixture F;
  F.Hub.FeedEnd();
  EXPECT_TRUE(Walk(F.Prov->ReadLns()).empty());
  EXPECT_TRUE(Walk(F.Prov->ReadLns({"\n"})).empty());
  EXPECT_TRUE(Walk(F.Prov->ReadRegEx(std::string("x"))).empty());
}

TEST(ProviderGenerators, EmptyEndOfLineSetRaisesBeforeAnyGeneratorExists) {
  TProviderFixture F;
  try {
    F.Prov->ReadLns(std::vector<std::string>{});
    FAIL() << "no exception";
  } catch (const EArgumentException& E) {
    EXPECT_EQ(E.Message(), "EOL collection is empty");
  }
  EXPECT_EQ(F.Hub.ReadCalls, 0);
}

TEST(ProviderGenerators, EncodingAndEndOfLineAreReadAgainForEveryLine) {
  TProviderFixture F;
  F.Hub.Feed("one\r\ntwo|\xCF\xF0|");
  F.Hub.FeedEnd();
  TStringGenerator Gen = F.Prov->ReadLns();
  auto It = Gen.begin();
  ASSERT_NE(It, Gen.end());
  EXPECT_EQ(*It, "one");
  F.Prov->SetEOL("|");
  F.Prov->SetEncoding(*TEncoding::Cp1251());
  ++It;
  EXPECT_EQ(*It, "two");
  ++It;
  EXPECT_EQ(*It, "\xD0\x9F\xD1\x80");
  ++It;
  EXPECT_FALSE(It != Gen.end());
}

TEST(ProviderGenerators, AnEndOfLineOfTheSameLengthReplacesTheOld) {
  TProviderFixture F;
  F.Hub.Feed("a\r\nb\n\rc\r\n");
  F.Hub.FeedEnd();
  TStringGenerator Gen = F.Prov->ReadLns();
  auto It = Gen.begin();
  ASSERT_NE(It, Gen.end());
  EXPECT_EQ(*It, "a");
  F.Prov->SetEOL("\n\r");
  ++It;
  ASSERT_NE(It, Gen.end());
  EXPECT_EQ(*It, "b");
}

TEST(ProviderGenerators, LaterEndOfLineSetReplacesTheSetOfRunningGenerators) {
  TProviderFixture F;
  F.Hub.Feed("a;b,c;");
  F.Hub.FeedEnd();
  TStringGenerator First = F.Prov->ReadLns({";"});
  auto It = First.begin();
  EXPECT_EQ(*It, "a");
  TStringGenerator Second = F.Prov->ReadLns({","});
  ++It;
  EXPECT_EQ(*It, "b") << "the first generator now splits at ','";
}

TEST(ProviderGenerators, MatchGeneratorFromAPatternCompilesWhenItStarts) {
  TProviderFixture F;
  F.Hub.Feed({"x1y22", "z333"});
  F.Hub.FeedEnd();
  TStringGenerator Gen = F.Prov->ReadRegEx(std::string("\\d+"));  // the string dies here
  EXPECT_EQ(Walk(Gen), (Strings{"1", "22", "333"}));
}

TEST(ProviderGenerators, InvalidPatternEndsTheGeneratorInsteadOfRaisingAtCreation) {
  TProviderFixture F;
  F.Hub.FeedEnd();
  TStringGenerator Gen = F.Prov->ReadRegEx(std::string("("));
  EXPECT_TRUE(Walk(Gen).empty());
  EXPECT_EQ(Gen.Impl->Greenlet()->GetState(), gsException);
  ASSERT_NE(Gen.Impl->Greenlet()->GetException(), nullptr);
  EXPECT_NE(dynamic_cast<ERegExError*>(Gen.Impl->Greenlet()->GetException()), nullptr);
}

// The expression is taken from FRegEx when the routine starts.
TEST(ProviderGenerators, CompiledExpressionGeneratorsShareTheLatestExpression) {
  TProviderFixture F;
  F.Hub.Feed("a1b2");
  F.Hub.FeedEnd();
  TStringGenerator Digits = F.Prov->ReadRegEx(TRegEx("\\d"));
  TStringGenerator Letters = F.Prov->ReadRegEx(TRegEx("[a-z]"));
  EXPECT_EQ(Walk(Digits), (Strings{"a", "b"}));
  EXPECT_TRUE(Walk(Letters).empty()) << "the stream is used up";
}

// A greenlet walking lines waits for data; the thread feeds it and joins.
TEST(ProviderGenerators, GreenletWaitsForLinesWhileTheThreadServesItsHub) {
  TProviderFixture F;
  Strings Got;
  TSymmetric Reader = TSymmetric::Spawn([&] {
    for (const std::string& S : F.Prov->ReadLns()) Got.push_back(S);
  });
  EXPECT_EQ(Reader.Impl->GetState(), gsSuspended) << "waiting for its first read";
  F.Hub.Feed("hello\r\nwor");
  F.Hub.Feed("ld\r\n");
  F.Hub.FeedEnd();
  ASSERT_TRUE(Join({Reader.Impl}, 5000));
  EXPECT_EQ(Got, (Strings{"hello", "world"}));
}

// A killed generator leaves its read in flight; its bytes go to the next
// read instead of into memory nobody owns.
TEST(ProviderAbandoned, ReadOfAKilledGeneratorIsCollectedByTheNextRead) {
  TProviderFixture F;
  Strings Got;
  TStringGenerator Gen = F.Prov->ReadLns();
  TSymmetric Reader = TSymmetric::Spawn([&] {
    for (const std::string& S : Gen) Got.push_back(S);
  });
  ASSERT_EQ(F.Hub.ReadCalls, 1);
  Gen.Impl->Reset();  // kills the body inside its wait
  ASSERT_TRUE(Join({Reader.Impl}, 5000));
  EXPECT_TRUE(Got.empty());
  EXPECT_FALSE(F.Prov->IgnoreInternalBuf()) << "assembly was left on the way out";
  F.Hub.Feed("kept\r\nnext\r\n");
  EXPECT_EQ(F.Prov->ReadLn(), "kept");
  EXPECT_EQ(F.Prov->ReadLn(), "next");
  EXPECT_EQ(F.Hub.ReadCalls, 1) << "no second read was started over the first";
}

TEST(ProviderAbandoned, WriteOfAKilledGreenletIsWaitedForByTheNextWrite) {
  TProviderFixture F;
  F.Hub.HoldWrites = true;
  TSymmetric Writer = TSymmetric::Spawn([&] { F.Prov->WriteLn("first"); });
  ASSERT_EQ(F.Hub.WriteCalls, 1);
  Writer.Kill();
  ASSERT_TRUE(Join({Writer.Impl}, 5000));
  F.Hub.ReleaseWrite();
  EXPECT_TRUE(F.Prov->WriteBytes({'!'}));
  EXPECT_EQ(F.Hub.Written, "first\r\n!");
}

TEST(ProviderAbandoned, CancelledOperationsAreOwedToNobody) {
  TProviderFixture F;
  F.Hub.HoldWrites = true;
  TSymmetric Reader = TSymmetric::Spawn([&] { F.Prov->ReadLn(); });
  TSymmetric Writer = TSymmetric::Spawn([&] { F.Prov->WriteByte(1); });
  Reader.Kill();
  Writer.Kill();
  F.Prov->CancelAbandoned();
  EXPECT_EQ(F.Hub.Cancelled, (std::vector<THandle>{42})) << "one cancel covers both directions";
  F.Hub.Feed("new\r\n");
  EXPECT_EQ(F.Prov->ReadLn(), "new");
  EXPECT_EQ(F.Hub.ReadCalls, 2) << "a fresh read, not the cancelled one";
  F.Hub.HoldWrites = false;
  EXPECT_TRUE(F.Prov->WriteByte(2));
  EXPECT_EQ(F.Hub.Written, "\x02");
}

}  // namespace
}  // namespace green
