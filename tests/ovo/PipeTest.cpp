// Providers over real pipes, completed by a real hub: line assembly across
// the chunks a writer thread sends, typed values cut by the end of the
// stream, matches across chunks, a completion that raises, and reads that
// are abandoned or cancelled while in flight.
#include <gtest/gtest.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "PipeFixture.h"
#include "greenlets/Greenlets.h"

namespace green {
namespace {

using Strings = std::vector<std::string>;
using test::kEnd;
using test::TPipeFixture;
using test::TPipeProvider;

template <class T>
std::string Image(T Value) {
  std::string Out(sizeof Value, '\0');
  std::memcpy(Out.data(), &Value, sizeof Value);
  return Out;
}

// ---- lines -------------------------------------------------------------------------

TEST(PipeLines, CrLfSplitAcrossChunksEndsOneLineWithoutTheCr) {
  TPipeFixture F;
  F.Feed({"first\r", "\nsecond\r", "\n", kEnd});
  EXPECT_EQ(F.Lines(), (Strings{"first", "second"}));
  // The end is a fourth completion, or a read refused at its start.
  EXPECT_GE(F.Prov->Reads, 3) << "one read per chunk";
}

TEST(PipeLines, TwoLinesInOneChunkTakeOneRead) {
  TPipeFixture F;
  F.Feed({"one\r\ntwo\r\n"});
  EXPECT_EQ(F.Prov->ReadLn(), "one");
  EXPECT_EQ(F.Prov->PendingBytes(), 5u);
  EXPECT_EQ(F.Prov->ReadLn(), "two");
  EXPECT_EQ(F.Prov->Reads, 1);
}

TEST(PipeLines, TextAfterTheLastEndOfLineStaysAtTheEndOfTheStream) {
  TPipeFixture F;
  F.Feed({"done\r\npar", "tial", kEnd});
  EXPECT_EQ(F.Prov->ReadLn(), "done");
  std::string S = "old";
  EXPECT_FALSE(F.Prov->ReadLn(S));
  EXPECT_EQ(S, "");
  EXPECT_THROW(F.Prov->ReadLn(), TOvoProvider::AEOF);
  EXPECT_EQ(F.Rest(), "partial");
}

TEST(PipeLines, LfOnlyInputEndsNoCrLfLine) {
  TPipeFixture F;
  F.Feed({"a\nb\n", "c\n", kEnd});
  EXPECT_TRUE(F.Lines().empty());
  EXPECT_EQ(F.Rest(), "a\nb\nc\n");
}

Strings WalkSet(TOvoProvider& Prov) {
  Strings Got;
  for (const std::string& S : Prov.ReadLns({"\r\n", "\n"})) Got.push_back(S);
  return Got;
}

TEST(PipeLines, FirstListedEndOfLineThatOccursWinsOverAnEarlierOne) {
  TPipeFixture F;
  F.Feed({"a\nb\r\nc\n", kEnd});
  EXPECT_EQ(WalkSet(*F.Prov), (Strings{"a\nb", "c"}));
}

// The set is searched in what has arrived: a chunk that ends after the LF
// has no CR LF yet.
TEST(PipeLines, EndOfLineSetDecidesOnWhatHasArrived) {
  TPipeFixture F;
  F.Feed({"a\n", "b\r\n", kEnd});
  EXPECT_EQ(WalkSet(*F.Prov), (Strings{"a", "b"}));
}

// Many lines written as fast as the pipe takes them: the chunks that
// arrive cut lines anywhere, and every line comes back exactly once.
TEST(PipeLines, StreamOfLinesRunTogetherComesBackWhole) {
  TPipeFixture F;
  Strings Sent;
  std::string All;
  for (int I = 0; I < 20000; ++I) {
    Sent.push_back("line " + std::to_string(I) + std::string(static_cast<size_t>(I % 97), 'x'));
    All += Sent.back() + "\r\n";
  }
  F.Feed({All.substr(0, All.size() / 3), All.substr(All.size() / 3), kEnd}, false);
  Strings Got;
  for (const std::string& S : F.Prov->ReadLns()) Got.push_back(S);
  EXPECT_EQ(Got, Sent);
}

// cp1251 text: a character's byte never splits, but the line's bytes do.
TEST(PipeLines, EncodedLinesAcrossChunks) {
  TPipeFixture F;
  F.Prov->SetEncoding(*TEncoding::Cp1251());
  F.Feed({"\xCF\xF0\xE8", "\xE2\xE5\xF2\r", "\n", kEnd});
  EXPECT_EQ(F.Lines(), (Strings{"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"}));
}

// A writer greenlet on the same hub: the hub completes a read and a write
// on two handles while both greenlets wait.
TEST(PipeLines, WriterAndReaderGreenletsShareOneHub) {
  TPipeFixture F;
  RefPtr<TPipeProvider> Out(new TPipeProvider(F.Ends.Write));
  Strings Got;
  TSymmetric Reader = TSymmetric::Spawn([&] {
    for (const std::string& S : F.Prov->ReadLns()) Got.push_back(S);
  });
  TSymmetric Writer = TSymmetric::Spawn([&] {
    for (int I = 0; I < 100; ++I) Out->WriteLn("n" + std::to_string(I));
    Out.reset();
    os::CloseHandle(F.Ends.Write);
    F.Ends.Write = os::kNoHandle;
  });
  ASSERT_TRUE(Join({Reader.Impl, Writer.Impl}, 20000));
  ASSERT_EQ(Got.size(), 100u);
  EXPECT_EQ(Got.front(), "n0");
  EXPECT_EQ(Got.back(), "n99");
}

// ---- typed values ---------------------------------------------------------------------

TEST(PipeTyped, ValuesSplitAcrossChunksAndCutByTheEnd) {
  TPipeFixture F;
  const std::string Number = Image<int32_t>(-123456789);
  F.Feed({Number.substr(0, 1), Number.substr(1) + Image<int16_t>(-2) + Image<double>(2.5),
          Image<float>(0.25f) + "\x07" + "abc", kEnd});
  int32_t I = 0;
  int16_t S = 0;
  double D = 0;
  float X = 0;
  uint8_t B = 0;
  ASSERT_TRUE(F.Prov->ReadInteger(I));
  EXPECT_EQ(I, -123456789);
  ASSERT_TRUE(F.Prov->ReadSmallInt(S));
  EXPECT_EQ(S, -2);
  ASSERT_TRUE(F.Prov->ReadDouble(D));
  EXPECT_EQ(D, 2.5);
  ASSERT_TRUE(F.Prov->ReadSingle(X));
  EXPECT_EQ(X, 0.25f);
  ASSERT_TRUE(F.Prov->ReadByte(B));
  EXPECT_EQ(B, 7);
  EXPECT_FALSE(F.Prov->ReadInteger(I)) << "three bytes, then the end";
  EXPECT_EQ(F.Rest(), "abc") << "the short value's bytes are kept";
  EXPECT_FALSE(F.Prov->ReadByte(B));
  TBytes Rest;
  EXPECT_FALSE(F.Prov->ReadBytes(Rest));
  EXPECT_TRUE(Rest.empty());
}

// ---- matches ---------------------------------------------------------------------------

TEST(PipeRegEx, MatchSpanningChunksIsFoundWhenItsEndArrives) {
  TPipeFixture F;
  F.Feed({"xxab", "bb", "c yy", kEnd});
  std::string S;
  ASSERT_TRUE(F.Prov->ReadRegEx(std::string("ab+c"), S));
  EXPECT_EQ(S, "abbbc");
  EXPECT_EQ(F.Prov->Reads, 3);
}

TEST(PipeRegEx, GreedyMatchAtTheBufferEndTakesWhatHasArrived) {
  TPipeFixture F;
  F.Feed({"ab12", "34cd5", kEnd});
  Strings Got;
  for (const std::string& S : F.Prov->ReadRegEx(std::string("\\d+"))) Got.push_back(S);
  EXPECT_EQ(Got, (Strings{"12", "34", "5"}));
}

TEST(PipeRegEx, TextInFrontOfTheMatchIsDroppedAndTheRestKept) {
  TPipeFixture F;
  F.Feed({"abc123def"});
  std::string S;
  ASSERT_TRUE(F.Prov->ReadRegEx(std::string("\\d+"), S));
  EXPECT_EQ(S, "123");
  EXPECT_EQ(F.Rest(), "def");
}

// ---- a completion that raises --------------------------------------------------------------

// The exception leaves the wait that served the hub; the read had
// completed, so its bytes are delivered by the next read.
TEST(PipeCompletion, RaisingCompletionLeavesTheReadAndLosesNoBytes) {
  TPipeFixture F;
  F.Prov->RaiseAfterRead = true;
  F.Feed({"kept\r\n"});
  EXPECT_THROW(F.Prov->ReadLn(), TPipeProvider::ECallback);
  EXPECT_FALSE(F.Prov->IgnoreInternalBuf());
  EXPECT_EQ(GetCurrentHub(), &F.Hub) << "the current hub is restored";
  EXPECT_EQ(F.Prov->ReadLn(), "kept");
  EXPECT_EQ(F.Prov->Reads, 1);
}

// ---- reads in flight that are given up -------------------------------------------------------

TEST(PipeAbandoned, ReadOfAKilledReaderIsCollectedByTheNextRead) {
  TPipeFixture F;
  TSymmetric Reader = TSymmetric::Spawn([&] { F.Prov->ReadLn(); });
  ASSERT_EQ(Reader.Impl->GetState(), gsSuspended);
  Reader.Kill();
  ASSERT_TRUE(Join({Reader.Impl}, 5000));
  F.Feed({"kept\r\n", "next\r\n"});
  EXPECT_EQ(F.Prov->ReadLn(), "kept");
  EXPECT_EQ(F.Prov->ReadLn(), "next");
  EXPECT_EQ(F.Prov->Reads, 2) << "no read was started over the abandoned one";
}

TEST(PipeAbandoned, CancelledReadThenANewReadOnTheSameHandle) {
  TPipeFixture F;
  TSymmetric Reader = TSymmetric::Spawn([&] { F.Prov->ReadLn(); });
  Reader.Kill();
  ASSERT_TRUE(Join({Reader.Impl}, 5000));
  F.Prov->CancelAbandoned();
  F.Feed({"new\r\n", kEnd});
  EXPECT_EQ(F.Lines(), (Strings{"new"})) << "the cancelled read's end was not taken for the new one";
}

// ---- reports ---------------------------------------------------------------------------

TEST(PipeDump, ReaderWaitingForItsPipeIsReportedWithTheHandle) {
  TPipeFixture F;
  TSymmetric Reader = TSymmetric::Spawn([&] { F.Prov->ReadLn(); });
  Reader.SetName("pipe reader");
  const std::string Dump = DumpGreenlets();
  char Handle[32];
  std::snprintf(Handle, sizeof Handle, "0x%" PRIxPTR, static_cast<uintptr_t>(F.Ends.Read));
  EXPECT_NE(Dump.find("\"pipe reader\" gsSuspended waits for I/O on handle " + std::string(Handle) +
                      ", no timeout"),
            std::string::npos)
      << Dump;
  F.Feed({"line\r\n"});
  EXPECT_TRUE(Join({Reader.Impl}, 10000));
}

}  // namespace
}  // namespace green
