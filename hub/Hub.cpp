#include "hub/Hub.h"

#include <utility>

#include "gevent/Gevent.h"
#include "greenlets/GreenletsImpl.h"
#include "greenlets/LocalStorage.h"
#include "hub/Deadline.h"
#include "platform/Thread.h"

namespace green {


void THub::TTask::Init(const TTaskMethod& M) {
  *this = TTask{};
  Kind = tkMethod;
  Method = M;
}

void THub::TTask::Init(IInterface* I, const TTaskMethod& M) {
  *this = TTask{};
  Kind = tkIntfMethod;
  Intf = I;
  Method = M;
}

void THub::TTask::Init(TTaskProc P, void* A) {
  *this = TTask{};
  Kind = tkProc;
  Proc = P;
  Arg = A;
}

THub::THub()
    : FLS(std::make_unique<TLocalStorage>()), FGC(std::make_unique<TGarbageCollector>()) {
  TRawGreenletImpl::GetJoiner(this);
}

THub::~THub() {
  Retire();
  SetJoinerCache(nullptr);
  FLS.reset();
  FGC.reset();
}

void THub::Retire() {
  Clean();
  if (HubInfrasctuctureEnable)
    if (auto* Joiner = dynamic_cast<TJoiner*>(FLS->GetValue(HUB_JOINER))) Joiner->Clear();
  Clean();  // what the detached greenlets' announcements queued
}

TObject* THub::HLS(const std::string& Key) { return FLS->GetValue(Key); }

// The hub owns what it stores: replacing or clearing a key frees the old object.
void THub::HLS(const std::string& Key, TObject* Value) {
  if (FLS->IsExists(Key)) {
    TObject* Old = FLS->GetValue(Key);
    FLS->UnsetValue(Key);
    TLocalStorage::Dispose(Old);
  }
  if (Value) FLS->SetValue(Key, Value);
}

RefPtr<IGCPointer<TObject>> THub::GC(TObject* A) { return FGC->SetValue(A); }

void THub::GetAddresses(const TTaskMethod& Task, TObject*& Obj, void*& Code) {
  Obj = Task.Data;
  Code = reinterpret_cast<void*>(Task.Code);
}

// On the serving thread the task goes on the ready list: that thread is
// running, not waiting in the kernel, and serves the list on its next pass.
void THub::Append(TTask&& Task) {
  if (OnOwnThread()) {
    FReady.push_back(std::move(Task));
    return;
  }
  {
    std::lock_guard<std::mutex> Lock(FLock);
    FAccumQueue.push_back(std::move(Task));
    FAccumPending.store(true, std::memory_order_release);
  }
  Pulse();
}

void THub::EnqueueTask(const TTaskMethod& Task) {
#ifndef NDEBUG
  Assert(dynamic_cast<TRawGreenletImpl*>(Task.Data) == nullptr, "Hub", 644,
         "Enqueue Greenlet methods only by Proxy");
#endif
  TTask T;
  if (Task.Intf)
    T.Init(Task.Intf, Task);
  else
    T.Init(Task);
  Append(std::move(T));
}

void THub::EnqueueTask(TTaskProc Task, void* Arg) {
  TTask T;
  T.Init(Task, Arg);
  Append(std::move(T));
}

bool THub::ServeTaskQueue() {
  TCurrentHubScope Scope(this);
  THubPhaseScope Phase(Beat(), THubBeat::kServing);
  const bool Synced = os::CheckSynchronize(0);  // nothing off the main thread
  const bool Accumulated = FAccumPending.load(std::memory_order_acquire);
  bool Ran = false;
  if (Accumulated || !FReady.empty()) Ran = RunQueuedTasks(Accumulated);
  if (FResumeHead) {
    RunResumes();
    Ran = true;
  }
  return Synced || Ran;
}

bool THub::RunQueuedTasks(bool Accumulated) {
  // The batch is taken out of the hub, so a task that serves this hub again
  // (a wait on the root context) works on a batch of its own.
  // The ready list of this thread's own posts follows the tasks of other
  // threads; what either gets meanwhile waits for the next pass.
  std::vector<TTask> Batch, Ready;
  if (Accumulated) {
    Batch.swap(FQueue);
    std::lock_guard<std::mutex> Lock(FLock);
    Batch.swap(FAccumQueue);
    FAccumPending.store(false, std::memory_order_relaxed);
    AfterSwap();
  }
  Ready.swap(FReadySpare);
  Ready.swap(FReady);
  struct TRecycle {
    std::vector<TTask>& Tasks;
    std::vector<TTask>& Spare;
    // Tasks left over after one raised are discarded, their references released.
    ~TRecycle() {
      Tasks.clear();
      if (Spare.capacity() < Tasks.capacity()) Spare.swap(Tasks);
    }
  } RecycleBatch{Batch, FQueue}, RecycleReady{Ready, FReadySpare};
  RunTasks(Batch);
  RunTasks(Ready);
  return !Batch.empty() || !Ready.empty();
}

// A hub's whole resume list, taken off it with the list's reference to each
// descriptor; those not taken when it goes (a resume raised, or the hub
// discards them) are released.
class TResumeChain {
 public:
  TResumeChain(TWaitDescr*& Head, TWaitDescr*& Tail) : FHead(std::exchange(Head, nullptr)) {
    Tail = nullptr;
  }
  TResumeChain(const TResumeChain&) = delete;
  TResumeChain& operator=(const TResumeChain&) = delete;
  ~TResumeChain() {
    while (Take()) {
    }
  }
  // The next one, off the list, with the reference; empty at the end.
  RefPtr<TWaitDescr> Take() {
    TWaitDescr* D = FHead;
    if (!D) return nullptr;
    FHead = std::exchange(D->FResumeNext, nullptr);
    return RefPtr<TWaitDescr>::adopt(D);
  }

 private:
  TWaitDescr* FHead;
};

// A descriptor on the list is not taken up for another wait (it is not the
// greenlet's alone), so it is never queued twice.
bool THub::ResumeSoon(RefPtr<TWaitDescr>& D) {
  if (!OnOwnThread()) return false;
  TWaitDescr* Taken = D.detach();
  if (FResumeTail)
    FResumeTail->FResumeNext = Taken;
  else
    FResumeHead = Taken;
  FResumeTail = Taken;
  return true;
}

// A descriptor that only the list holds any more belongs to a greenlet that
// has gone, or has ended that wait by other means: nothing to resume.
// Otherwise the greenlet lives, and the reference goes first, so that the
// greenlet takes the descriptor up again for its next wait. One that
// another thread moved to a hub of its own meanwhile is resumed there.
// Inline, like the rest of the pass, so that the greenlet's switch back
// returns through few frames: each return after a switch mispredicts.
inline void THub::ResumeWaiter(RefPtr<TWaitDescr> D) {
  if (D->SoleReference()) return;
  TRawGreenletImpl* G = D->FContext;
  D.reset();
  if (G->GetHub() == this)
    G->ResumeDirect();
  else
    G->GetProxy()->Resume();
}

void THub::RunResumes() {
  TResumeChain Chain(FResumeHead, FResumeTail);
  while (RefPtr<TWaitDescr> D = Chain.Take()) ResumeWaiter(std::move(D));
}

void THub::RunTasks(std::vector<TTask>& Tasks) {
  for (TTask& Task : Tasks) {
    switch (Task.Kind) {
      case tkMethod:
        Task.Method();
        break;
      case tkIntfMethod:
        if (Task.Intf) {
          Task.Method();
          Task.Intf.reset();
        }
        break;
      case tkProc:
        Task.Proc(Task.Arg);
        break;
    }
  }
}

// Released outside the lock: a release may destroy an object that
// enqueues again, and what it enqueues is discarded in the next round.
void THub::Clean() {
  for (;;) {
    std::vector<TTask> Queue, Accum, Ready;  // accum goes first
    {
      std::lock_guard<std::mutex> Lock(FLock);
      if (FAccumQueue.empty() && FQueue.empty() && FReady.empty() && FReadySpare.empty() &&
          !FResumeHead)
        return;
      Accum.swap(FAccumQueue);
      FAccumPending.store(false, std::memory_order_relaxed);
      Queue.swap(FQueue);
      Ready.swap(FReady);
      FReadySpare.clear();
    }
    TResumeChain Resumes(FResumeHead, FResumeTail);
  }
}

void THub::LoopExit() {
  FLoopExit = true;
  Pulse();
}

template <class Cond>
void THub::LoopWhile(const Cond& Done, uint32_t Timeout) {
  FLoopExit = false;
  const TDeadline Deadline = TDeadline::After(Timeout);
  while (!Done() && !Deadline.Passed() && !FLoopExit) Serve(Deadline.RemainingTimeOut());
}

void THub::Loop(const TExitCondition& Cond, uint32_t Timeout) { LoopWhile(Cond, Timeout); }
void THub::Loop(TExitConditionStatic Cond, uint32_t Timeout) { LoopWhile(Cond, Timeout); }

void THub::Switch() {
  if (TRawGreenletImpl::GetCurrent() != nullptr) TRawGreenletImpl::Switch2RootContext(nullptr);
}

}  // namespace green
