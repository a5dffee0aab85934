// The hub's overlapped reads and writes: callbacks inside Serve, records
// per handle and direction, the trash of given-up records, and hubs that go
// with operations still pending.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hub/Hub.h"
#include "hub/Sock.h"
#include "platform/Error.h"
#include "platform/Io.h"
#include "platform/Kernel.h"
#include "platform/Thread.h"

namespace green {
namespace {

struct TDone {
  int Calls = 0;
  THandle Fd = os::kNoHandle;
  TIOOperation Op = ioNotSet;
  int32_t ErrorCode = -1;
  uint32_t NumOfBytes = 0;
  TCustomHub* Hub = nullptr;
};

void Note(THandle Fd, TIOOperation Op, void* Data, int32_t ErrorCode, uint32_t NumOfBytes) {
  auto* D = static_cast<TDone*>(Data);
  ++D->Calls;
  D->Fd = Fd;
  D->Op = Op;
  D->ErrorCode = ErrorCode;
  D->NumOfBytes = NumOfBytes;
  D->Hub = GetCurrentHub();
}

struct EBoom : std::runtime_error {
  using std::runtime_error::runtime_error;
};

void NoteThenThrow(THandle Fd, TIOOperation Op, void* Data, int32_t ErrorCode, uint32_t Bytes) {
  Note(Fd, Op, Data, ErrorCode, Bytes);
  throw EBoom("callback");
}

template <class F>
void ServeUntil(TSingleThreadHub& Hub, F Done, uint32_t TimeoutMs = 10000) {
  const TDateTime Deadline = Now() + TimeOut2Time(TimeoutMs);
  while (!Done() && Now() < Deadline) Hub.Serve(Time2TimeOut(Deadline - Now()));
}

struct TPipe {
  THandle Read = os::kNoHandle;
  THandle Write = os::kNoHandle;
  explicit TPipe(bool Duplex = false) {
    EXPECT_TRUE(Duplex ? os::CreateDuplexPipe(Read, Write) : os::CreatePipe(Read, Write));
  }
  TPipe(const TPipe&) = delete;
  TPipe& operator=(const TPipe&) = delete;
  ~TPipe() {
    os::CloseHandle(Read);
    os::CloseHandle(Write);
  }
};

// Writes Text through the hub and serves until the write completed.
void HubWrite(TSingleThreadHub& Hub, THandle Fd, std::string Text) {
  TDone W;
  ASSERT_TRUE(Hub.Write(Fd, Text.data(), static_cast<uint32_t>(Text.size()), &Note, &W));
  ServeUntil(Hub, [&] { return W.Calls > 0; });
  ASSERT_EQ(W.ErrorCode, 0);
  ASSERT_EQ(W.NumOfBytes, Text.size());
}

size_t TrashSize(const TFiles* Files) { return Files->FTrash->size(); }

TEST(HubFileIo, ReadWithDataAvailableCompletesInTheNextServe) {
  TSingleThreadHub Hub;
  TPipe Pipe;
  HubWrite(Hub, Pipe.Write, "hello");
  char Buf[64];
  TDone R;
  ASSERT_TRUE(Hub.Read(Pipe.Read, Buf, sizeof Buf, &Note, &R));
  EXPECT_EQ(R.Calls, 0) << "callbacks run only inside the hub's wait";
  EXPECT_EQ(Hub.Wait(1000, TSingleThreadHub::Events({TSingleThreadHub::meIO})),
            TSingleThreadHub::meIO);
  EXPECT_EQ(R.Calls, 1);
  EXPECT_EQ(R.Fd, Pipe.Read);
  EXPECT_EQ(R.Op, ioRead);
  EXPECT_EQ(R.ErrorCode, 0);
  EXPECT_EQ(R.NumOfBytes, 5u);
  EXPECT_EQ(R.Hub, &Hub);
  EXPECT_EQ(std::string(Buf, 5), "hello");
  EXPECT_FALSE(Hub.Serve(20)) << "one completion, one callback";
  EXPECT_EQ(R.Calls, 1);
}

TEST(HubFileIo, EachHandleAndDirectionKeepsOneRecordAcrossOperations) {
  TSingleThreadHub Hub;
  TPipe Pipe;
  char Buf[8];
  for (int I = 0; I < 3; ++I) {
    HubWrite(Hub, Pipe.Write, "x");
    TDone R;
    ASSERT_TRUE(Hub.Read(Pipe.Read, Buf, sizeof Buf, &Note, &R));
    ServeUntil(Hub, [&] { return R.Calls > 0; });
    EXPECT_EQ(R.NumOfBytes, 1u);
  }
  const TFileTuple* Record = Hub.ReadFiles()->Record(Pipe.Read);
  ASSERT_NE(Record, nullptr);
  EXPECT_TRUE(Record->Active);
  EXPECT_EQ(Record->Overlap.Event, Record);
  EXPECT_EQ(Hub.ReadFiles()->FMap->size(), 1u);
  EXPECT_EQ(Hub.WriteFiles()->FMap->size(), 1u);
  EXPECT_EQ(TrashSize(Hub.ReadFiles()), 0u);
}

TEST(HubFileIo, RefusedReadIsTrashedWithoutCallbackAndTheNextReadMakesANewRecord) {
  TSingleThreadHub Hub;
  TPipe Pipe;
  char Buf[8];
  TDone R;
  EXPECT_FALSE(Hub.Read(Pipe.Write, Buf, sizeof Buf, &Note, &R)) << "the write end";
  EXPECT_EQ(os::GetLastError(), os::kErrorAccessDenied) << "the system's error is kept";
  EXPECT_FALSE(Hub.ReadFiles()->Find(Pipe.Write));
  ASSERT_EQ(TrashSize(Hub.ReadFiles()), 1u);
  const TFileTuple* Trashed = (*Hub.ReadFiles()->FTrash)[0].get();
  EXPECT_FALSE(Trashed->Active);
  EXPECT_GT(Trashed->CleanTime, Now() + 29.0 / (24 * 60));
  EXPECT_FALSE(Hub.Serve(20));
  EXPECT_EQ(R.Calls, 0);

  EXPECT_FALSE(Hub.Read(Pipe.Write, Buf, sizeof Buf, &Note, &R));
  EXPECT_EQ(TrashSize(Hub.ReadFiles()), 2u) << "a new record, given up as well";
  EXPECT_NE((*Hub.ReadFiles()->FTrash)[1].get(), Trashed);
}

TEST(HubFileIo, CancelledReadNeverCallsBackAndANewReadWorks) {
  TSingleThreadHub Hub;
  TPipe Pipe;
  char Buf[8];
  TDone Cancelled;
  ASSERT_TRUE(Hub.Read(Pipe.Read, Buf, sizeof Buf, &Note, &Cancelled));
  const TFileTuple* Old = Hub.ReadFiles()->Record(Pipe.Read);
  Hub.Cancel(Pipe.Read);
  EXPECT_FALSE(Hub.ReadFiles()->Find(Pipe.Read));
  EXPECT_TRUE(Hub.Serve(1000)) << "the aborted routine ran";
  EXPECT_EQ(Cancelled.Calls, 0);

  TDone Again;
  ASSERT_TRUE(Hub.Read(Pipe.Read, Buf, sizeof Buf, &Note, &Again));
  EXPECT_NE(Hub.ReadFiles()->Record(Pipe.Read), Old) << "a new record";
  HubWrite(Hub, Pipe.Write, "new");
  ServeUntil(Hub, [&] { return Again.Calls > 0; });
  EXPECT_EQ(Again.ErrorCode, 0);
  EXPECT_EQ(std::string(Buf, Again.NumOfBytes), "new");
  EXPECT_EQ(Cancelled.Calls, 0);
  Hub.Cancel(Pipe.Write);  // a handle without records: nothing happens
}

TEST(HubFileIo, ReadAndWritePendingOnOneHandleCompleteIndependently) {
  TSingleThreadHub Hub;
  TPipe Pipe(true);
  std::vector<char> Big(1 << 20, 'q');
  char Buf[8];
  TDone R, W;
  ASSERT_TRUE(Hub.Read(Pipe.Read, Buf, sizeof Buf, &Note, &R));
  ASSERT_TRUE(Hub.Write(Pipe.Read, Big.data(), static_cast<uint32_t>(Big.size()), &Note, &W));
  EXPECT_FALSE(Hub.Serve(20));
  size_t Drained = 0;
  std::thread Peer([&] {
    TSingleThreadHub Own;
    HubWrite(Own, Pipe.Write, "ping");
    std::vector<char> Sink(1 << 16);
    while (Drained < Big.size()) {
      TDone D;
      if (!Own.Read(Pipe.Write, Sink.data(), static_cast<uint32_t>(Sink.size()), &Note, &D)) break;
      ServeUntil(Own, [&] { return D.Calls > 0; });
      if (D.ErrorCode != 0) break;
      Drained += D.NumOfBytes;
    }
  });
  ServeUntil(Hub, [&] { return R.Calls > 0 && W.Calls > 0; });
  Peer.join();
  EXPECT_EQ(R.Calls, 1);
  EXPECT_EQ(R.Op, ioRead);
  EXPECT_EQ(std::string(Buf, R.NumOfBytes), "ping");
  EXPECT_EQ(W.Calls, 1);
  EXPECT_EQ(W.Op, ioWrite);
  EXPECT_EQ(W.ErrorCode, 0);
  EXPECT_EQ(W.NumOfBytes, Big.size());
  EXPECT_EQ(Drained, Big.size());
}

TEST(HubFileIo, ASecondOperationWhileOneIsInFlightIsRefused) {
  TSingleThreadHub Hub;
  TPipe Pipe;
  char First[8], Second[8];
  TDone A, B;
  ASSERT_TRUE(Hub.Read(Pipe.Read, First, sizeof First, &Note, &A));
  EXPECT_FALSE(Hub.Read(Pipe.Read, Second, sizeof Second, &Note, &B));
  EXPECT_EQ(os::GetLastError(), os::kErrorBusy);
  EXPECT_TRUE(Hub.ReadFiles()->Find(Pipe.Read)) << "the first keeps its record";
  HubWrite(Hub, Pipe.Write, "one");
  ServeUntil(Hub, [&] { return A.Calls > 0; });
  EXPECT_EQ(std::string(First, A.NumOfBytes), "one");
  EXPECT_EQ(B.Calls, 0);
}

struct TTempFile {
  std::string Path;
  THandle H;
  TTempFile()
      : Path((std::filesystem::temp_directory_path() /
              ("green_hub_file_" + std::to_string(os::CurrentThreadId()))).string()),
        H(os::OpenFile(Path, true)) {
    EXPECT_NE(H, os::kNoHandle);
  }
  ~TTempFile() {
    os::CloseHandle(H);
    std::error_code Ignored;
    std::filesystem::remove(Path, Ignored);
  }
};

std::string HubReadAt(TSingleThreadHub& Hub, THandle Fd, uint32_t Len, int64_t Offset) {
  std::string Buf(Len, '\0');
  TDone R;
  EXPECT_TRUE(Hub.Read(Fd, Buf.data(), Len, &Note, &R, Offset));
  ServeUntil(Hub, [&] { return R.Calls > 0; });
  Buf.resize(R.NumOfBytes);
  return Buf;
}

TEST(HubFileIo, OffsetMinusOneReadsAtZeroOnANewRecordThenReusesTheLastOffset) {
  TSingleThreadHub Hub;
  TTempFile File;
  HubWrite(Hub, File.H, "0123456789");
  EXPECT_EQ(HubReadAt(Hub, File.H, 3, -1), "012");
  EXPECT_EQ(HubReadAt(Hub, File.H, 3, 6), "678");
  EXPECT_EQ(HubReadAt(Hub, File.H, 3, -1), "678") << "the record keeps the explicit offset";
  EXPECT_EQ(HubReadAt(Hub, File.H, 3, 2), "234");
}

TEST(HubFileIo, TrashedRecordWithALateCompletionStaysAnotherHalfHour) {
  TSingleThreadHub Hub;
  TPipe Pipe, Other;
  char Buf[8];
  TDone R;
  ASSERT_TRUE(Hub.Read(Pipe.Read, Buf, sizeof Buf, &Note, &R));
  Hub.Cancel(Pipe.Read);
  ASSERT_EQ(TrashSize(Hub.ReadFiles()), 1u);
  TFileTuple* Record = (*Hub.ReadFiles()->FTrash)[0].get();
  EXPECT_EQ(Record->InFlight, 1u);
  Record->CleanTime = Now() - 1;  // as if its half hour had passed

  // Any enqueue sweeps the trash; a record still in flight is kept.
  TDone O;
  ASSERT_TRUE(Hub.Read(Other.Read, Buf, sizeof Buf, &Note, &O));
  ASSERT_EQ(TrashSize(Hub.ReadFiles()), 1u);

  ServeUntil(Hub, [&] { return Record->InFlight == 0; });
  EXPECT_EQ(R.Calls, 0);
  EXPECT_GT(Record->CleanTime, Now() + 29.0 / (24 * 60)) << "the late completion restarts it";
  Hub.Cancel(Other.Read);  // dequeue sweeps too
  EXPECT_EQ(TrashSize(Hub.ReadFiles()), 2u);

  Record->CleanTime = Now() - 1;
  TDone Again;
  ASSERT_TRUE(Hub.Read(Pipe.Read, Buf, sizeof Buf, &Note, &Again));
  ASSERT_EQ(TrashSize(Hub.ReadFiles()), 1u) << "now its time is up";
  EXPECT_NE((*Hub.ReadFiles()->FTrash)[0].get(), Record);
  Hub.Cancel(Pipe.Read);
  ServeUntil(Hub, [&] {
    for (auto& Rec : *Hub.ReadFiles()->FTrash)
      if (Rec->InFlight) return false;
    return true;
  });
}

TEST(HubFileIo, CallbackThatRaisesLeavesServeWithTheHubRestoredAndTheRecordLive) {
  TSingleThreadHub Hub;
  TPipe Pipe;
  HubWrite(Hub, Pipe.Write, "ab");
  char Buf[1];
  TDone R;
  ASSERT_TRUE(Hub.Read(Pipe.Read, Buf, sizeof Buf, &NoteThenThrow, &R));
  EXPECT_THROW(ServeUntil(Hub, [&] { return R.Calls > 0; }), EBoom);
  EXPECT_EQ(R.Calls, 1);
  EXPECT_EQ(R.Hub, &Hub);
  EXPECT_NE(GetCurrentHub(), &Hub) << "the current hub is restored";
  const TFileTuple* Record = Hub.ReadFiles()->Record(Pipe.Read);
  ASSERT_NE(Record, nullptr);
  EXPECT_TRUE(Record->Active);
  TDone Next;
  ASSERT_TRUE(Hub.Read(Pipe.Read, Buf, sizeof Buf, &Note, &Next));
  ServeUntil(Hub, [&] { return Next.Calls > 0; });
  EXPECT_EQ(Hub.ReadFiles()->Record(Pipe.Read), Record);
  EXPECT_EQ(Next.NumOfBytes, 1u);
  EXPECT_EQ(Buf[0], 'b');
}

// The routines of operations still in flight find what they need alive
// (ASan checks); nothing is called back.
TEST(HubFileIo, HubDestroyedWithOperationsInFlight) {
  TPipe Pipe, Ready;
  char Buf[8], ReadyBuf[8];
  TDone Pending, Completed;
  {
    TSingleThreadHub Hub;
    HubWrite(Hub, Ready.Write, "done");
    ASSERT_TRUE(Hub.Read(Pipe.Read, Buf, sizeof Buf, &Note, &Pending));
    ASSERT_TRUE(Hub.Read(Ready.Read, ReadyBuf, sizeof ReadyBuf, &Note, &Completed));
  }
  TSingleThreadHub Next;
  HubWrite(Next, Pipe.Write, "late");
  EXPECT_FALSE(Next.Serve(50));
  EXPECT_EQ(os::SleepEx(0, true), 0u) << "both routines have run";
  EXPECT_EQ(Pending.Calls, 0);
  EXPECT_EQ(Completed.Calls, 0);
}

// ---- a hub that goes drains its cancelled operations ----------------------------

// Nothing is left for a later alertable wait of the thread: the hub ran the
// routines while their records were still its own, and freed them (LSan).
TEST(HubFileIoDrain, HubDestroyedRightAfterACancelledReadLeavesNoRoutineBehind) {
  TPipe Pipe;
  char Buf[8];
  TDone Cancelled;
  {
    TSingleThreadHub Hub;
    ASSERT_TRUE(Hub.Read(Pipe.Read, Buf, sizeof Buf, &Note, &Cancelled));
    Hub.Cancel(Pipe.Read);
  }
  EXPECT_EQ(os::SleepEx(0, true), 0u) << "no routine was left for later";
  EXPECT_EQ(Cancelled.Calls, 0);
}

// One CancelIo ends both directions of a handle: neither the read nor the
// write is called back while the hub drains, nor its due timeout.
TEST(HubFileIoDrain, HubDestroyedWithAReadAWriteAndATimeoutPendingCallsNothingBack) {
  TPipe Pipe(true);
  char Buf[8];
  std::string Text = "sent";
  TDone Read, Written;
  int Fired = 0;
  {
    TSingleThreadHub Hub;
    ASSERT_TRUE(Hub.Read(Pipe.Read, Buf, sizeof Buf, &Note, &Read));
    ASSERT_TRUE(Hub.Write(Pipe.Read, Text.data(), static_cast<uint32_t>(Text.size()), &Note,
                          &Written));
    Hub.CreateTimeout([](THandle, void* Data) { ++*static_cast<int*>(Data); }, &Fired, 0);
  }
  EXPECT_EQ(os::SleepEx(0, true), 0u) << "no routine was left for later";
  EXPECT_EQ(Read.Calls, 0);
  EXPECT_EQ(Written.Calls, 0);
  EXPECT_EQ(Fired, 0);
}

// The drain runs whatever the thread has queued; a routine that raises does
// not stop the hub from going, and its exception comes out of the thread's
// next alertable wait.
TEST(HubFileIoDrain, ARoutineThatRaisesWhileAHubDrainsIsRaisedByTheNextWait) {
  TPipe Pending;
  char Buf[8];
  TDone Cancelled;
  int Raised = 0;
  {
    TSingleThreadHub Hub;
    ASSERT_TRUE(Hub.Read(Pending.Read, Buf, sizeof Buf, &Note, &Cancelled));
    ASSERT_TRUE(os::QueueApc(
        os::CurrentThreadId(),
        [](void* Data) {
          ++*static_cast<int*>(Data);
          throw EBoom("queued routine");
        },
        &Raised));
  }
  EXPECT_EQ(Raised, 1) << "it ran while the hub drained";
  EXPECT_THROW(os::SleepEx(0, true), EBoom);
  EXPECT_EQ(os::SleepEx(0, true), 0u) << "nothing else was left";
  EXPECT_EQ(Cancelled.Calls, 0);
}

// A hub destroyed on another thread cannot run the starter's routines: the
// record stays until its routine, on the starting thread, frees it (ASan).
TEST(HubFileIoDrain, HubDestroyedOnAnotherThreadLeavesTheRecordToItsRoutine) {
  TPipe Pipe;
  char Buf[8] = {};
  TDone R;
  auto* Hub = new TSingleThreadHub;
  ASSERT_TRUE(Hub->Read(Pipe.Read, Buf, sizeof Buf, &Note, &R));
  std::thread([Hub] { delete Hub; }).join();
  {
    TSingleThreadHub Next;
    HubWrite(Next, Pipe.Write, "late");
  }
  const TDateTime Deadline = Now() + TimeOut2Time(10000);
  while (std::string(Buf, 4) != "late" && Now() < Deadline) os::SleepEx(10, true);
  os::SleepEx(0, true);
  EXPECT_EQ(std::string(Buf, 4), "late") << "the read went on into the buffer it was given";
  EXPECT_EQ(R.Calls, 0);
}

// The launcher's way out: a read still pending on the main thread's default
// hub when the program exits. exit() destroys the thread's thread_locals
// before the hub unit destroys the hubs, and that hub still cancels and
// drains its read on this thread (ASan would report the thread's wait
// state used after it was freed, LSan the read's record).
TEST(HubFileIoDrainDeathTest, TheDefaultHubDrainsAPendingReadAtExit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        static TPipe pipe;
        static char buf[8];
        static TDone r;
        if (!GetCurrentHub()->Read(pipe.Read, buf, sizeof buf, &Note, &r)) std::_Exit(3);
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

// Datagrams over the loopback interface, through the socket functions the
// hub unit resolved.
using TSocketFn = TSocket(GREEN_WSAAPI*)(int, int, int);
using TBindFn = int(GREEN_WSAAPI*)(TSocket, const void*, int);
using TGetSockNameFn = int(GREEN_WSAAPI*)(TSocket, void*, int*);
using TCloseFn = int(GREEN_WSAAPI*)(TSocket);

struct TInet4 {
  uint16_t Family = 2;  // AF_INET
  uint16_t Port = 0;    // network order
  uint8_t Addr[4] = {127, 0, 0, 1};
  uint8_t Zero[8] = {};
};
static_assert(sizeof(TInet4) == 16);

struct TUdpSocket {
  TSocket S;
  TInet4 Name;
  TUdpSocket() {
    S = reinterpret_cast<TSocketFn>(sock::Api.socket)(2, 2, 17);
    TInet4 Any;
    EXPECT_EQ(reinterpret_cast<TBindFn>(sock::Api.bind)(S, &Any, sizeof Any), 0);
    int Len = sizeof Name;
    EXPECT_EQ(reinterpret_cast<TGetSockNameFn>(sock::Api.getsockname)(S, &Name, &Len), 0);
  }
  ~TUdpSocket() {
    // The C library closes sockets as every other descriptor.
    void* Close = sock::Api.closesocket ? sock::Api.closesocket
                                        : os::GetProcAddress(sock::LibHandle, "close");
    reinterpret_cast<TCloseFn>(Close)(S);
  }
};

TEST(HubFileIo, DatagramsGoToAndComeFromAnAddress) {
  TSingleThreadHub Hub;
  TUdpSocket Receiver, Sender;
  ASSERT_NE(Receiver.Name.Port, 0);
  char In[32] = {};
  TInet4 From;
  TAnyAddress FromAddr{&From, sizeof From};
  TDone R, W;
  ASSERT_TRUE(Hub.ReadFrom(Receiver.S, In, sizeof In, FromAddr, &Note, &R)) << os::GetLastError();
  char Out[] = "datagram";
  TAnyAddress To{&Receiver.Name, sizeof Receiver.Name};
  ASSERT_TRUE(Hub.WriteTo(Sender.S, Out, 8, To, &Note, &W)) << os::GetLastError();
  ServeUntil(Hub, [&] { return R.Calls > 0 && W.Calls > 0; });
  EXPECT_EQ(W.ErrorCode, 0);
  EXPECT_EQ(W.NumOfBytes, 8u);
  EXPECT_EQ(R.ErrorCode, 0);
  ASSERT_EQ(R.NumOfBytes, 8u);
  EXPECT_EQ(std::string(In, 8), "datagram");
  EXPECT_EQ(From.Port, Sender.Name.Port) << "the sender's address is written back";
  EXPECT_EQ(FromAddr.AddrLen, static_cast<int32_t>(sizeof From));

  TDone Cancelled;
  ASSERT_TRUE(Hub.ReadFrom(Receiver.S, In, sizeof In, FromAddr, &Note, &Cancelled));
  Hub.Cancel(Receiver.S);
  Hub.Serve(100);
  EXPECT_EQ(Cancelled.Calls, 0);
}

}  // namespace
}  // namespace green
