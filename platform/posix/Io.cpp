// Starting and cancelling overlapped reads and writes: each operation is
// tried at once and, when the descriptor has nothing (or no room) yet, kept
// in the starting thread's queue, where that thread's waits move it on
// (IoWait.cpp). Its routine always runs later, inside an alertable wait, as
// a completion routine does on Windows.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <mutex>

#include "platform/Error.h"
#include "platform/Io.h"
#include "platform/posix/Errno.h"
#include "platform/posix/IoStep.h"
#include "platform/posix/PendingIo.h"
#include "platform/posix/ThreadWaitState.h"

namespace green::os {

namespace {

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

}  // namespace green::os
