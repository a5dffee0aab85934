// Overlapped reads and writes: each operation is tried at once and, when
// the descriptor has nothing (or no room) yet, kept in the starting thread's
// queue, where that thread's waits move it on. Its routine always runs
// later, inside an alertable wait, as a completion routine does on Windows.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>

#include "platform/Callback.h"
#include "platform/Error.h"
#include "platform/Io.h"
#include "platform/posix/Errno.h"
#include "platform/posix/PendingIo.h"
#include "platform/posix/ThreadWaitState.h"

namespace green::os {

namespace {

enum class Step { Pending, Finished, Refused };

bool Refuse(uint32_t Code) {
  SetLastError(Code);
  return false;
}

// A write to a pipe whose reader is gone raises SIGPIPE, which ends the
// process by default; the write's error says the same without that.
// A handler someone installed is left alone (sockets are written with
// MSG_NOSIGNAL whatever the disposition).
void IgnoreSigPipeOnce() {
  static std::once_flag Once;
  std::call_once(Once, [] {
    struct sigaction Current {};
    if (sigaction(SIGPIPE, nullptr, &Current) == 0 && Current.sa_handler == SIG_DFL)
      signal(SIGPIPE, SIG_IGN);
  });
}

// What the operation works on: how it reads, where it ends, and that it
// never blocks the thread.
bool Classify(PendingIo& Op) {
  struct stat Info;
  if (fstat(Op.Fd, &Info) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  Op.Positioned = S_ISREG(Info.st_mode);
  Op.IsSocket = S_ISSOCK(Info.st_mode);
  if (Op.Positioned || Op.IsSocket) return true;  // sockets take MSG_DONTWAIT
  int Flags = fcntl(Op.Fd, F_GETFL);
  if (Flags < 0 || (!(Flags & O_NONBLOCK) && fcntl(Op.Fd, F_SETFL, Flags | O_NONBLOCK) != 0)) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

// What Classify found, kept on the object: two system calls less for every
// later transfer.
enum IoClass : uint8_t { icUnknown, icStream, icPositioned, icSocket };

bool ClassifyObject(PendingIo& Op) {
  switch (Op.Object->IoClass.load(std::memory_order_relaxed)) {
    case icStream:
      return true;
    case icPositioned:
      Op.Positioned = true;
      return true;
    case icSocket:
      Op.IsSocket = true;
      return true;
    default:
      break;
  }
  if (!Classify(Op)) return false;
  Op.Object->IoClass.store(Op.Positioned ? icPositioned : Op.IsSocket ? icSocket : icStream,
                           std::memory_order_relaxed);
  return true;
}

// A handle of this layer, or for datagrams a bare socket descriptor (handles
// always have a non-zero generation in their high word, descriptors never).
bool Resolve(PendingIo& Op, bool BareSocket) {
  if (BareSocket && Op.H <= static_cast<Handle>(INT_MAX)) {
    Op.Fd = static_cast<int>(Op.H);
    return Classify(Op);
  }
  Op.Object = ObjectOf(Op.H);
  if (!Op.Object) return false;
  Op.Fd = Op.Object->IoFd();
  if (Op.Fd < 0) return Refuse(kErrorInvalidHandle);
  return ClassifyObject(Op);
}

int64_t PositionOf(const PendingIo& Op) {
  return static_cast<int64_t>((uint64_t{Op.Ov->OffsetHigh} << 32) | Op.Ov->Offset) + Op.Done;
}

// A descriptor that is valid but opened the other way answers EBADF, which
// Windows reports as access denied; a peer that reset a stream is a broken pipe.
uint32_t TransferError(int Errno) {
  if (Errno == EBADF) return kErrorAccessDenied;
  if (Errno == ECONNRESET) return kErrorBrokenPipe;
  return ErrorFromErrno(Errno);
}

Step Fail(PendingIo& Op, uint32_t Code, bool AtStart) {
  Op.Error = Code;
  return AtStart && Op.Done == 0 ? Step::Refused : Step::Finished;
}

ssize_t ReadOnce(PendingIo& Op) {
  if (Op.Kind == IoKind::RecvFrom) {
    if (!Op.Addr || !Op.AddrLen || *Op.AddrLen <= 0)
      return recvfrom(Op.Fd, Op.Buf, Op.Len, MSG_DONTWAIT, nullptr, nullptr);
    auto Length = static_cast<socklen_t>(*Op.AddrLen);
    ssize_t N = recvfrom(Op.Fd, Op.Buf, Op.Len, MSG_DONTWAIT, static_cast<sockaddr*>(Op.Addr),
                         &Length);
    if (N >= 0) *Op.AddrLen = static_cast<int32_t>(Length);
    return N;
  }
  if (Op.Positioned) return pread(Op.Fd, Op.Buf, Op.Len, PositionOf(Op));
  if (Op.IsSocket) return recv(Op.Fd, Op.Buf, Op.Len, MSG_DONTWAIT);
  return read(Op.Fd, Op.Buf, Op.Len);
}

ssize_t WriteOnce(PendingIo& Op) {
  const uint8_t* From = Op.Buf + Op.Done;
  const size_t Rest = Op.Len - Op.Done;
  if (Op.Kind == IoKind::SendTo)
    return sendto(Op.Fd, From, Rest, MSG_DONTWAIT | MSG_NOSIGNAL,
                  static_cast<const sockaddr*>(Op.Addr), static_cast<socklen_t>(Op.SendAddrLen));
  if (Op.Positioned) return pwrite(Op.Fd, From, Rest, PositionOf(Op));
  if (Op.IsSocket) return send(Op.Fd, From, Rest, MSG_DONTWAIT | MSG_NOSIGNAL);
  return write(Op.Fd, From, Rest);
}

// A zero-length read on a stream waits for data, as on Windows.
Step AdvanceEmptyRead(PendingIo& Op, short Revents) {
  if (Revents & POLLIN) return Step::Finished;
  if (Revents & (POLLHUP | POLLERR)) return Fail(Op, kErrorBrokenPipe, false);
  return Step::Pending;
}

Step AdvanceRead(PendingIo& Op, bool AtStart) {
  for (;;) {
    ssize_t N = ReadOnce(Op);
    if (N > 0 || (N == 0 && Op.Kind == IoKind::RecvFrom)) {
      Op.Done = static_cast<uint32_t>(N);
      return Step::Finished;
    }
    // The end of a file is the read's answer; a stream without a writer is
    // a broken pipe, refused when it is found at the start.
    if (N == 0) return Op.Positioned ? Fail(Op, kErrorHandleEof, false)
                                     : Fail(Op, kErrorBrokenPipe, AtStart);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::Pending;
    return Fail(Op, TransferError(errno), AtStart);
  }
}

// A reader that is gone refuses a new write and breaks a pending one.
Step WriteFailed(PendingIo& Op, bool AtStart) {
  if (errno == EPIPE || errno == ECONNRESET)
    return Fail(Op, AtStart && Op.Done == 0 ? kErrorNoData : kErrorBrokenPipe, AtStart);
  return Fail(Op, TransferError(errno), AtStart);
}

// A datagram goes whole or not at all, an empty one included.
Step AdvanceSend(PendingIo& Op, bool AtStart) {
  for (;;) {
    ssize_t N = WriteOnce(Op);
    if (N >= 0) {
      Op.Done = static_cast<uint32_t>(N);
      return Step::Finished;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::Pending;
    return WriteFailed(Op, AtStart);
  }
}

Step AdvanceWrite(PendingIo& Op, bool AtStart) {
  if (Op.Kind == IoKind::SendTo) return AdvanceSend(Op, AtStart);
  while (Op.Done < Op.Len) {
    ssize_t N = WriteOnce(Op);
    if (N > 0) {
      Op.Done += static_cast<uint32_t>(N);
    } else if (N < 0 && errno == EINTR) {
      continue;
    } else if (N == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
      return Step::Pending;
    } else {
      return WriteFailed(Op, AtStart);
    }
  }
  return Step::Finished;
}

bool IsRead(IoKind Kind) { return Kind == IoKind::Read || Kind == IoKind::RecvFrom; }

Step Advance(PendingIo& Op, bool AtStart, short Revents) {
  if (IsRead(Op.Kind)) {
    if (Op.Len == 0) return AtStart ? Step::Pending : AdvanceEmptyRead(Op, Revents);
    return AdvanceRead(Op, AtStart);
  }
  return AdvanceWrite(Op, AtStart);
}

// Under Q.Lock. The operation leaves the list it is in (it is in flight).
void Finish(IoQueue& Q, PendingIo* Op) {
  Op->InFlight = false;
  if (Op->Object) Op->Object->IoInFlight.fetch_sub(1);
  Q.Finished.push_back(Op);
}

void RemoveInFlight(IoQueue& Q, PendingIo* Op) {
  auto It = std::find(Q.InFlight.begin(), Q.InFlight.end(), Op);
  if (It != Q.InFlight.end()) Q.InFlight.erase(It);
}

// Under Q.Lock: a record for a new operation, reused when one is spare.
PendingIo* TakeRecord(IoQueue& Q) {
  if (Q.Spare.empty()) return new PendingIo;
  PendingIo* Op = Q.Spare.back();
  Q.Spare.pop_back();
  *Op = PendingIo{};
  return Op;
}

// Under Q.Lock: the operation is in flight and counted on its object, unless
// its handle was closed meanwhile by another thread.
bool Enlist(IoQueue& Q, PendingIo* Op) {
  Q.InFlight.push_back(Op);
  Op->InFlight = true;
  if (!Op->Object) return true;
  Op->Object->IoInFlight.fetch_add(1);
  if (!Op->Object->HandleClosed.load()) return true;
  Op->Object->IoInFlight.fetch_sub(1);
  Op->InFlight = false;
  Q.InFlight.pop_back();
  return Refuse(kErrorInvalidHandle);
}

void Recycle(IoQueue& Q, PendingIo* Op) {
  Op->Object.reset();
  Q.Spare.push_back(Op);
}

struct Request {
  IoKind Kind;
  Handle H;
  const void* Buf;
  uint32_t Len;
  void* Addr;
  int32_t* AddrLen;
  int32_t SendAddrLen;
  Overlapped* Ov;
  IoCompletionProc Routine;
};

bool Start(const Request& R) {
  if (!R.Ov || !R.Routine || (!R.Buf && R.Len)) return Refuse(kErrorInvalidParameter);
  if (!IsRead(R.Kind)) IgnoreSigPipeOnce();
  IoQueue& Q = ThisThreadWaitState().Io;
  std::lock_guard<std::mutex> Guard(Q.Lock);
  PendingIo* Op = TakeRecord(Q);
  Op->Kind = R.Kind;
  Op->H = R.H;
  Op->Buf = static_cast<uint8_t*>(const_cast<void*>(R.Buf));
  Op->Len = R.Len;
  Op->Addr = R.Addr;
  Op->AddrLen = R.AddrLen;
  Op->SendAddrLen = R.SendAddrLen;
  Op->Ov = R.Ov;
  Op->Routine = R.Routine;
  const bool Datagram = R.Kind == IoKind::RecvFrom || R.Kind == IoKind::SendTo;
  if (!Resolve(*Op, Datagram) || !Enlist(Q, Op)) {
    Recycle(Q, Op);
    return false;
  }
  switch (Advance(*Op, true, 0)) {
    case Step::Pending:
      return true;
    case Step::Finished:
      RemoveInFlight(Q, Op);
      Finish(Q, Op);
      return true;
    case Step::Refused:
      break;
  }
  RemoveInFlight(Q, Op);
  if (Op->Object) Op->Object->IoInFlight.fetch_sub(1);
  const uint32_t Code = Op->Error;
  Recycle(Q, Op);
  return Refuse(Code);
}

// Under Q.Lock: finishes the operations in flight that Match, keeping the
// order of the others; true when any did.
template <class F>
bool FinishWhere(IoQueue& Q, F&& Match) {
  bool Any = false;
  auto Keep = std::stable_partition(Q.InFlight.begin(), Q.InFlight.end(),
                                    [&](PendingIo* Op) { return !Match(Op); });
  for (auto It = Keep; It != Q.InFlight.end(); ++It) {
    Finish(Q, *It);
    Any = true;
  }
  Q.InFlight.erase(Keep, Q.InFlight.end());
  return Any;
}

}  // namespace

bool ReadFileEx(Handle H, void* Buf, uint32_t Len, Overlapped* Ov, IoCompletionProc Routine) {
  return Start({IoKind::Read, H, Buf, Len, nullptr, nullptr, 0, Ov, Routine});
}

bool WriteFileEx(Handle H, const void* Buf, uint32_t Len, Overlapped* Ov,
                 IoCompletionProc Routine) {
  return Start({IoKind::Write, H, Buf, Len, nullptr, nullptr, 0, Ov, Routine});
}

bool RecvFromEx(Handle Socket, void* Buf, uint32_t Len, void* Addr, int32_t* AddrLen,
                Overlapped* Ov, IoCompletionProc Routine) {
  return Start({IoKind::RecvFrom, Socket, Buf, Len, Addr, AddrLen, 0, Ov, Routine});
}

bool SendToEx(Handle Socket, const void* Buf, uint32_t Len, const void* Addr, int32_t AddrLen,
              Overlapped* Ov, IoCompletionProc Routine) {
  if (!Addr || AddrLen <= 0) return Refuse(kErrorInvalidParameter);
  return Start({IoKind::SendTo, Socket, Buf, Len, const_cast<void*>(Addr), nullptr, AddrLen, Ov,
                Routine});
}

bool CancelIo(Handle H) {
  IoQueue& Q = ThisThreadWaitState().Io;
  bool Any;
  {
    std::lock_guard<std::mutex> Guard(Q.Lock);
    Any = FinishWhere(Q, [H](PendingIo* Op) {
      if (Op->H != H) return false;
      Op->Error = kErrorOperationAborted;
      return true;
    });
  }
  return Any || ObjectOf(H) != nullptr;
}

// ---- the waits' side ------------------------------------------------------

IoQueue::~IoQueue() {
  for (auto* List : {&InFlight, &Finished, &Spare})
    for (PendingIo* Op : *List) delete Op;
}

void AddIoPolls(IoQueue& Q, std::vector<pollfd>& Fds, std::vector<PendingIo*>& Ops) {
  std::lock_guard<std::mutex> Guard(Q.Lock);
  for (PendingIo* Op : Q.InFlight) {
    Fds.push_back({Op->Fd, static_cast<short>(IsRead(Op->Kind) ? POLLIN : POLLOUT), 0});
    Ops.push_back(Op);
  }
}

void MoveIoOn(IoQueue& Q, const pollfd* Fds, PendingIo* const* Ops, size_t Count) {
  std::lock_guard<std::mutex> Guard(Q.Lock);
  for (size_t I = 0; I < Count; ++I) {
    PendingIo* Op = Ops[I];
    // Closing the handle may have ended it since the poll began.
    if (!Fds[I].revents || !Op->InFlight) continue;
    Step S;
    if (Fds[I].revents & POLLNVAL) {
      Op->Error = kErrorInvalidHandle;  // a bare socket closed under it
      S = Step::Finished;
    } else {
      S = Advance(*Op, false, Fds[I].revents);
    }
    if (S == Step::Pending) continue;
    RemoveInFlight(Q, Op);
    Finish(Q, Op);
  }
}

bool HasFinishedIo(IoQueue& Q) {
  std::lock_guard<std::mutex> Guard(Q.Lock);
  return !Q.Finished.empty();
}

bool RunFinishedIo(IoQueue& Q) {
  std::vector<PendingIo*> Batch;
  {
    std::lock_guard<std::mutex> Guard(Q.Lock);
    if (Q.Finished.empty()) return false;
    Batch.swap(Q.Finished);
  }
  // In finish order; after one fails, the others are held back with what
  // they report, so their records can be reused at once.
  for (PendingIo* Op : Batch) {
    Op->Object.reset();
    Overlapped* Ov = Op->Ov;
    Ov->Internal = Op->Error;
    Ov->InternalHigh = Op->Done;
    RunSystemCallback([Routine = Op->Routine, Error = Op->Error, Bytes = Op->Done, Ov] {
      Routine(Error, Bytes, Ov);
    });
  }
  std::lock_guard<std::mutex> Guard(Q.Lock);
  Q.Spare.insert(Q.Spare.end(), Batch.begin(), Batch.end());
  if (Q.Finished.empty()) {
    Batch.clear();
    Q.Finished.swap(Batch);  // keeps the capacity for the next batch
  }
  return true;
}

void DropIo(IoQueue& Q) {
  std::vector<PendingIo*> All;
  {
    std::lock_guard<std::mutex> Guard(Q.Lock);
    for (PendingIo* Op : Q.InFlight)
      if (Op->Object) Op->Object->IoInFlight.fetch_sub(1);
    for (auto* List : {&Q.InFlight, &Q.Finished, &Q.Spare}) {
      All.insert(All.end(), List->begin(), List->end());
      List->clear();
    }
  }
  for (PendingIo* Op : All) delete Op;
}

// The descriptor closes as soon as no operation holds it any more, so the
// other end sees the close now rather than at the owner's next wait.
void AbortIoOf(const KernelObject& Object) {
  for (const std::shared_ptr<ThreadWaitState>& State : AllThreadWaitStates()) {
    std::vector<ObjectRef> Released;
    {
      std::lock_guard<std::mutex> Guard(State->Io.Lock);
      const bool Any = FinishWhere(State->Io, [&](PendingIo* Op) {
        if (Op->Object.get() != &Object) return false;
        Op->Error = kErrorBrokenPipe;
        return true;
      });
      if (!Any) continue;
      for (PendingIo* Op : State->Io.Finished)
        if (Op->Object.get() == &Object) Released.push_back(std::move(Op->Object));
    }
    uint64_t One = 1;
    (void)!write(State->WakeFd, &One, sizeof One);
  }
}

}  // namespace green::os
