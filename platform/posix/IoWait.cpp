// The waits' side of overlapped operations: a wait polls the descriptors
// of its thread's operations in flight, moves them on, and its alertable
// form runs the routines of those that finished.
#include <unistd.h>

#include "platform/Callback.h"
#include "platform/posix/IoStep.h"
#include "platform/posix/PendingIo.h"
#include "platform/posix/ThreadWaitState.h"

namespace green::os {

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
