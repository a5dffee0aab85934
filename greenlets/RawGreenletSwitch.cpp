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
  if (TCustomHub* hub = Hub.load(std::memory_order_relaxed)) hub->Beat().Enter(Running);
}

}  // namespace

void TRawGreenletImpl::Switch() {
  const tGreenletState state = GetState();
  if (state != gsReady && state != gsExecute && !FInjectException) return;
  TGreenletThread& t = TGreenletThread::Get();
  if (t.Current == this) throw ESelfSwitch("Self switch denied");
  EnsureFiber();
  TRawGreenletImpl* saved = t.Current;
  if (!saved) {
    t.EnsureRootFiber();
    t.CallerCount = 0;
  }
  // Switching back to a context that already waits below keeps the stack flat.
  if (t.CallerCount > 0 && t.Callers[t.CallerCount - 1] == this) --t.CallerCount;
  const bool watched = HubWatchOn.load(std::memory_order_relaxed);
  if (watched) [[unlikely]]
    NoteSwitch(FHub, this);
  if (t.PushCaller(saved)) {
    t.Current = this;
    os::SwitchToFiber(FContext);
  } else {
    // Nesting too deep: the switch becomes a hub task and the chain is dropped.
    t.CallerCount = 0;
    Proxy()->DelayedSwitch();
    t.Current = nullptr;
    os::SwitchToFiber(t.RootFiber);
  }
  t.Current = saved;
  if (watched) [[unlikely]]
    NoteSwitch(FHub, saved);
  t.AfterSwitch();
  if (!saved && t.RootProc) {
    TTaskMethod proc = t.RootProc;
    t.RootProc = {};
    proc();
  }
}

void TRawGreenletImpl::Yield() {
  TGreenletThread& t = TGreenletThread::Get();
  if (t.Current != this) return;
  TRawGreenletImpl* target = nullptr;
  while (t.CallerCount > 0) {
    TRawGreenletImpl* g = t.Callers[--t.CallerCount];
    if (!g) break;
    const tGreenletState s = g->GetState();
    if (s == gsExecute || s == gsKilling) {
      target = g;
      break;
    }
  }
  os::SwitchToFiber(target ? target->FContext : t.EnsureRootFiber());
  t.AfterSwitch();
  ContextSetup();
}

void TRawGreenletImpl::RunInjected() {
  if (FInjectException) {
    std::unique_ptr<Exception> e = std::move(FInjectException);
    e->Raise();
  }
  while (FInjectRoutine) {
    FInjectRoutine->Invoke();
    FInjectRoutine.reset();
    Yield();
  }
}

void TRawGreenletImpl::Switch2RootContext(const TTaskMethod* Proc) {
  TGreenletThread& t = TGreenletThread::Get();
  t.CallerCount = 0;
  t.RootProc = Proc ? *Proc : TTaskMethod{};
  os::Fiber root = t.EnsureRootFiber();
  // The root context resumes inside a Switch, which restores its own state.
  os::SwitchToFiber(root);
  t.AfterSwitch();
}

void TRawGreenletImpl::EnterProcFiber(void* Self) { static_cast<TRawGreenletImpl*>(Self)->EnterProc(); }

void TRawGreenletImpl::EnterProc() {
  TGreenletThread::Get().AfterSwitch();
  SetState(gsExecute);
  tGreenletState final = gsExecute;
  std::vector<RefPtr<IGCPointer<TObject>>> adopted;
  try {
    for (TObject* obj : FObjArguments)
      if (TGarbageCollector::ExistsInGlobal(obj)) adopted.push_back(GC().SetValue(obj));
    ContextSetup();
    Execute();
    final = gsTerminated;
    FKillTriggers.RaiseAll();
  } catch (const Exception& e) {
    if (typeid(e) == typeid(AExit)) {
      final = gsKilled;
    } else {
      FException = e.Clone();
      final = gsException;
    }
  } catch (const std::exception& e) {
    FException = std::make_unique<Exception>(e.what());
    final = gsException;
  } catch (...) {
    FException = std::make_unique<Exception>("Unknown exception");
    final = gsException;
  }
  // An exception never leaves the fiber: past this point the greenlet only
  // parks, and goes back to the root if something is injected into it.
  try {
    adopted.clear();
    if (FGC) FGC->Clear();
    SetState(final);
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
  tGreenletState state = GetState();
  if (GetCurrent() == this && (state == gsExecute || state == gsSuspended || state == gsKilling))
    throw AExit("trerminated");
  TCustomHub* hub = GetHub();
  if (FForcingKill.load()) {
    Inject(new AExit("termination"));
    return;
  }
  // Killed from another thread, the greenlet may end meanwhile on its own:
  // the mark replaces only the state it was checked against, so that an
  // end state is never overwritten (a join would then wait for ever).
  do {
    if (state != gsExecute && state != gsSuspended && state != gsKilling) return;
  } while (!FState.compare_exchange_weak(state, gsKilling, std::memory_order_acq_rel));
  if (hub && hub != GetCurrentHub())
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
  const tGreenletState state = GetState();
  if (state == gsReady || state == gsExecute) SetState(gsSuspended);
}

void TRawGreenletImpl::Resume() {
  if (GetState() != gsSuspended) return;
  SetState(gsExecute);
  if (GetCurrent() != this) Switch();
}

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
  auto ev = MakeRef<TGevent>(false, false);
  {
    std::lock_guard<TReentrantLock> lock(FLock);
    FSleepEv = ev;
  }
  struct TDrop {
    TRawGreenletImpl* G;
    ~TDrop() { G->TakeSleepEvent(); }
  } drop{this};
  const TDeadline deadline = TDeadline::After(TimeOut);
  TWaitScope note(this, wkSleep, nullptr, deadline);
  ev->WaitUntil(deadline);
}

// Released outside the lock: freeing a gevent wakes its waiters.
void TRawGreenletImpl::TakeSleepEvent() {
  RefPtr<TGevent> ev;
  std::lock_guard<TReentrantLock> lock(FLock);
  ev = std::move(FSleepEv);
}

void TRawGreenletImpl::Join(bool RaiseErrors) {
  green::Join({RefPtr<IRawGreenlet>(this)}, INFINITE, RaiseErrors);
}

}  // namespace green
