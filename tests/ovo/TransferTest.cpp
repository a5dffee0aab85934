// Raw transfers through the hub: sign dispatch, pending and full reads and
// writes, errors, the end of the stream and typed values.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "ScriptedHub.h"

namespace green {
namespace {

using test::TProviderFixture;

TEST(ProviderRead, PendingReadTakesOneChunkAndFullReadLoopsOverChunks) {
  TProviderFixture f;
  f.Hub.Feed({"abc", "def", "gh"});
  char buf[16] = {};
  EXPECT_EQ(f.Prov->Read(buf, -10), 3u);
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_EQ(f.Prov->Read(buf, 5), 5u);
  EXPECT_EQ(std::string(buf, 5), "defgh");
  EXPECT_EQ(f.Hub.ReadCalls, 3);
  EXPECT_EQ(f.Prov->OnAfterRead()->IsSignaled(), false) << "each wait consumed its completion";
}

TEST(ProviderRead, FullReadEndsShortAtTheEndOfTheStream) {
  TProviderFixture f;
  f.Hub.Feed("abc");
  f.Hub.FeedEnd();
  char buf[8];
  EXPECT_EQ(f.Prov->Read(buf, 8), 3u);
  EXPECT_EQ(f.Prov->Aborted, 1) << "a read of 0 bytes is the end, reported as aborted";
  EXPECT_TRUE(f.Prov->Errors.empty());
  EXPECT_EQ(f.Prov->Read(buf, -8), 0u) << "the end stays";
}

TEST(ProviderRead, ErrorIsLeftInLastErrorAndReportedToDoError) {
  TProviderFixture f;
  f.Hub.FeedError(os::kErrorBrokenPipe);
  char buf[8];
  os::SetLastError(0);
  EXPECT_EQ(f.Prov->Read(buf, -8), 0u);
  EXPECT_EQ(os::GetLastError(), os::kErrorBrokenPipe);
  ASSERT_EQ(f.Prov->Errors.size(), 1u);
  EXPECT_EQ(f.Prov->Errors[0].Code, os::kErrorBrokenPipe);
  EXPECT_EQ(f.Prov->Errors[0].Op, ioRead);
  EXPECT_EQ(f.Prov->Aborted, 1);
  EXPECT_EQ(f.Prov->ReadIO().LastError, os::kErrorBrokenPipe);
  EXPECT_EQ(f.Prov->ReadIO().OpCode, ioRead);
}

TEST(ProviderRead, ReadTheHubRefusesYieldsZeroWithoutWaiting) {
  TProviderFixture f;
  f.Hub.RefuseReads = true;
  char buf[8];
  EXPECT_EQ(f.Prov->Read(buf, -8), 0u);
  EXPECT_EQ(f.Prov->Aborted, 1);
  f.Hub.RefuseReads = false;
  f.Hub.Feed("x");
  EXPECT_EQ(f.Prov->Read(buf, -8), 1u) << "a refused read owes nothing";
}

TEST(ProviderRead, EveryReadCarriesThePositionAsItsOffset) {
  TProviderFixture f;
  f.Hub.Feed({"a", "b"});
  char c;
  f.Prov->Read(&c, -1);
  f.Prov->SetPosition(4096);
  EXPECT_EQ(f.Prov->GetPosition(), 4096);
  f.Prov->Read(&c, -1);
  EXPECT_EQ(f.Hub.Offsets, (std::vector<int64_t>{-1, 4096}));
  EXPECT_EQ(f.Prov->GetPosition(), 4096) << "a transfer does not advance the position";
}

TEST(ProviderRead, SizeZeroTellsWhatCanBeReadWithoutWaiting) {
  TProviderFixture f;
  EXPECT_EQ(f.Prov->Read(nullptr, 0), 0u);
  f.Hub.Feed("one\r\ntwo and more");
  EXPECT_EQ(f.Prov->ReadLn(), "one");
  EXPECT_EQ(f.Prov->Read(nullptr, 0), 12u);
  EXPECT_EQ(f.Hub.ReadCalls, 1);
}

// The push-back buffer may hold more than a pending read asks for.
TEST(ProviderRead, PushedBackBytesNeverOverrunTheCallersSize) {
  TProviderFixture f;
  f.Hub.Feed("line\r\nsurplus-bytes");
  EXPECT_EQ(f.Prov->ReadLn(), "line");
  char buf[12];
  std::memset(buf, '#', sizeof buf);
  EXPECT_EQ(f.Prov->Read(buf, -4), 4u);
  EXPECT_EQ(std::string(buf, sizeof buf), "surp########");
  EXPECT_EQ(f.Prov->Read(buf, -12), 9u);
  EXPECT_EQ(std::string(buf, 9), "lus-bytes");
  EXPECT_EQ(f.Hub.ReadCalls, 1) << "the surplus came from the buffer, not the handle";
}

TEST(ProviderRead, SetPositionEmptiesThePushBackBuffer) {
  TProviderFixture f;
  f.Hub.Feed({"a\r\nleft", "fresh"});
  EXPECT_EQ(f.Prov->ReadLn(), "a");
  f.Prov->SetPosition(0);
  EXPECT_EQ(f.Prov->PendingBytes(), 0u);
  char buf[8];
  EXPECT_EQ(f.Prov->Read(buf, -8), 5u);
  EXPECT_EQ(std::string(buf, 5), "fresh");
}

TEST(ProviderRead, CompletionRoutineStoresByDirectionAndIgnoresOtherOperations) {
  TProviderFixture f;
  TOvoProvider::Cb(42, ioNotSet, f.Prov.get(), 5, 7);
  EXPECT_EQ(f.Prov->ReadIO().OpCode, ioNotSet);
  EXPECT_EQ(f.Prov->WriteIO().OpCode, ioNotSet);
  EXPECT_FALSE(f.Prov->OnAfterRead()->IsSignaled());
  EXPECT_FALSE(f.Prov->OnAfterWrite()->IsSignaled());
  TOvoProvider::Cb(42, ioWrite, f.Prov.get(), 0, 7);
  EXPECT_EQ(f.Prov->WriteIO().NumOfBytes, 7u);
  EXPECT_EQ(f.Prov->WriteIO().OpCode, ioWrite);
  EXPECT_TRUE(f.Prov->OnAfterWrite()->IsSignaled());
  EXPECT_FALSE(f.Prov->OnAfterRead()->IsSignaled());
}

TEST(ProviderWrite, FullWriteLoopsOverShortWritesAndPendingWriteDoesOne) {
  TProviderFixture f;
  f.Hub.WriteLimit = 4;
  const std::string text = "hello, world";
  EXPECT_EQ(f.Prov->Write(text.data(), static_cast<int32_t>(text.size())), text.size());
  EXPECT_EQ(f.Hub.Written, text);
  EXPECT_EQ(f.Hub.WriteCalls, 3);
  EXPECT_EQ(f.Prov->Write(text.data(), -12), 4u);
  EXPECT_EQ(f.Prov->Write(nullptr, 0), 0u) << "the base knows no free send space";
}

TEST(ProviderWrite, FailedWriteReportsItsErrorAndFails) {
  TProviderFixture f;
  f.Hub.WriteError = os::kErrorNoData;
  EXPECT_FALSE(f.Prov->WriteInteger(7));
  EXPECT_EQ(os::GetLastError(), os::kErrorNoData);
  ASSERT_EQ(f.Prov->Errors.size(), 1u);
  EXPECT_EQ(f.Prov->Errors[0].Op, ioWrite);
  f.Hub.WriteError = 0;
  f.Hub.RefuseWrites = true;
  EXPECT_FALSE(f.Prov->WriteByte(1));
  EXPECT_EQ(f.Prov->Aborted, 2);
}

TEST(ProviderWrite, EmptyByteArraySucceedsWithoutATransfer) {
  TProviderFixture f;
  EXPECT_TRUE(f.Prov->WriteBytes({}));
  EXPECT_EQ(f.Hub.WriteCalls, 0);
  EXPECT_TRUE(f.Prov->WriteBytes({1, 2, 3}));
  EXPECT_EQ(f.Hub.Written, std::string("\x01\x02\x03", 3));
}

TEST(ProviderTyped, ValuesTravelLittleEndianAndComeBackAcrossChunkBounds) {
  TProviderFixture f;
  ASSERT_TRUE(f.Prov->WriteByte(0xAB));
  ASSERT_TRUE(f.Prov->WriteSmallInt(-2));
  ASSERT_TRUE(f.Prov->WriteInteger(0x01020304));
  ASSERT_TRUE(f.Prov->WriteSingle(1.5f));
  ASSERT_TRUE(f.Prov->WriteDouble(-0.25));
  const std::string image = f.Hub.Written;
  ASSERT_EQ(image.size(), 1u + 2 + 4 + 4 + 8);
  EXPECT_EQ(image.substr(3, 4), "\x04\x03\x02\x01");
  // Back in chunks of 3, so that values straddle reads.
  for (size_t i = 0; i < image.size(); i += 3) f.Hub.Feed(image.substr(i, 3));
  uint8_t b = 0;
  int16_t s = 0;
  int32_t i = 0;
  float fl = 0;
  double d = 0;
  EXPECT_TRUE(f.Prov->ReadByte(b));
  EXPECT_TRUE(f.Prov->ReadSmallInt(s));
  EXPECT_TRUE(f.Prov->ReadInteger(i));
  EXPECT_TRUE(f.Prov->ReadSingle(fl));
  EXPECT_TRUE(f.Prov->ReadDouble(d));
  EXPECT_EQ(b, 0xAB);
  EXPECT_EQ(s, -2);
  EXPECT_EQ(i, 0x01020304);
  EXPECT_EQ(fl, 1.5f);
  EXPECT_EQ(d, -0.25);
}

TEST(ProviderTyped, ValueCutShortByTheEndFailsAndKeepsItsBytes) {
  TProviderFixture f;
  f.Hub.Feed("\x01\x02\x03");
  f.Hub.FeedEnd();
  int32_t v = 99;
  EXPECT_FALSE(f.Prov->ReadInteger(v));
  EXPECT_EQ(v, 99) << "the value is untouched";
  TBytes rest;
  ASSERT_TRUE(f.Prov->ReadBytes(rest));
  EXPECT_EQ(rest, (TBytes{1, 2, 3}));
  EXPECT_FALSE(f.Prov->ReadBytes(rest));
  EXPECT_TRUE(rest.empty());
}

TEST(ProviderTyped, ReadBytesTakesWhatIsPushedBackOrOneChunk) {
  TProviderFixture f;
  f.Hub.Feed(std::string(3000, 'z'));
  TBytes got;
  ASSERT_TRUE(f.Prov->ReadBytes(got));
  EXPECT_EQ(got.size(), 1024u) << "nothing known to be readable: a chunk of 1024";
  EXPECT_EQ(f.Hub.Lengths.back(), 1024u);
}

}  // namespace
}  // namespace green
