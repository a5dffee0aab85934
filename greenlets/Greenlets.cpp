#include "greenlets/Greenlets.h"

#include <cstddef>

#include "platform/Thread.h"

namespace green {

TRawGreenletImpl* GetCurrent() { return TRawGreenletImpl::GetCurrent(); }

// ---- Join ---------------------------------------------------------------------

namespace {

// One Join call: the workers it waits for and those found finished.
class TJoin {
 public:
  TJoin(const std::vector<RefPtr<IRawGreenlet>>& Workers, uint32_t Timeout, bool RaiseErrors)
      : FTimeout(Timeout), FRaiseErrors(RaiseErrors) {
    TRawGreenletImpl* Self = TRawGreenletImpl::GetCurrent();
    FWaitList.reserve(Workers.size());
    for (size_t I = 0; I < Workers.size(); ++I) {
      IRawGreenlet* W = Workers[I].get();
      if (!W || W->GetInstance() == Self) continue;
      FWaitList.push_back({W, false});
      // A worker that has finished stays finished: nothing to hear from it.
      const tGreenletState S = W->GetState();
      const bool Done = S == gsTerminated || S == gsKilled;
      if (Done) {
        FWaitList.back().Finished = true;
        ++FTermCount;
        continue;
      }
      // Made for the first worker that is still running: a join of finished
      // workers needs no event. A change signalled before is seen by the
      // first pass, which runs once every worker is associated.
      if (!FStateEv) FStateEv = MakeRef<TGevent>(false, false);
      FStateEv->Associate(W->GetOnStateChanged(), static_cast<int32_t>(I), false);
    }
  }

  bool Complete() const { return FTermCount == FWaitList.size(); }
  static const void* AsGreenlet(IRawGreenlet* W) {
    return static_cast<TRawGreenletImpl*>(W->GetInstance());
  }
  // The worker's hub read from the worker itself: the join holds it, so its
  // proxy would only add a reference and a lock.
  static TCustomHub* HubOf(IRawGreenlet* W) {
    return static_cast<TRawGreenletImpl*>(W->GetInstance())->GetHub();
  }

  // Passes and waits on the join event until every worker is done or the
  // deadline has passed; a zero timeout makes one pass.
  bool Run() {
    const TDeadline Stop = TDeadline::After(FTimeout);
    TWaitScope Note(wkJoin, FWaitList.empty() ? nullptr : AsGreenlet(FWaitList[0].W), Stop);
    if (FTimeout == 0) ProcessActiveList(Stop);
    while (!Complete() && !Stop.Passed()) {
      ProcessActiveList(Stop);
      if (!Complete()) FStateEv->WaitUntil(Stop);
    }
    return Complete();
  }

 private:
  // True when the entry was not counted as finished yet.
  bool Finish(size_t I) {
    if (FWaitList[I].Finished) return false;
    FWaitList[I].Finished = true;
    ++FTermCount;
    return true;
  }

  // A failed worker re-raises a fresh copy of its exception, or counts as finished.
  bool Failed(size_t I) {
    if (FRaiseErrors) FWaitList[I].W->ReraiseException();
    return Finish(I);
  }

  // Whether the entry still needs driving in this call.
  bool Visit(size_t I, TCustomHub* CurHub) {
    IRawGreenlet* W = FWaitList[I].W;
    TCustomHub* Hub = HubOf(W);
    if (!Hub) return !Finish(I);
    if (Hub == CurHub) {
      tGreenletState S = W->GetState();
      if (S == gsReady || S == gsExecute) W->Switch();
      if (HubOf(W) != CurHub) return true;
      S = W->GetState();
      if (S == gsReady || S == gsExecute) return true;
      if (S == gsException) return !Failed(I);
      if (S == gsSuspended) return false;
      return !Finish(I);
    }
    const tGreenletState S = W->GetState();
    if (S == gsTerminated || S == gsKilled) return !Finish(I);
    if (S == gsException) return !Failed(I);
    return false;  // it progresses on its own thread; the join event says when
  }

  // Same-hub workers are switched into on every pass; between passes the
  // hub runs (root context) or the joining greenlet yields. The count is
  // signed: workers that progress elsewhere are counted off on every pass,
  // so it drops below zero once they alone are left.
  void ProcessActiveList(const TDeadline& Deadline) {
    TCustomHub* CurHub = GetCurrentHub();
    ptrdiff_t Active = static_cast<ptrdiff_t>(FWaitList.size() - FTermCount);
    while (Active > 0) {
      for (size_t I = 0; I < FWaitList.size(); ++I)
        if (!FWaitList[I].Finished && !Visit(I, CurHub)) --Active;
      if (Active <= 0 || Deadline.Passed()) break;
      if (TRawGreenletImpl* Self = TRawGreenletImpl::GetCurrent())
        Self->Yield();
      else
        CurHub->Serve(0);
    }
  }

  uint32_t FTimeout;
  bool FRaiseErrors;
  RefPtr<TGevent> FStateEv;
  struct TEntry {
    IRawGreenlet* W;
    bool Finished;
  };
  std::vector<TEntry> FWaitList;
  size_t FTermCount = 0;
};

}  // namespace

bool Join(const std::vector<RefPtr<IRawGreenlet>>& Workers, uint32_t Timeout, bool RaiseErrors) {
  if (Workers.empty()) return true;
  TJoin Join(Workers, Timeout, RaiseErrors);
  return Join.Run();
}

// ---- sleeping and yielding ---------------------------------------------------------------

void GreenSleep(uint32_t aTimeOut) {
  if (TRawGreenletImpl* Current = TRawGreenletImpl::GetCurrent()) {
    Current->Sleep(aTimeOut);
    return;
  }
  auto Ev = MakeRef<TGevent>(false, false);
  if (aTimeOut != 0) {
    Ev->WaitFor(aTimeOut);
    return;
  }
  TCustomHub* Hub = GetCurrentHub();
  THandle Timeout = Hub->CreateTimeout(
      [](THandle, void* P) { static_cast<TGevent*>(P)->SetEvent(); }, Ev.get(), 0);
  if (Timeout == os::kNoHandle) {
    Hub->Serve(0);  // the timer was refused: one turn that does not wait
    return;
  }
  struct TDestroy {
    TCustomHub* hub;
    THandle id;
    ~TDestroy() { hub->DestroyTimeout(id); }
  } Destroy{Hub, Timeout};
  Ev->WaitFor(INFINITE);
}

void Yield() {
  if (TRawGreenletImpl* Current = TRawGreenletImpl::GetCurrent())
    Current->Yield();
  else
    GetCurrentHub()->Serve(INFINITE);
}

// ---- TSymmetric, TSymmetricFactory ------------------------------------------------------

TSymmetric TSymmetric::Create(const TSymmetricRoutine& Routine) {
  return TSymmetric{RefPtr<IRawGreenlet>(new TSymmetricImpl(Routine))};
}

TSymmetric TSymmetric::Create(TSymmetricRoutineStatic Routine) {
  return TSymmetric{RefPtr<IRawGreenlet>(new TSymmetricImpl(Routine))};
}

void TSymmetric::Run() {
  if (Impl->GetState() == gsReady) Impl->GetProxy()->Pulse();
}

TSymmetric TSymmetricFactory::Spawn(const TSymmetricRoutine& Routine) {
  TSymmetric S{RefPtr<IRawGreenlet>(new TSymmetricImpl(Routine, FHub))};
  S.Run();
  return S;
}

TSymmetric TSymmetricFactory::Spawn(TSymmetricRoutineStatic Routine) {
  TSymmetric S{RefPtr<IRawGreenlet>(new TSymmetricImpl(Routine, FHub))};
  S.Run();
  return S;
}

// ---- TGreenThread ---------------------------------------------------------------------------

TGreenThread::TGreenThread() : FOnTerminate(MakeRef<TGevent>(true, false)) {
  FThread = std::thread([this] { Execute(); });
  std::unique_lock<std::mutex> Lock(FStartLock);
  FStarted.wait(Lock, [this] { return FThreadId != 0; });
  FSymmetrics = std::make_unique<TSymmetricFactory>(DefHub(FThreadId));
}

TGreenThread::~TGreenThread() {
  Kill(true);
  FThread.join();
  FOnTerminate.reset();
  delete FHub;
}

void TGreenThread::Execute() {
  {
    std::lock_guard<std::mutex> Lock(FStartLock);
    FThreadId = os::CurrentThreadId();
  }
  FStarted.notify_all();
  FHub = DefHub(0);
  TJoiner* Joiner = TRawGreenletImpl::GetJoiner(FHub);
  // Whatever ends the loop (the abort, or any exception a task raised), the
  // greenlets are killed and then the end is announced: nothing may leave
  // the thread's body, which would end the process.
  try {
    FHub->Loop(BindCondition<&TGreenThread::ExitCond>(this), INFINITE);
  } catch (...) {
  }
  try {
    Joiner->KillAll();
  } catch (...) {
  }
  FOnTerminate->SetEvent();
}

bool TGreenThread::ExitCond() { return FTerminated.load(); }

void TGreenThread::DoAbort() {
  FTerminated = true;
  throw EAbort("Operation aborted");
}

void TGreenThread::Kill(bool GreenBlock) {
  if (FOnTerminate->WaitFor(0) == wrSignaled) return;
  DefHub(FThreadId)->EnqueueTask(BindMethod<&TGreenThread::DoAbort>(this));
  if (GreenBlock) FOnTerminate->WaitFor(INFINITE);
}

}  // namespace green
