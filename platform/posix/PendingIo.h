// Overlapped operations on posix: each thread keeps the operations it
// started. Its waits poll their descriptors and move them on as the
// descriptors allow (reads take what is there, writes continue until all is
// written); its alertable waits then run the routines of the finished ones.
#pragma once

#include <poll.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Error.h"
#include "platform/Io.h"
#include "platform/posix/KernelObject.h"

namespace green::os {

enum class IoKind : uint8_t { Read, Write, RecvFrom, SendTo };

struct PendingIo {
  IoKind Kind = IoKind::Read;
  bool InFlight = false;    // false once finished
  bool Positioned = false;  // a regular file: at the offset, ends at its end
  bool IsSocket = false;
  Handle H = kNoHandle;  // as the starter named it: CancelIo matches it
  ObjectRef Object;      // keeps the descriptor open; empty for a bare socket
  int Fd = -1;
  uint8_t* Buf = nullptr;
  uint32_t Len = 0;
  uint32_t Done = 0;  // bytes transferred so far
  uint32_t Error = kErrorSuccess;
  void* Addr = nullptr;  // datagrams: the peer's address and its length
  int32_t* AddrLen = nullptr;
  int32_t SendAddrLen = 0;
  Overlapped* Ov = nullptr;
  IoCompletionProc Routine = nullptr;
};

// One thread's operations. Only that thread starts, moves on and finishes
// them, except that closing a handle on any thread ends the operations on
// it; Lock guards the lists for that, and is held only for list changes and
// nonblocking system calls.
struct IoQueue {
  std::mutex Lock;
  std::vector<PendingIo*> InFlight;  // in start order
  std::vector<PendingIo*> Finished;  // in finish order; routines not run yet
  std::vector<PendingIo*> Spare;     // records to reuse

  IoQueue() = default;
  IoQueue(const IoQueue&) = delete;
  IoQueue& operator=(const IoQueue&) = delete;
  ~IoQueue();
};

// Under Q.Lock: an operation taken out of InFlight joins Finished.
inline void Finish(IoQueue& Q, PendingIo* Op) {
  Op->InFlight = false;
  if (Op->Object) Op->Object->IoInFlight.fetch_sub(1);
  Q.Finished.push_back(Op);
}

// Under Q.Lock.
inline void RemoveInFlight(IoQueue& Q, PendingIo* Op) {
  auto It = std::find(Q.InFlight.begin(), Q.InFlight.end(), Op);
  if (It != Q.InFlight.end()) Q.InFlight.erase(It);
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

// For the waits of the owning thread: appends a pollfd and the operation for
// each operation in flight.
void AddIoPolls(IoQueue& Q, std::vector<pollfd>& Fds, std::vector<PendingIo*>& Ops);
// Moves on the operations whose descriptors polled ready.
void MoveIoOn(IoQueue& Q, const pollfd* Fds, PendingIo* const* Ops, size_t Count);
bool HasFinishedIo(IoQueue& Q);
// Runs the routines of the finished operations; true when any ran.
bool RunFinishedIo(IoQueue& Q);
// At thread exit: operations end without their routines, as on Windows.
void DropIo(IoQueue& Q);
// CloseHandle of an object with operations in flight, on any thread.
void AbortIoOf(const KernelObject& Object);

}  // namespace green::os
