// Providers over real pipes, completed by a real hub: line assembly across
// the chunks a writer thread sends, typed values cut by the end of the
// stream, matches across chunks, a completion that raises, and reads that
// are abandoned or cancelled while in flight.
#include <gtest/gtest.h>

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
  std::string out(sizeof Value, '\0');
  std::memcpy(out.data(), &Value, sizeof Value);
  return out;
}

// ---- lines -------------------------------------------------------------------------

TEST(PipeLines, CrLfSplitAcrossChunksEndsOneLineWithoutTheCr) {
  TPipeFixture f;
  f.Feed({"first\r", "\nsecond\r", "\n", kEnd});
  EXPECT_EQ(f.Lines(), (Strings{"first", "second"}));
  // The end is a fourth completion, or a read refused at its start.
  EXPECT_GE(f.Prov->Reads, 3) << "one read per chunk";
}

TEST(PipeLines, TwoLinesInOneChunkTakeOneRead) {
  TPipeFixture f;
  f.Feed({"one\r\ntwo\r\n"});
  EXPECT_EQ(f.Prov->ReadLn(), "one");
  EXPECT_EQ(f.Prov->PendingBytes(), 5u);
  EXPECT_EQ(f.Prov->ReadLn(), "two");
  EXPECT_EQ(f.Prov->Reads, 1);
}

TEST(PipeLines, TextAfterTheLastEndOfLineStaysAtTheEndOfTheStream) {
  TPipeFixture f;
  f.Feed({"done\r\npar", "tial", kEnd});
  EXPECT_EQ(f.Prov->ReadLn(), "done");
  std::string s = "old";
  EXPECT_FALSE(f.Prov->ReadLn(s));
  EXPECT_EQ(s, "");
  EXPECT_THROW(f.Prov->ReadLn(), TOvoProvider::AEOF);
  EXPECT_EQ(f.Rest(), "partial");
}

TEST(PipeLines, LfOnlyInputEndsNoCrLfLine) {
  TPipeFixture f;
  f.Feed({"a\nb\n", "c\n", kEnd});
  EXPECT_TRUE(f.Lines().empty());
  EXPECT_EQ(f.Rest(), "a\nb\nc\n");
}

Strings WalkSet(TOvoProvider& Prov) {
  Strings got;
  for (const std::string& s : Prov.ReadLns({"\r\n", "\n"})) got.push_back(s);
  return got;
}

TEST(PipeLines, FirstListedEndOfLineThatOccursWinsOverAnEarlierOne) {
  TPipeFixture f;
  f.Feed({"a\nb\r\nc\n", kEnd});
  EXPECT_EQ(WalkSet(*f.Prov), (Strings{"a\nb", "c"}));
}

// The set is searched in what has arrived: a chunk that ends after the LF
// has no CR LF yet.
TEST(PipeLines, EndOfLineSetDecidesOnWhatHasArrived) {
  TPipeFixture f;
  f.Feed({"a\n", "b\r\n", kEnd});
  EXPECT_EQ(WalkSet(*f.Prov), (Strings{"a", "b"}));
}

// Many lines written as fast as the pipe takes them: the chunks that
// arrive cut lines anywhere, and every line comes back exactly once.
TEST(PipeLines, StreamOfLinesRunTogetherComesBackWhole) {
  TPipeFixture f;
  Strings sent;
  std::string all;
  for (int i = 0; i < 20000; ++i) {
    sent.push_back("line " + std::to_string(i) + std::string(static_cast<size_t>(i % 97), 'x'));
    all += sent.back() + "\r\n";
  }
  f.Feed({all.substr(0, all.size() / 3), all.substr(all.size() / 3), kEnd}, false);
  Strings got;
  for (const std::string& s : f.Prov->ReadLns()) got.push_back(s);
  EXPECT_EQ(got, sent);
}

// cp1251 text: a character's byte never splits, but the line's bytes do.
TEST(PipeLines, EncodedLinesAcrossChunks) {
  TPipeFixture f;
  f.Prov->SetEncoding(*TEncoding::Cp1251());
  f.Feed({"\xCF\xF0\xE8", "\xE2\xE5\xF2\r", "\n", kEnd});
  EXPECT_EQ(f.Lines(), (Strings{"\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82"}));
}

// A writer greenlet on the same hub: the hub completes a read and a write
// on two handles while both greenlets wait.
TEST(PipeLines, WriterAndReaderGreenletsShareOneHub) {
  TPipeFixture f;
  RefPtr<TPipeProvider> out(new TPipeProvider(f.Ends.Write));
  Strings got;
  TSymmetric reader = TSymmetric::Spawn([&] {
    for (const std::string& s : f.Prov->ReadLns()) got.push_back(s);
  });
  TSymmetric writer = TSymmetric::Spawn([&] {
    for (int i = 0; i < 100; ++i) out->WriteLn("n" + std::to_string(i));
    out.reset();
    os::CloseHandle(f.Ends.Write);
    f.Ends.Write = os::kNoHandle;
  });
  ASSERT_TRUE(Join({reader.Impl, writer.Impl}, 20000));
  ASSERT_EQ(got.size(), 100u);
  EXPECT_EQ(got.front(), "n0");
  EXPECT_EQ(got.back(), "n99");
}

// ---- typed values ---------------------------------------------------------------------

TEST(PipeTyped, ValuesSplitAcrossChunksAndCutByTheEnd) {
  TPipeFixture f;
  const std::string number = Image<int32_t>(-123456789);
  f.Feed({number.substr(0, 1), number.substr(1) + Image<int16_t>(-2) + Image<double>(2.5),
          Image<float>(0.25f) + "\x07" + "abc", kEnd});
  int32_t i = 0;
  int16_t s = 0;
  double d = 0;
  float x = 0;
  uint8_t b = 0;
  ASSERT_TRUE(f.Prov->ReadInteger(i));
  EXPECT_EQ(i, -123456789);
  ASSERT_TRUE(f.Prov->ReadSmallInt(s));
  EXPECT_EQ(s, -2);
  ASSERT_TRUE(f.Prov->ReadDouble(d));
  EXPECT_EQ(d, 2.5);
  ASSERT_TRUE(f.Prov->ReadSingle(x));
  EXPECT_EQ(x, 0.25f);
  ASSERT_TRUE(f.Prov->ReadByte(b));
  EXPECT_EQ(b, 7);
  EXPECT_FALSE(f.Prov->ReadInteger(i)) << "three bytes, then the end";
  EXPECT_EQ(f.Rest(), "abc") << "the short value's bytes are kept";
  EXPECT_FALSE(f.Prov->ReadByte(b));
  TBytes rest;
  EXPECT_FALSE(f.Prov->ReadBytes(rest));
  EXPECT_TRUE(rest.empty());
}

// ---- matches ---------------------------------------------------------------------------

TEST(PipeRegEx, MatchSpanningChunksIsFoundWhenItsEndArrives) {
  TPipeFixture f;
  f.Feed({"xxab", "bb", "c yy", kEnd});
  std::string s;
  ASSERT_TRUE(f.Prov->ReadRegEx(std::string("ab+c"), s));
  EXPECT_EQ(s, "abbbc");
  EXPECT_EQ(f.Prov->Reads, 3);
}

TEST(PipeRegEx, GreedyMatchAtTheBufferEndTakesWhatHasArrived) {
  TPipeFixture f;
  f.Feed({"ab12", "34cd5", kEnd});
  Strings got;
  for (const std::string& s : f.Prov->ReadRegEx(std::string("\\d+"))) got.push_back(s);
  EXPECT_EQ(got, (Strings{"12", "34", "5"}));
}

TEST(PipeRegEx, TextInFrontOfTheMatchIsDroppedAndTheRestKept) {
  TPipeFixture f;
  f.Feed({"abc123def"});
  std::string s;
  ASSERT_TRUE(f.Prov->ReadRegEx(std::string("\\d+"), s));
  EXPECT_EQ(s, "123");
  EXPECT_EQ(f.Rest(), "def");
}

// ---- a completion that raises --------------------------------------------------------------

// The exception leaves the wait that served the hub; the read had
// completed, so its bytes are delivered by the next read.
TEST(PipeCompletion, RaisingCompletionLeavesTheReadAndLosesNoBytes) {
  TPipeFixture f;
  f.Prov->RaiseAfterRead = true;
  f.Feed({"kept\r\n"});
  EXPECT_THROW(f.Prov->ReadLn(), TPipeProvider::ECallback);
  EXPECT_FALSE(f.Prov->IgnoreInternalBuf());
  EXPECT_EQ(GetCurrentHub(), &f.Hub) << "the current hub is restored";
  EXPECT_EQ(f.Prov->ReadLn(), "kept");
  EXPECT_EQ(f.Prov->Reads, 1);
}

// ---- reads in flight that are given up -------------------------------------------------------

TEST(PipeAbandoned, ReadOfAKilledReaderIsCollectedByTheNextRead) {
  TPipeFixture f;
  TSymmetric reader = TSymmetric::Spawn([&] { f.Prov->ReadLn(); });
  ASSERT_EQ(reader.Impl->GetState(), gsSuspended);
  reader.Kill();
  ASSERT_TRUE(Join({reader.Impl}, 5000));
  f.Feed({"kept\r\n", "next\r\n"});
  EXPECT_EQ(f.Prov->ReadLn(), "kept");
  EXPECT_EQ(f.Prov->ReadLn(), "next");
  EXPECT_EQ(f.Prov->Reads, 2) << "no read was started over the abandoned one";
}

TEST(PipeAbandoned, CancelledReadThenANewReadOnTheSameHandle) {
  TPipeFixture f;
  TSymmetric reader = TSymmetric::Spawn([&] { f.Prov->ReadLn(); });
  reader.Kill();
  ASSERT_TRUE(Join({reader.Impl}, 5000));
  f.Prov->CancelAbandoned();
  f.Feed({"new\r\n", kEnd});
  EXPECT_EQ(f.Lines(), (Strings{"new"})) << "the cancelled read's end was not taken for the new one";
}

}  // namespace
}  // namespace green
