// Overlapped reads and writes with completion routines, over anonymous
// pipes and files. The expectations are what Wine 8 does; where Windows is
// known to answer otherwise, the test says so.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Io.h"
#include "platform/Kernel.h"
#include "platform/Thread.h"

namespace green::os {
namespace {

// One operation: its overlapped structure and what its routine reported.
struct Op {
  Overlapped Ov;
  int Calls = 0;
  uint32_t Error = 0xFFFFFFFF;
  uint32_t Bytes = 0;
  uint32_t Thread = 0;
  Op() { Ov.Event = this; }
};

void Record(uint32_t ErrorCode, uint32_t Bytes, Overlapped* Ov) {
  auto* O = static_cast<Op*>(Ov->Event);
  ++O->Calls;
  O->Error = ErrorCode;
  O->Bytes = Bytes;
  O->Thread = CurrentThreadId();
}

struct Boom : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void RecordThenThrow(uint32_t ErrorCode, uint32_t Bytes, Overlapped* Ov) {
  Record(ErrorCode, Bytes, Ov);
  throw Boom("routine");
}

// Alertable waits until Done() or about ten seconds passed.
template <class F>
void RunRoutinesUntil(F Done) {
  const int64_t Deadline = MonotonicNanos() + 10'000'000'000;
  while (!Done() && MonotonicNanos() < Deadline) SleepEx(100, true);
}

bool Finished(const Op& O) { return O.Calls > 0; }

// The two ends of an anonymous pipe, closed at the end of a test.
struct Pipe {
  Handle Read = kNoHandle;
  Handle Write = kNoHandle;
  explicit Pipe(bool Duplex = false) {
    const bool Made = Duplex ? CreateDuplexPipe(Read, Write) : CreatePipe(Read, Write);
    EXPECT_TRUE(Made) << GetLastError();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() {
    if (Read != kNoHandle) CloseHandle(Read);
    Read = kNoHandle;
  }
  void CloseWrite() {
    if (Write != kNoHandle) CloseHandle(Write);
    Write = kNoHandle;
  }
};

// Writes Text and runs routines until the write completed.
void WriteAll(Handle H, const std::string& Text) {
  Op W;
  ASSERT_TRUE(WriteFileEx(H, Text.data(), static_cast<uint32_t>(Text.size()), &W.Ov, Record))
      << GetLastError();
  RunRoutinesUntil([&] { return Finished(W); });
  ASSERT_EQ(W.Error, kErrorSuccess);
  ASSERT_EQ(W.Bytes, Text.size());
}

TEST(Io, ReadCompletesWithWhatIsAvailableInsideTheNextAlertableWait) {
  Pipe P;
  WriteAll(P.Write, "hello");
  Op R;
  char Buf[100];
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &R.Ov, Record));
  EXPECT_EQ(SleepEx(0, false), 0u) << "a plain wait runs no routine";
  EXPECT_EQ(R.Calls, 0);
  EXPECT_EQ(SleepEx(1000, true), kWaitIoCompletion);
  EXPECT_EQ(R.Calls, 1);
  EXPECT_EQ(R.Error, kErrorSuccess);
  EXPECT_EQ(R.Bytes, 5u);
  EXPECT_EQ(std::string(Buf, 5), "hello");
  EXPECT_EQ(R.Ov.Event, &R) << "the caller's word comes back untouched";
  EXPECT_EQ(SleepEx(0, true), 0u) << "exactly one call";
}

TEST(Io, ShortReadsTakeTheStreamInOrder) {
  Pipe P;
  WriteAll(P.Write, "0123456789");
  char Buf[100];
  Op First, Second;
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, 4, &First.Ov, Record));
  RunRoutinesUntil([&] { return Finished(First); });
  EXPECT_EQ(First.Bytes, 4u);
  EXPECT_EQ(std::string(Buf, 4), "0123");
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &Second.Ov, Record));
  RunRoutinesUntil([&] { return Finished(Second); });
  EXPECT_EQ(Second.Bytes, 6u);
  EXPECT_EQ(std::string(Buf, 6), "456789");
}

TEST(Io, PendingReadCompletesWhenDataArrives) {
  Pipe P;
  Op R;
  char Buf[16];
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &R.Ov, Record));
  EXPECT_EQ(SleepEx(20, true), 0u) << "nothing to read yet";
  WriteAll(P.Write, "abc");
  RunRoutinesUntil([&] { return Finished(R); });
  EXPECT_EQ(R.Error, kErrorSuccess);
  EXPECT_EQ(R.Bytes, 3u);
}

// Reads the pipe on its own thread until Total bytes came or the stream ended.
std::vector<unsigned char> Drain(Handle Read, size_t Total) {
  std::vector<unsigned char> Got;
  std::vector<unsigned char> Buf(70000);
  while (Got.size() < Total) {
    Op R;
    if (!ReadFileEx(Read, Buf.data(), static_cast<uint32_t>(Buf.size()), &R.Ov, Record)) break;
    RunRoutinesUntil([&] { return Finished(R); });
    if (R.Error != kErrorSuccess) break;
    Got.insert(Got.end(), Buf.begin(), Buf.begin() + R.Bytes);
  }
  return Got;
}

TEST(Io, WriteBiggerThanThePipeCompletesOnlyWhenAllIsWritten) {
  Pipe P;
  std::vector<unsigned char> Data(1 << 20);
  for (size_t I = 0; I < Data.size(); ++I) Data[I] = static_cast<unsigned char>(I * 7 + I / 251);
  Op W;
  ASSERT_TRUE(WriteFileEx(P.Write, Data.data(), static_cast<uint32_t>(Data.size()), &W.Ov, Record));
  EXPECT_EQ(SleepEx(20, true), 0u) << "no reader yet: the write cannot be complete";
  EXPECT_EQ(W.Calls, 0);
  std::vector<unsigned char> Got;
  std::thread Reader([&] { Got = Drain(P.Read, Data.size()); });
  RunRoutinesUntil([&] { return Finished(W); });
  Reader.join();
  EXPECT_EQ(W.Calls, 1);
  EXPECT_EQ(W.Error, kErrorSuccess);
  EXPECT_EQ(W.Bytes, Data.size());
  EXPECT_TRUE(Got == Data) << "got " << Got.size() << " bytes";
}

TEST(Io, ReadAfterTheWriterIsGoneIsABrokenPipeOnceTheDataIsRead) {
  Pipe P;
  WriteAll(P.Write, "tail");
  P.CloseWrite();
  char Buf[16];
  Op R;
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &R.Ov, Record)) << "data first";
  RunRoutinesUntil([&] { return Finished(R); });
  EXPECT_EQ(R.Bytes, 4u);
  Op End;
  EXPECT_FALSE(ReadFileEx(P.Read, Buf, sizeof Buf, &End.Ov, Record));
  EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
  EXPECT_EQ(SleepEx(0, true), 0u) << "a refused read has no routine";
  EXPECT_EQ(End.Calls, 0);
}

TEST(Io, PendingReadEndsAsABrokenPipeWhenTheWriterGoes) {
  Pipe P;
  char Buf[16];
  Op R;
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &R.Ov, Record));
  P.CloseWrite();
  RunRoutinesUntil([&] { return Finished(R); });
  EXPECT_EQ(R.Error, kErrorBrokenPipe);
  EXPECT_EQ(R.Bytes, 0u);
}

TEST(Io, WriteWithoutAReaderIsRefusedAndAPendingOneBreaks) {
  {
    Pipe P;
    P.CloseRead();
    Op W;
    EXPECT_FALSE(WriteFileEx(P.Write, "x", 1, &W.Ov, Record));
    EXPECT_EQ(GetLastError(), kErrorNoData) << "the pipe is being closed";
  }
  Pipe P;
  std::vector<char> Big(1 << 20);
  Op W;
  ASSERT_TRUE(WriteFileEx(P.Write, Big.data(), static_cast<uint32_t>(Big.size()), &W.Ov, Record));
  EXPECT_EQ(SleepEx(0, true), 0u);
  P.CloseRead();
  RunRoutinesUntil([&] { return Finished(W); });
  EXPECT_EQ(W.Error, kErrorBrokenPipe);
  EXPECT_LT(W.Bytes, Big.size());
}

TEST(Io, RoutineRunsOnlyInAlertableWaitsOfTheStartingThread) {
  Pipe P;
  WriteAll(P.Write, "data");
  char Buf[16];
  Op R;
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &R.Ov, Record));
  uint32_t OtherAnswer = 1;
  std::thread Other([&] { OtherAnswer = SleepEx(50, true); });
  Other.join();
  EXPECT_EQ(OtherAnswer, 0u) << "another thread's alertable wait times out";
  Handle Ev = CreateEvent(true, false);
  EXPECT_EQ(WaitForSingleObject(Ev, 20, false), kWaitTimeout);
  EXPECT_EQ(R.Calls, 0);
  EXPECT_EQ(WaitForSingleObject(Ev, 1000, true), kWaitIoCompletion);
  EXPECT_EQ(R.Calls, 1);
  EXPECT_EQ(R.Thread, CurrentThreadId());
  CloseHandle(Ev);
}

TEST(Io, CancelledReadReportsAbortedThenANewReadWorks) {
  Pipe P;
  char Buf[16];
  Op R;
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &R.Ov, Record));
  EXPECT_TRUE(CancelIo(P.Read));
  EXPECT_EQ(R.Calls, 0) << "the routine waits for an alertable wait";
  EXPECT_EQ(SleepEx(1000, true), kWaitIoCompletion);
  EXPECT_EQ(R.Calls, 1);
  EXPECT_EQ(R.Error, kErrorOperationAborted);
  EXPECT_EQ(R.Bytes, 0u);
  Op Again;
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &Again.Ov, Record));
  WriteAll(P.Write, "more");
  RunRoutinesUntil([&] { return Finished(Again); });
  EXPECT_EQ(Again.Error, kErrorSuccess);
  EXPECT_EQ(std::string(Buf, Again.Bytes), "more");
  EXPECT_TRUE(CancelIo(P.Read)) << "nothing to cancel is no failure";
  Handle Ev = CreateEvent(true, false);
  CloseHandle(Ev);
  EXPECT_FALSE(CancelIo(Ev));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST(Io, CancelEndsOnlyTheCallingThreadsOperations) {
  Pipe P;
  char Buf[8];
  Op R;
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &R.Ov, Record));
  std::thread Other([&] { CancelIo(P.Read); });
  Other.join();
  EXPECT_EQ(SleepEx(20, true), 0u);
  EXPECT_EQ(R.Calls, 0);
  WriteAll(P.Write, "x");
  RunRoutinesUntil([&] { return Finished(R); });
  EXPECT_EQ(R.Error, kErrorSuccess);
}

TEST(Io, ReadAndWritePendingOnOneHandleCompleteIndependently) {
  Pipe P(true);
  std::vector<char> Big(1 << 20, 'w');
  char Buf[16];
  Op R, W;
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &R.Ov, Record));
  ASSERT_TRUE(WriteFileEx(P.Read, Big.data(), static_cast<uint32_t>(Big.size()), &W.Ov, Record));
  EXPECT_EQ(SleepEx(20, true), 0u);
  WriteAll(P.Write, "ping");
  RunRoutinesUntil([&] { return Finished(R); });
  EXPECT_EQ(R.Bytes, 4u);
  EXPECT_EQ(W.Calls, 0) << "the write still waits for room";
  std::vector<unsigned char> Got;
  std::thread Reader([&] { Got = Drain(P.Write, Big.size()); });
  RunRoutinesUntil([&] { return Finished(W); });
  Reader.join();
  EXPECT_EQ(W.Error, kErrorSuccess);
  EXPECT_EQ(W.Bytes, Big.size());
  EXPECT_EQ(Got.size(), Big.size());
  EXPECT_EQ(R.Calls, 1);
}

TEST(Io, FailedRoutineIsRaisedByItsWaitAndTheNextIsHeldBack) {
  Pipe A, B;
  WriteAll(A.Write, "a");
  WriteAll(B.Write, "b");
  char BufA[4], BufB[4];
  Op First, Second;
  ASSERT_TRUE(ReadFileEx(A.Read, BufA, sizeof BufA, &First.Ov, RecordThenThrow));
  ASSERT_TRUE(ReadFileEx(B.Read, BufB, sizeof BufB, &Second.Ov, Record));
  EXPECT_THROW(RunRoutinesUntil([&] { return Finished(First); }), Boom);
  EXPECT_EQ(First.Calls, 1);
  EXPECT_EQ(Second.Calls, 0) << "held back behind the failure";
  EXPECT_EQ(SleepEx(0, true), kWaitIoCompletion);
  EXPECT_EQ(Second.Calls, 1);
  EXPECT_EQ(Second.Error, kErrorSuccess);
  EXPECT_EQ(Second.Bytes, 1u);
}

TEST(Io, ZeroLengthReadWaitsForDataAndTakesNone) {
  Pipe P;
  Op Empty;
  ASSERT_TRUE(ReadFileEx(P.Read, nullptr, 0, &Empty.Ov, Record));
  EXPECT_EQ(SleepEx(20, true), 0u);
  EXPECT_EQ(Empty.Calls, 0);
  WriteAll(P.Write, "z");
  RunRoutinesUntil([&] { return Finished(Empty); });
  EXPECT_EQ(Empty.Error, kErrorSuccess);
  EXPECT_EQ(Empty.Bytes, 0u);
  char Buf[4];
  Op R;
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &R.Ov, Record));
  RunRoutinesUntil([&] { return Finished(R); });
  EXPECT_EQ(R.Bytes, 1u) << "the data is still there";
}

// Wine answers a pending read on a handle closed by its own thread with a
// broken pipe, as Windows' pipe driver does on clean-up.
TEST(Io, ClosingTheHandleEndsItsPendingOperations) {
  Pipe P;
  char Buf[8];
  Op R;
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &R.Ov, Record));
  P.CloseRead();
  RunRoutinesUntil([&] { return Finished(R); });
  EXPECT_EQ(R.Error, kErrorBrokenPipe);
  EXPECT_EQ(R.Bytes, 0u);
}

TEST(Io, ClosingTheReadEndOnAnotherThreadLetsThePeerSeeItAtOnce) {
  Pipe P;
  char Buf[8];
  Op R;
  ASSERT_TRUE(ReadFileEx(P.Read, Buf, sizeof Buf, &R.Ov, Record));
  std::thread Closer([&] { P.CloseRead(); });
  Closer.join();
  Op W;
  EXPECT_FALSE(WriteFileEx(P.Write, "x", 1, &W.Ov, Record)) << "no reader is left";
  EXPECT_EQ(GetLastError(), kErrorNoData);
  RunRoutinesUntil([&] { return Finished(R); });
  EXPECT_EQ(R.Error, kErrorBrokenPipe);
}

TEST(Io, WrongDirectionAndObjectsWithoutDataAreRefused) {
  Pipe P;
  char Buf[4];
  Op R;
  EXPECT_FALSE(ReadFileEx(P.Write, Buf, sizeof Buf, &R.Ov, Record));
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  Handle Ev = CreateEvent(true, false);
  EXPECT_FALSE(ReadFileEx(Ev, Buf, sizeof Buf, &R.Ov, Record));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  CloseHandle(Ev);
  EXPECT_FALSE(ReadFileEx(Ev, Buf, sizeof Buf, &R.Ov, Record));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_EQ(SleepEx(0, true), 0u);
  EXPECT_EQ(R.Calls, 0);
}

TEST(Io, ManyPendingReadsAtOnce) {
  constexpr int kPipes = 100;  // more than a wait takes objects
  std::vector<Pipe> Pipes(kPipes);
  std::vector<Op> Reads(kPipes);
  std::vector<char> Bufs(kPipes * 4);
  for (int I = 0; I < kPipes; ++I)
    ASSERT_TRUE(ReadFileEx(Pipes[I].Read, &Bufs[I * 4], 4, &Reads[I].Ov, Record));
  for (int I = 0; I < kPipes; ++I) WriteAll(Pipes[I].Write, std::to_string(I % 10));
  RunRoutinesUntil([&] {
    for (const Op& R : Reads)
      if (!Finished(R)) return false;
    return true;
  });
  for (int I = 0; I < kPipes; ++I) {
    EXPECT_EQ(Reads[I].Calls, 1);
    EXPECT_EQ(Reads[I].Bytes, 1u);
    EXPECT_EQ(Bufs[I * 4], '0' + I % 10);
  }
}

// A file that is removed at the end of a test.
struct TempFile {
  std::string Path;
  Handle H = kNoHandle;
  explicit TempFile(const char* Name)
      : Path((std::filesystem::temp_directory_path() /
              (Name + std::to_string(CurrentThreadId()))).string()) {
    H = OpenFile(Path, true);
    EXPECT_NE(H, kNoHandle) << GetLastError();
  }
  ~TempFile() {
    if (H != kNoHandle) CloseHandle(H);
    std::error_code Ignored;
    std::filesystem::remove(Path, Ignored);
  }
};

Op Transfer(bool Write, Handle H, void* Buf, uint32_t Len, uint64_t Offset) {
  Op O;
  O.Ov.Offset = static_cast<uint32_t>(Offset);
  O.Ov.OffsetHigh = static_cast<uint32_t>(Offset >> 32);
  const bool Started = Write ? WriteFileEx(H, Buf, Len, &O.Ov, Record)
                             : ReadFileEx(H, Buf, Len, &O.Ov, Record);
  EXPECT_TRUE(Started) << GetLastError();
  if (Started) RunRoutinesUntil([&] { return Finished(O); });
  return O;
}

TEST(Io, FileOperationsHappenAtTheirOffsetAndReadsEndAtTheEnd) {
  TempFile F("green_io_offsets_");
  char Text[] = "abcdef";
  EXPECT_EQ(Transfer(true, F.H, Text, 6, 0).Bytes, 6u);
  char Patch[] = "XY";
  EXPECT_EQ(Transfer(true, F.H, Patch, 2, 4).Bytes, 2u);
  char Buf[16] = {};
  Op At2 = Transfer(false, F.H, Buf, sizeof Buf, 2);
  EXPECT_EQ(At2.Error, kErrorSuccess);
  EXPECT_EQ(std::string(Buf, At2.Bytes), "cdXY");
  Op At0 = Transfer(false, F.H, Buf, 3, 0);
  EXPECT_EQ(std::string(Buf, At0.Bytes), "abc") << "reads do not move a file position";
  // Windows may refuse such a read at the start with the same code.
  Op AtEnd = Transfer(false, F.H, Buf, sizeof Buf, 6);
  EXPECT_EQ(AtEnd.Error, kErrorHandleEof);
  EXPECT_EQ(AtEnd.Bytes, 0u);
  Op Past = Transfer(false, F.H, Buf, sizeof Buf, uint64_t{5} << 32);
  EXPECT_EQ(Past.Error, kErrorHandleEof);
}

TEST(Io, PipesIgnoreTheOffset) {
  Pipe P;
  WriteAll(P.Write, "pipe");
  char Buf[8];
  Op R = Transfer(false, P.Read, Buf, sizeof Buf, 1000);
  EXPECT_EQ(R.Error, kErrorSuccess);
  EXPECT_EQ(std::string(Buf, R.Bytes), "pipe");
}

TEST(Io, OpeningAMissingFileFails) {
  const std::string Path =
      (std::filesystem::temp_directory_path() / "green_io_surely_missing_file").string();
  EXPECT_EQ(OpenFile(Path, false), kNoHandle);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

}  // namespace
}  // namespace green::os
