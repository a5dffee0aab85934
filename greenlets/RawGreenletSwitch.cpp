// Entering and leaving greenlets: switch, yield, the fiber body, kill and
// injection, suspension, sleeping.
#include <typeinfo>

#include "gevent/Gevent.h"
#include "greenlets/GreenletThread.h"
#include "greenlets/Greenlets.h"
#include "greenlets/GreenletsImpl.h"
#include "hub/Hub.h"

namespace green {

namespace {

// A watchdog's note of a switch on the greenlet's hub (hub/HubBeat.h).
inline void NoteSwitch(std::atomic<TCustomHub*>& Hub, const void* Running) {
  if (TCustomHub* Current = Hub.load(std::memory_order_relaxed)) Current->Beat().Enter(Running);
}

}  // namespace

void TRawGreenletImpl::Switch() {
  const tGreenletState State = GetState();
  if (State != gsReady && State != gsExecute && !FInjectException) return;
  TGreenletThread& T = TGreenletThread::Get();
  if (T.Current == this) throw ESelfSwitch("Self switch denied");
  EnsureFiber();
  TRawGreenletImpl* Saved = T.Current;
  if (!Saved) T.EnsureRootFiber();
  const bool Watched = HubWatchOn.load(std::memory_order_relaxed);
  if (Watched) [[unlikely]]
    NoteSwitch(FHub, this);
  if (T.EnterFrom(this, Saved)) {
    T.Current = this;
    os::SwitchToFiber(FContext);
  } else {
    // Nesting too deep: the switch becomes a hub task and the chain is dropped.
    T.CallerCount = 0;
    Proxy()->DelayedSwitch();
    T.Current = nullptr;
    os::SwitchToFiber(T.RootFiber);
  }
  if (Watched) [[unlikely]]
    NoteSwitch(FHub, Saved);
  BackIn(T, Saved);
}

void TRawGreenletImpl::RunRootProc() {
  TGreenletThread& T = TGreenletThread::Get();
  TTaskMethod Proc = T.RootProc;
  T.RootProc = {};
  Proc();
}

void TRawGreenletImpl::Yield() {
  TGreenletThread& T = TGreenletThread::Get();
  if (T.Current != this) return;
  TRawGreenletImpl* Target = nullptr;
  while (T.CallerCount > 0) {
    TRawGreenletImpl* G = T.Callers[--T.CallerCount];
    if (!G) break;
    const tGreenletState S = G->GetState();
    if (S == gsExecute || S == gsKilling) {
      Target = G;
      break;
    }
  }
  os::SwitchToFiber(Target ? Target->FContext : T.EnsureRootFiber());
  T.AfterSwitch();
  ContextSetup();
}

void TRawGreenletImpl::RunInjected() {
  if (FInjectException) {
    std::unique_ptr<Exception> E = std::move(FInjectException);
    E->Raise();
  }
  while (FInjectRoutine) {
    FInjectRoutine->Invoke();
    FInjectRoutine.reset();
    Yield();
  }
}

void TRawGreenletImpl::Switch2RootContext(const TTaskMethod* Proc) {
  TGreenletThread& T = TGreenletThread::Get();
  T.CallerCount = 0;
  T.RootProc = Proc ? *Proc : TTaskMethod{};
  os::Fiber Root = T.EnsureRootFiber();
  // The root context resumes inside a Switch, which restores its own state.
  os::SwitchToFiber(Root);
  T.AfterSwitch();
}

void TRawGreenletImpl::EnterProcFiber(void* Self) { static_cast<TRawGreenletImpl*>(Self)->EnterProc(); }

void TRawGreenletImpl::EnterProc() {
  TGreenletThread::Get().AfterSwitch();
  SetState(gsExecute);
  tGreenletState Final = gsExecute;
  std::vector<RefPtr<IGCPointer<TObject>>> Adopted;
  try {
    for (TObject* Obj : FObjArguments)
      if (TGarbageCollector::ExistsInGlobal(Obj)) Adopted.push_back(GC().SetValue(Obj));
    ContextSetup();
    Execute();
    Final = gsTerminated;
    FKillTriggers.RaiseAll();
  } catch (const Exception& E) {
    if (typeid(E) == typeid(AExit)) {
      Final = gsKilled;
    } else {
      FException = E.Clone();
      Final = gsException;
    }
  } catch (const std::exception& E) {
    FException = std::make_unique<Exception>(E.what());
    Final = gsException;
  } catch (...) {
    FException = std::make_unique<Exception>("Unknown exception");
    Final = gsException;
  }
  // An exception never leaves the fiber: past this point the greenlet only
  // parks, and goes back to the root if something is injected into it.
  try {
    Adopted.clear();
    if (FGC) FGC->Clear();
    SetState(Final);
    SignalTerminate();
    Yield();
  } catch (...) {
  }
  for (;;) {
    try {
      Switch2RootContext(nullptr);
      ContextSetup();
    } catch (...) {
    }
  }
}

// ---- kill, injection, suspension ---------------------------------------------

void TRawGreenletImpl::Kill() {
  tGreenletState State = GetState();
  if (GetCurrent() == this && (State == gsExecute || State == gsSuspended || State == gsKilling))
    throw AExit("trerminated");
  TCustomHub* Hub = GetHub();
  if (FForcingKill.load()) {
    Inject(new AExit("termination"));
    return;
  }
  // Killed from another thread, the greenlet may end meanwhile on its own:
  // the mark stands beside the state, so an end state always shows (a join
  // would otherwise wait for ever), and the queued kill then finds it ended.
  if (State != gsExecute && State != gsSuspended && State != gsKilling) return;
  FKillMarked.store(true, std::memory_order_release);
  if (Hub && Hub != GetCurrentHub())
    Proxy()->Kill();
  else
    Inject(new AExit("termination"));
}

void TRawGreenletImpl::Inject(Exception* E) {
  FInjectException.reset(E);
  Switch();
}

void TRawGreenletImpl::Inject(const TSymmetricRoutine& Routine) {
  FInjectRoutine = Routine;
  Switch();
  FInjectRoutine.reset();
}

void TRawGreenletImpl::Suspend() {
  const tGreenletState State = GetState();
  if (State == gsReady || State == gsExecute) SetState(gsSuspended);
}

void TRawGreenletImpl::Resume() { ResumeDirect(); }

void TRawGreenletImpl::ReraiseException() {
  if (FException) FException->Clone()->Raise();
}

void TRawGreenletImpl::Sleep(uint32_t TimeOut) {
  Assert(GetCurrent() == this, "Impl\\GreenletsImpl", 1884);
  Assert(GetHub() != nullptr, "Impl\\GreenletsImpl", 1885);
  TakeSleepEvent();  // a left-over one
  if (TimeOut == 0) {
    Proxy()->DelayedSwitch();
    Yield();
    return;
  }
  // The field is what a hub change (on any thread) signals to end the
  // sleep; the wait holds its own reference.
  auto Ev = MakeRef<TGevent>(false, false);
  {
    std::lock_guard<TReentrantLock> Lock(FLock);
    FSleepEv = Ev;
  }
  struct TDrop {
    TRawGreenletImpl* G;
    ~TDrop() { G->TakeSleepEvent(); }
  } Drop{this};
  const TDeadline Deadline = TDeadline::After(TimeOut);
  TWaitScope Note(this, wkSleep, nullptr, Deadline);
  Ev->WaitUntil(Deadline);
}

// Released outside the lock: freeing a gevent wakes its waiters.
void TRawGreenletImpl::TakeSleepEvent() {
  RefPtr<TGevent> Ev;
  std::lock_guard<TReentrantLock> Lock(FLock);
  Ev = std::move(FSleepEv);
}

void TRawGreenletImpl::Join(bool RaiseErrors) {
  green::Join({RefPtr<IRawGreenlet>(this)}, INFINITE, RaiseErrors);
}

}  // namespace green
