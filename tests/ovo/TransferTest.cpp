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
  TProviderFixture F;
  F.Hub.Feed({"abc", "def", "gh"});
  char Buf[16] = {};
  EXPECT_EQ(F.Prov->Read(Buf, -10), 3u);
  EXPECT_EQ(std::string(Buf, 3), "abc");
  EXPECT_EQ(F.Prov->Read(Buf, 5), 5u);
  EXPECT_EQ(std::string(Buf, 5), "defgh");
  EXPECT_EQ(F.Hub.ReadCalls, 3);
  EXPECT_EQ(F.Prov->OnAfterRead()->IsSignaled(), false) << "each wait consumed its completion";
}

TEST(ProviderRead, FullReadEndsShortAtTheEndOfTheStream) {
  TProviderFixture F;
  F.Hub.Feed("abc");
  F.Hub.FeedEnd();
  char Buf[8];
  EXPECT_EQ(F.Prov->Read(Buf, 8), 3u);
  EXPECT_EQ(F.Prov->Aborted, 1) << "a read of 0 bytes is the end, reported as aborted";
  EXPECT_TRUE(F.Prov->Errors.empty());
  EXPECT_EQ(F.Prov->Read(Buf, -8), 0u) << "the end stays";
}

TEST(ProviderRead, ErrorIsLeftInLastErrorAndReportedToDoError) {
  TProviderFixture F;
  F.Hub.FeedError(os::kErrorBrokenPipe);
  char Buf[8];
  os::SetLastError(0);
  EXPECT_EQ(F.Prov->Read(Buf, -8), 0u);
  EXPECT_EQ(os::GetLastError(), os::kErrorBrokenPipe);
  ASSERT_EQ(F.Prov->Errors.size(), 1u);
  EXPECT_EQ(F.Prov->Errors[0].Code, os::kErrorBrokenPipe);
  EXPECT_EQ(F.Prov->Errors[0].Op, ioRead);
  EXPECT_EQ(F.Prov->Aborted, 1);
  EXPECT_EQ(F.Prov->ReadIO().LastError, os::kErrorBrokenPipe);
  EXPECT_EQ(F.Prov->ReadIO().OpCode, ioRead);
}

TEST(ProviderRead, ReadTheHubRefusesYieldsZeroWithoutWaiting) {
  TProviderFixture F;
  F.Hub.RefuseReads = true;
  char Buf[8];
  EXPECT_EQ(F.Prov->Read(Buf, -8), 0u);
  EXPECT_EQ(F.Prov->Aborted, 1);
  F.Hub.RefuseReads = false;
  F.Hub.Feed("x");
  EXPECT_EQ(F.Prov->Read(Buf, -8), 1u) << "a refused read owes nothing";
}

TEST(ProviderRead, EveryReadCarriesThePositionAsItsOffset) {
  TProviderFixture F;
  F.Hub.Feed({"a", "b"});
  char C;
  F.Prov->Read(&C, -1);
  F.Prov->SetPosition(4096);
  EXPECT_EQ(F.Prov->GetPosition(), 4096);
  F.Prov->Read(&C, -1);
  EXPECT_EQ(F.Hub.Offsets, (std::vector<int64_t>{-1, 4096}));
  EXPECT_EQ(F.Prov->GetPosition(), 4096) << "a transfer does not advance the position";
}

TEST(ProviderRead, SizeZeroTellsWhatCanBeReadWithoutWaiting) {
  TProviderFixture F;
  EXPECT_EQ(F.Prov->Read(nullptr, 0), 0u);
  F.Hub.Feed("one\r\ntwo and more");
  EXPECT_EQ(F.Prov->ReadLn(), "one");
  EXPECT_EQ(F.Prov->Read(nullptr, 0), 12u);
  EXPECT_EQ(F.Hub.ReadCalls, 1);
}

// The push-back buffer may hold more than a pending read asks for.
TEST(ProviderRead, PushedBackBytesNeverOverrunTheCallersSize) {
  TProviderFixture F;
  F.Hub.Feed("line\r\nsurplus-bytes");
  EXPECT_EQ(F.Prov->ReadLn(), "line");
  char Buf[12];
  std::memset(Buf, '#', sizeof Buf);
  EXPECT_EQ(F.Prov->Read(Buf, -4), 4u);
  EXPECT_EQ(std::string(Buf, sizeof Buf), "surp########");
  EXPECT_EQ(F.Prov->Read(Buf, -12), 9u);
  EXPECT_EQ(std::string(Buf, 9), "lus-bytes");
  EXPECT_EQ(F.Hub.ReadCalls, 1) << "the surplus came from the buffer, not the handle";
}

TEST(ProviderRead, SetPositionEmptiesThePushBackBuffer) {
  TProviderFixture F;
  F.Hub.Feed({"a\r\nleft", "fresh"});
  EXPECT_EQ(F.Prov->ReadLn(), "a");
  F.Prov->SetPosition(0);
  EXPECT_EQ(F.Prov->PendingBytes(), 0u);
  char Buf[8];
  EXPECT_EQ(F.Prov->Read(Buf, -8), 5u);
  EXPECT_EQ(std::string(Buf, 5), "fresh");
}

TEST(ProviderRead, CompletionRoutineStoresByDirectionAndIgnoresOtherOperations) {
  TProviderFixture F;
  TOvoProvider::Cb(42, ioNotSet, F.Prov.get(), 5, 7);
  EXPECT_EQ(F.Prov->ReadIO().OpCode, ioNotSet);
  EXPECT_EQ(F.Prov->WriteIO().OpCode, ioNotSet);
  EXPECT_FALSE(F.Prov->OnAfterRead()->IsSignaled());
  EXPECT_FALSE(F.Prov->OnAfterWrite()->IsSignaled());
  TOvoProvider::Cb(42, ioWrite, F.Prov.get(), 0, 7);
  EXPECT_EQ(F.Prov->WriteIO().NumOfBytes, 7u);
  EXPECT_EQ(F.Prov->WriteIO().OpCode, ioWrite);
  EXPECT_TRUE(F.Prov->OnAfterWrite()->IsSignaled());
  EXPECT_FALSE(F.Prov->OnAfterRead()->IsSignaled());
}

TEST(ProviderWrite, FullWriteLoopsOverShortWritesAndPendingWriteDoesOne) {
  TProviderFixture F;
  F.Hub.WriteLimit = 4;
  const std::string Text = "hello, world";
  EXPECT_EQ(F.Prov->Write(Text.data(), static_cast<int32_t>(Text.size())), Text.size());
  EXPECT_EQ(F.Hub.Written, Text);
  EXPECT_EQ(F.Hub.WriteCalls, 3);
  EXPECT_EQ(F.Prov->Write(Text.data(), -12), 4u);
  EXPECT_EQ(F.Prov->Write(nullptr, 0), 0u) << "the base knows no free send space";
}

TEST(ProviderWrite, FailedWriteReportsItsErrorAndFails) {
  TProviderFixture F;
  F.Hub.WriteError = os::kErrorNoData;
  EXPECT_FALSE(F.Prov->WriteInteger(7));
  EXPECT_EQ(os::GetLastError(), os::kErrorNoData);
  ASSERT_EQ(F.Prov->Errors.size(), 1u);
  EXPECT_EQ(F.Prov->Errors[0].Op, ioWrite);
  F.Hub.WriteError = 0;
  F.Hub.RefuseWrites = true;
  EXPECT_FALSE(F.Prov->WriteByte(1));
  EXPECT_EQ(F.Prov->Aborted, 2);
}

TEST(ProviderWrite, EmptyByteArraySucceedsWithoutATransfer) {
  TProviderFixture F;
  EXPECT_TRUE(F.Prov->WriteBytes({}));
  EXPECT_EQ(F.Hub.WriteCalls, 0);
  EXPECT_TRUE(F.Prov->WriteBytes({1, 2, 3}));
  EXPECT_EQ(F.Hub.Written, std::string("\x01\x02\x03", 3));
}

TEST(ProviderTyped, ValuesTravelLittleEndianAndComeBackAcrossChunkBounds) {
  TProviderFixture F;
  ASSERT_TRUE(F.Prov->WriteByte(0xAB));
  ASSERT_TRUE(F.Prov->WriteSmallInt(-2));
  ASSERT_TRUE(F.Prov->WriteInteger(0x01020304));
  ASSERT_TRUE(F.Prov->WriteSingle(1.5f));
  ASSERT_TRUE(F.Prov->WriteDouble(-0.25));
  const std::string Image = F.Hub.Written;
  ASSERT_EQ(Image.size(), 1u + 2 + 4 + 4 + 8);
  EXPECT_EQ(Image.substr(3, 4), "\x04\x03\x02\x01");
  // Back in chunks of 3, so that values straddle reads.
  for (size_t I = 0; I < Image.size(); I += 3) F.Hub.Feed(Image.substr(I, 3));
  uint8_t B = 0;
  int16_t S = 0;
  int32_t I = 0;
  float Fl = 0;
  double D = 0;
  EXPECT_TRUE(F.Prov->ReadByte(B));
  EXPECT_TRUE(F.Prov->ReadSmallInt(S));
  EXPECT_TRUE(F.Prov->ReadInteger(I));
  EXPECT_TRUE(F.Prov->ReadSingle(Fl));
  EXPECT_TRUE(F.Prov->ReadDouble(D));
  EXPECT_EQ(B, 0xAB);
  EXPECT_EQ(S, -2);
  EXPECT_EQ(I, 0x01020304);
  EXPECT_EQ(Fl, 1.5f);
  EXPECT_EQ(D, -0.25);
}

TEST(ProviderTyped, ValueCutShortByTheEndFailsAndKeepsItsBytes) {
  TProviderFixture F;
  F.Hub.Feed("\x01\x02\x03");
  F.Hub.FeedEnd();
  int32_t V = 99;
  EXPECT_FALSE(F.Prov->ReadInteger(V));
  EXPECT_EQ(V, 99) << "the value is untouched";
  TBytes Rest;
  ASSERT_TRUE(F.Prov->ReadBytes(Rest));
  EXPECT_EQ(Rest, (TBytes{1, 2, 3}));
  EXPECT_FALSE(F.Prov->ReadBytes(Rest));
  EXPECT_TRUE(Rest.empty());
}

TEST(ProviderTyped, ReadBytesTakesWhatIsPushedBackOrOneChunk) {
  TProviderFixture F;
  F.Hub.Feed(std::string(3000, 'z'));
  TBytes Got;
  ASSERT_TRUE(F.Prov->ReadBytes(Got));
  EXPECT_EQ(Got.size(), 1024u) << "nothing known to be readable: a chunk of 1024";
  EXPECT_EQ(F.Hub.Lengths.back(), 1024u);
}

}  // namespace
}  // namespace green
