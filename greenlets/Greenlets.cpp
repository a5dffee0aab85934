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
    TRawGreenletImpl* self = TRawGreenletImpl::GetCurrent();
    FWaitList.reserve(Workers.size());
    for (size_t i = 0; i < Workers.size(); ++i) {
      IRawGreenlet* w = Workers[i].get();
      if (!w || w->GetInstance() == self) continue;
      FWaitList.push_back({w, false});
      // A worker that has finished stays finished: nothing to hear from it.
      const tGreenletState s = w->GetState();
      const bool done = s == gsTerminated || s == gsKilled;
      if (done) {
        FWaitList.back().Finished = true;
        ++FTermCount;
        continue;
      }
      // Made for the first worker that is still running: a join of finished
      // workers needs no event.
      if (!FStateEv) FStateEv = MakeRef<TGevent>(false, false);
      FStateEv->Associate(w->GetOnStateChanged(), static_cast<int32_t>(i));
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
    const TDeadline stop = TDeadline::After(FTimeout);
    TWaitScope note(wkJoin, FWaitList.empty() ? nullptr : AsGreenlet(FWaitList[0].W), stop);
    if (FTimeout == 0) ProcessActiveList(stop);
    while (!Complete() && !stop.Passed()) {
      ProcessActiveList(stop);
      if (!Complete()) FStateEv->WaitUntil(stop);
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
    IRawGreenlet* w = FWaitList[I].W;
    TCustomHub* hub = HubOf(w);
    if (!hub) return !Finish(I);
    if (hub == CurHub) {
      tGreenletState s = w->GetState();
      if (s == gsReady || s == gsExecute) w->Switch();
      if (HubOf(w) != CurHub) return true;
      s = w->GetState();
      if (s == gsReady || s == gsExecute) return true;
      if (s == gsException) return !Failed(I);
      if (s == gsSuspended) return false;
      return !Finish(I);
    }
    const tGreenletState s = w->GetState();
    if (s == gsTerminated || s == gsKilled) return !Finish(I);
    if (s == gsException) return !Failed(I);
    return false;  // it progresses on its own thread; the join event says when
  }

  // Same-hub workers are switched into on every pass; between passes the
  // hub runs (root context) or the joining greenlet yields. The count is
  // signed: workers that progress elsewhere are counted off on every pass,
  // so it drops below zero once they alone are left.
  void ProcessActiveList(const TDeadline& Deadline) {
    TCustomHub* curHub = GetCurrentHub();
    ptrdiff_t active = static_cast<ptrdiff_t>(FWaitList.size() - FTermCount);
    while (active > 0) {
      for (size_t i = 0; i < FWaitList.size(); ++i)
        if (!FWaitList[i].Finished && !Visit(i, curHub)) --active;
      if (active <= 0 || Deadline.Passed()) break;
      if (TRawGreenletImpl* self = TRawGreenletImpl::GetCurrent())
        self->Yield();
      else
        curHub->Serve(0);
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
  TJoin join(Workers, Timeout, RaiseErrors);
  return join.Run();
}

// ---- sleeping and yielding ---------------------------------------------------------------

void GreenSleep(uint32_t aTimeOut) {
  if (TRawGreenletImpl* current = TRawGreenletImpl::GetCurrent()) {
    current->Sleep(aTimeOut);
    return;
  }
  auto ev = MakeRef<TGevent>(false, false);
  if (aTimeOut != 0) {
    ev->WaitFor(aTimeOut);
    return;
  }
  TCustomHub* hub = GetCurrentHub();
  THandle timeout = hub->CreateTimeout(
      [](THandle, void* Ev) { static_cast<TGevent*>(Ev)->SetEvent(); }, ev.get(), 0);
  if (timeout == os::kNoHandle) {
    hub->Serve(0);  // the timer was refused: one turn that does not wait
    return;
  }
  struct TDestroy {
    TCustomHub* hub;
    THandle id;
    ~TDestroy() { hub->DestroyTimeout(id); }
  } destroy{hub, timeout};
  ev->WaitFor(INFINITE);
}

void Yield() {
  if (TRawGreenletImpl* current = TRawGreenletImpl::GetCurrent())
    current->Yield();
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
  TSymmetric s{RefPtr<IRawGreenlet>(new TSymmetricImpl(Routine, FHub))};
  s.Run();
  return s;
}

TSymmetric TSymmetricFactory::Spawn(TSymmetricRoutineStatic Routine) {
  TSymmetric s{RefPtr<IRawGreenlet>(new TSymmetricImpl(Routine, FHub))};
  s.Run();
  return s;
}

// ---- TGreenThread ---------------------------------------------------------------------------

TGreenThread::TGreenThread() : FOnTerminate(MakeRef<TGevent>(true, false)) {
  FThread = std::thread([this] { Execute(); });
  std::unique_lock<std::mutex> lock(FStartLock);
  FStarted.wait(lock, [this] { return FThreadId != 0; });
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
    std::lock_guard<std::mutex> lock(FStartLock);
    FThreadId = os::CurrentThreadId();
  }
  FStarted.notify_all();
  FHub = DefHub(0);
  TJoiner* joiner = TRawGreenletImpl::GetJoiner(FHub);
  // Whatever ends the loop (the abort, or any exception a task raised), the
  // greenlets are killed and then the end is announced: nothing may leave
  // the thread's body, which would end the process.
  try {
    FHub->Loop(BindCondition<&TGreenThread::ExitCond>(this), INFINITE);
  } catch (...) {
  }
  try {
    joiner->KillAll();
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
