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
  auto* d = static_cast<TDone*>(Data);
  ++d->Calls;
  d->Fd = Fd;
  d->Op = Op;
  d->ErrorCode = ErrorCode;
  d->NumOfBytes = NumOfBytes;
  d->Hub = GetCurrentHub();
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
  const TDateTime deadline = Now() + TimeOut2Time(TimeoutMs);
  while (!Done() && Now() < deadline) Hub.Serve(Time2TimeOut(deadline - Now()));
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
  TDone w;
  ASSERT_TRUE(Hub.Write(Fd, Text.data(), static_cast<uint32_t>(Text.size()), &Note, &w));
  ServeUntil(Hub, [&] { return w.Calls > 0; });
  ASSERT_EQ(w.ErrorCode, 0);
  ASSERT_EQ(w.NumOfBytes, Text.size());
}

size_t TrashSize(const TFiles* Files) { return Files->FTrash->size(); }

TEST(HubFileIo, ReadWithDataAvailableCompletesInTheNextServe) {
  TSingleThreadHub hub;
  TPipe pipe;
  HubWrite(hub, pipe.Write, "hello");
  char buf[64];
  TDone r;
  ASSERT_TRUE(hub.Read(pipe.Read, buf, sizeof buf, &Note, &r));
  EXPECT_EQ(r.Calls, 0) << "callbacks run only inside the hub's wait";
  EXPECT_EQ(hub.Wait(1000, TSingleThreadHub::Events({TSingleThreadHub::meIO})),
            TSingleThreadHub::meIO);
  EXPECT_EQ(r.Calls, 1);
  EXPECT_EQ(r.Fd, pipe.Read);
  EXPECT_EQ(r.Op, ioRead);
  EXPECT_EQ(r.ErrorCode, 0);
  EXPECT_EQ(r.NumOfBytes, 5u);
  EXPECT_EQ(r.Hub, &hub);
  EXPECT_EQ(std::string(buf, 5), "hello");
  EXPECT_FALSE(hub.Serve(20)) << "one completion, one callback";
  EXPECT_EQ(r.Calls, 1);
}

TEST(HubFileIo, EachHandleAndDirectionKeepsOneRecordAcrossOperations) {
  TSingleThreadHub hub;
  TPipe pipe;
  char buf[8];
  for (int i = 0; i < 3; ++i) {
    HubWrite(hub, pipe.Write, "x");
    TDone r;
    ASSERT_TRUE(hub.Read(pipe.Read, buf, sizeof buf, &Note, &r));
    ServeUntil(hub, [&] { return r.Calls > 0; });
    EXPECT_EQ(r.NumOfBytes, 1u);
  }
  const TFileTuple* record = hub.ReadFiles()->Record(pipe.Read);
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(record->Active);
  EXPECT_EQ(record->Overlap.Event, record);
  EXPECT_EQ(hub.ReadFiles()->FMap->size(), 1u);
  EXPECT_EQ(hub.WriteFiles()->FMap->size(), 1u);
  EXPECT_EQ(TrashSize(hub.ReadFiles()), 0u);
}

TEST(HubFileIo, RefusedReadIsTrashedWithoutCallbackAndTheNextReadMakesANewRecord) {
  TSingleThreadHub hub;
  TPipe pipe;
  char buf[8];
  TDone r;
  EXPECT_FALSE(hub.Read(pipe.Write, buf, sizeof buf, &Note, &r)) << "the write end";
  EXPECT_EQ(os::GetLastError(), os::kErrorAccessDenied) << "the system's error is kept";
  EXPECT_FALSE(hub.ReadFiles()->Find(pipe.Write));
  ASSERT_EQ(TrashSize(hub.ReadFiles()), 1u);
  const TFileTuple* trashed = (*hub.ReadFiles()->FTrash)[0].get();
  EXPECT_FALSE(trashed->Active);
  EXPECT_GT(trashed->CleanTime, Now() + 29.0 / (24 * 60));
  EXPECT_FALSE(hub.Serve(20));
  EXPECT_EQ(r.Calls, 0);

  EXPECT_FALSE(hub.Read(pipe.Write, buf, sizeof buf, &Note, &r));
  EXPECT_EQ(TrashSize(hub.ReadFiles()), 2u) << "a new record, given up as well";
  EXPECT_NE((*hub.ReadFiles()->FTrash)[1].get(), trashed);
}

TEST(HubFileIo, CancelledReadNeverCallsBackAndANewReadWorks) {
  TSingleThreadHub hub;
  TPipe pipe;
  char buf[8];
  TDone cancelled;
  ASSERT_TRUE(hub.Read(pipe.Read, buf, sizeof buf, &Note, &cancelled));
  const TFileTuple* old = hub.ReadFiles()->Record(pipe.Read);
  hub.Cancel(pipe.Read);
  EXPECT_FALSE(hub.ReadFiles()->Find(pipe.Read));
  EXPECT_TRUE(hub.Serve(1000)) << "the aborted routine ran";
  EXPECT_EQ(cancelled.Calls, 0);

  TDone again;
  ASSERT_TRUE(hub.Read(pipe.Read, buf, sizeof buf, &Note, &again));
  EXPECT_NE(hub.ReadFiles()->Record(pipe.Read), old) << "a new record";
  HubWrite(hub, pipe.Write, "new");
  ServeUntil(hub, [&] { return again.Calls > 0; });
  EXPECT_EQ(again.ErrorCode, 0);
  EXPECT_EQ(std::string(buf, again.NumOfBytes), "new");
  EXPECT_EQ(cancelled.Calls, 0);
  hub.Cancel(pipe.Write);  // a handle without records: nothing happens
}

TEST(HubFileIo, ReadAndWritePendingOnOneHandleCompleteIndependently) {
  TSingleThreadHub hub;
  TPipe pipe(true);
  std::vector<char> big(1 << 20, 'q');
  char buf[8];
  TDone r, w;
  ASSERT_TRUE(hub.Read(pipe.Read, buf, sizeof buf, &Note, &r));
  ASSERT_TRUE(hub.Write(pipe.Read, big.data(), static_cast<uint32_t>(big.size()), &Note, &w));
  EXPECT_FALSE(hub.Serve(20));
  size_t drained = 0;
  std::thread peer([&] {
    TSingleThreadHub own;
    HubWrite(own, pipe.Write, "ping");
    std::vector<char> sink(1 << 16);
    while (drained < big.size()) {
      TDone d;
      if (!own.Read(pipe.Write, sink.data(), static_cast<uint32_t>(sink.size()), &Note, &d)) break;
      ServeUntil(own, [&] { return d.Calls > 0; });
      if (d.ErrorCode != 0) break;
      drained += d.NumOfBytes;
    }
  });
  ServeUntil(hub, [&] { return r.Calls > 0 && w.Calls > 0; });
  peer.join();
  EXPECT_EQ(r.Calls, 1);
  EXPECT_EQ(r.Op, ioRead);
  EXPECT_EQ(std::string(buf, r.NumOfBytes), "ping");
  EXPECT_EQ(w.Calls, 1);
  EXPECT_EQ(w.Op, ioWrite);
  EXPECT_EQ(w.ErrorCode, 0);
  EXPECT_EQ(w.NumOfBytes, big.size());
  EXPECT_EQ(drained, big.size());
}

TEST(HubFileIo, ASecondOperationWhileOneIsInFlightIsRefused) {
  TSingleThreadHub hub;
  TPipe pipe;
  char first[8], second[8];
  TDone a, b;
  ASSERT_TRUE(hub.Read(pipe.Read, first, sizeof first, &Note, &a));
  EXPECT_FALSE(hub.Read(pipe.Read, second, sizeof second, &Note, &b));
  EXPECT_EQ(os::GetLastError(), os::kErrorBusy);
  EXPECT_TRUE(hub.ReadFiles()->Find(pipe.Read)) << "the first keeps its record";
  HubWrite(hub, pipe.Write, "one");
  ServeUntil(hub, [&] { return a.Calls > 0; });
  EXPECT_EQ(std::string(first, a.NumOfBytes), "one");
  EXPECT_EQ(b.Calls, 0);
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
    std::error_code ignored;
    std::filesystem::remove(Path, ignored);
  }
};

std::string HubReadAt(TSingleThreadHub& Hub, THandle Fd, uint32_t Len, int64_t Offset) {
  std::string buf(Len, '\0');
  TDone r;
  EXPECT_TRUE(Hub.Read(Fd, buf.data(), Len, &Note, &r, Offset));
  ServeUntil(Hub, [&] { return r.Calls > 0; });
  buf.resize(r.NumOfBytes);
  return buf;
}

TEST(HubFileIo, OffsetMinusOneReadsAtZeroOnANewRecordThenReusesTheLastOffset) {
  TSingleThreadHub hub;
  TTempFile file;
  HubWrite(hub, file.H, "0123456789");
  EXPECT_EQ(HubReadAt(hub, file.H, 3, -1), "012");
  EXPECT_EQ(HubReadAt(hub, file.H, 3, 6), "678");
  EXPECT_EQ(HubReadAt(hub, file.H, 3, -1), "678") << "the record keeps the explicit offset";
  EXPECT_EQ(HubReadAt(hub, file.H, 3, 2), "234");
}

TEST(HubFileIo, TrashedRecordWithALateCompletionStaysAnotherHalfHour) {
  TSingleThreadHub hub;
  TPipe pipe, other;
  char buf[8];
  TDone r;
  ASSERT_TRUE(hub.Read(pipe.Read, buf, sizeof buf, &Note, &r));
  hub.Cancel(pipe.Read);
  ASSERT_EQ(TrashSize(hub.ReadFiles()), 1u);
  TFileTuple* record = (*hub.ReadFiles()->FTrash)[0].get();
  EXPECT_EQ(record->InFlight, 1u);
  record->CleanTime = Now() - 1;  // as if its half hour had passed

  // Any enqueue sweeps the trash; a record still in flight is kept.
  TDone o;
  ASSERT_TRUE(hub.Read(other.Read, buf, sizeof buf, &Note, &o));
  ASSERT_EQ(TrashSize(hub.ReadFiles()), 1u);

  ServeUntil(hub, [&] { return record->InFlight == 0; });
  EXPECT_EQ(r.Calls, 0);
  EXPECT_GT(record->CleanTime, Now() + 29.0 / (24 * 60)) << "the late completion restarts it";
  hub.Cancel(other.Read);  // dequeue sweeps too
  EXPECT_EQ(TrashSize(hub.ReadFiles()), 2u);

  record->CleanTime = Now() - 1;
  TDone again;
  ASSERT_TRUE(hub.Read(pipe.Read, buf, sizeof buf, &Note, &again));
  ASSERT_EQ(TrashSize(hub.ReadFiles()), 1u) << "now its time is up";
  EXPECT_NE((*hub.ReadFiles()->FTrash)[0].get(), record);
  hub.Cancel(pipe.Read);
  ServeUntil(hub, [&] {
    for (auto& rec : *hub.ReadFiles()->FTrash)
      if (rec->InFlight) return false;
    return true;
  });
}

TEST(HubFileIo, CallbackThatRaisesLeavesServeWithTheHubRestoredAndTheRecordLive) {
  TSingleThreadHub hub;
  TPipe pipe;
  HubWrite(hub, pipe.Write, "ab");
  char buf[1];
  TDone r;
  ASSERT_TRUE(hub.Read(pipe.Read, buf, sizeof buf, &NoteThenThrow, &r));
  EXPECT_THROW(ServeUntil(hub, [&] { return r.Calls > 0; }), EBoom);
  EXPECT_EQ(r.Calls, 1);
  EXPECT_EQ(r.Hub, &hub);
  EXPECT_NE(GetCurrentHub(), &hub) << "the current hub is restored";
  const TFileTuple* record = hub.ReadFiles()->Record(pipe.Read);
  ASSERT_NE(record, nullptr);
  EXPECT_TRUE(record->Active);
  TDone next;
  ASSERT_TRUE(hub.Read(pipe.Read, buf, sizeof buf, &Note, &next));
  ServeUntil(hub, [&] { return next.Calls > 0; });
  EXPECT_EQ(hub.ReadFiles()->Record(pipe.Read), record);
  EXPECT_EQ(next.NumOfBytes, 1u);
  EXPECT_EQ(buf[0], 'b');
}

// The routines of operations still in flight find what they need alive
// (ASan checks); nothing is called back.
TEST(HubFileIo, HubDestroyedWithOperationsInFlight) {
  TPipe pipe, ready;
  char buf[8], readyBuf[8];
  TDone pending, completed;
  {
    TSingleThreadHub hub;
    HubWrite(hub, ready.Write, "done");
    ASSERT_TRUE(hub.Read(pipe.Read, buf, sizeof buf, &Note, &pending));
    ASSERT_TRUE(hub.Read(ready.Read, readyBuf, sizeof readyBuf, &Note, &completed));
  }
  TSingleThreadHub next;
  HubWrite(next, pipe.Write, "late");
  EXPECT_FALSE(next.Serve(50));
  EXPECT_EQ(os::SleepEx(0, true), 0u) << "both routines have run";
  EXPECT_EQ(pending.Calls, 0);
  EXPECT_EQ(completed.Calls, 0);
}

// ---- a hub that goes drains its cancelled operations ----------------------------

// Nothing is left for a later alertable wait of the thread: the hub ran the
// routines while their records were still its own, and freed them (LSan).
TEST(HubFileIoDrain, HubDestroyedRightAfterACancelledReadLeavesNoRoutineBehind) {
  TPipe pipe;
  char buf[8];
  TDone cancelled;
  {
    TSingleThreadHub hub;
    ASSERT_TRUE(hub.Read(pipe.Read, buf, sizeof buf, &Note, &cancelled));
    hub.Cancel(pipe.Read);
  }
  EXPECT_EQ(os::SleepEx(0, true), 0u) << "no routine was left for later";
  EXPECT_EQ(cancelled.Calls, 0);
}

// One CancelIo ends both directions of a handle: neither the read nor the
// write is called back while the hub drains, nor its due timeout.
TEST(HubFileIoDrain, HubDestroyedWithAReadAWriteAndATimeoutPendingCallsNothingBack) {
  TPipe pipe(true);
  char buf[8];
  std::string text = "sent";
  TDone read, written;
  int fired = 0;
  {
    TSingleThreadHub hub;
    ASSERT_TRUE(hub.Read(pipe.Read, buf, sizeof buf, &Note, &read));
    ASSERT_TRUE(hub.Write(pipe.Read, text.data(), static_cast<uint32_t>(text.size()), &Note,
                          &written));
    hub.CreateTimeout([](THandle, void* Data) { ++*static_cast<int*>(Data); }, &fired, 0);
  }
  EXPECT_EQ(os::SleepEx(0, true), 0u) << "no routine was left for later";
  EXPECT_EQ(read.Calls, 0);
  EXPECT_EQ(written.Calls, 0);
  EXPECT_EQ(fired, 0);
}

// The drain runs whatever the thread has queued; a routine that raises does
// not stop the hub from going, and its exception comes out of the thread's
// next alertable wait.
TEST(HubFileIoDrain, ARoutineThatRaisesWhileAHubDrainsIsRaisedByTheNextWait) {
  TPipe pending;
  char buf[8];
  TDone cancelled;
  int raised = 0;
  {
    TSingleThreadHub hub;
    ASSERT_TRUE(hub.Read(pending.Read, buf, sizeof buf, &Note, &cancelled));
    ASSERT_TRUE(os::QueueApc(
        os::CurrentThreadId(),
        [](void* Data) {
          ++*static_cast<int*>(Data);
          throw EBoom("queued routine");
        },
        &raised));
  }
  EXPECT_EQ(raised, 1) << "it ran while the hub drained";
  EXPECT_THROW(os::SleepEx(0, true), EBoom);
  EXPECT_EQ(os::SleepEx(0, true), 0u) << "nothing else was left";
  EXPECT_EQ(cancelled.Calls, 0);
}

// A hub destroyed on another thread cannot run the starter's routines: the
// record stays until its routine, on the starting thread, frees it (ASan).
TEST(HubFileIoDrain, HubDestroyedOnAnotherThreadLeavesTheRecordToItsRoutine) {
  TPipe pipe;
  char buf[8] = {};
  TDone r;
  auto* hub = new TSingleThreadHub;
  ASSERT_TRUE(hub->Read(pipe.Read, buf, sizeof buf, &Note, &r));
  std::thread([hub] { delete hub; }).join();
  {
    TSingleThreadHub next;
    HubWrite(next, pipe.Write, "late");
  }
  const TDateTime deadline = Now() + TimeOut2Time(10000);
  while (std::string(buf, 4) != "late" && Now() < deadline) os::SleepEx(10, true);
  os::SleepEx(0, true);
  EXPECT_EQ(std::string(buf, 4), "late") << "the read went on into the buffer it was given";
  EXPECT_EQ(r.Calls, 0);
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
    TInet4 any;
    EXPECT_EQ(reinterpret_cast<TBindFn>(sock::Api.bind)(S, &any, sizeof any), 0);
    int len = sizeof Name;
    EXPECT_EQ(reinterpret_cast<TGetSockNameFn>(sock::Api.getsockname)(S, &Name, &len), 0);
  }
  ~TUdpSocket() {
    // The C library closes sockets as every other descriptor.
    void* close = sock::Api.closesocket ? sock::Api.closesocket
                                        : os::GetProcAddress(sock::LibHandle, "close");
    reinterpret_cast<TCloseFn>(close)(S);
  }
};

TEST(HubFileIo, DatagramsGoToAndComeFromAnAddress) {
  TSingleThreadHub hub;
  TUdpSocket receiver, sender;
  ASSERT_NE(receiver.Name.Port, 0);
  char in[32] = {};
  TInet4 from;
  TAnyAddress fromAddr{&from, sizeof from};
  TDone r, w;
  ASSERT_TRUE(hub.ReadFrom(receiver.S, in, sizeof in, fromAddr, &Note, &r)) << os::GetLastError();
  char out[] = "datagram";
  TAnyAddress to{&receiver.Name, sizeof receiver.Name};
  ASSERT_TRUE(hub.WriteTo(sender.S, out, 8, to, &Note, &w)) << os::GetLastError();
  ServeUntil(hub, [&] { return r.Calls > 0 && w.Calls > 0; });
  EXPECT_EQ(w.ErrorCode, 0);
  EXPECT_EQ(w.NumOfBytes, 8u);
  EXPECT_EQ(r.ErrorCode, 0);
  ASSERT_EQ(r.NumOfBytes, 8u);
  EXPECT_EQ(std::string(in, 8), "datagram");
  EXPECT_EQ(from.Port, sender.Name.Port) << "the sender's address is written back";
  EXPECT_EQ(fromAddr.AddrLen, static_cast<int32_t>(sizeof from));

  TDone cancelled;
  ASSERT_TRUE(hub.ReadFrom(receiver.S, in, sizeof in, fromAddr, &Note, &cancelled));
  hub.Cancel(receiver.S);
  hub.Serve(100);
  EXPECT_EQ(cancelled.Calls, 0);
}

}  // namespace
}  // namespace green
