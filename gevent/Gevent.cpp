#include "gevent/Gevent.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>

#include "greenlets/GreenletsImpl.h"
#include "hub/Hub.h"

namespace green {

// ---- TWaitDescr -------------------------------------------------------------------

TWaitDescr::TWaitDescr(TCustomHub* Hub, TWaitResult Result) : FHub(Hub), FResult(Result) {}

void TWaitDescr::Renew(TCustomHub* Hub) {
  FHub = Hub;
  FTimeStop = {};
  FResult.store(wrError, std::memory_order_relaxed);
  FTimeUp.store(false, std::memory_order_relaxed);
  FEvDestroyed.store(false, std::memory_order_relaxed);
  FHandedOff = false;
}

TWaitDescr::TWaitDescr(IAssociateRef* Associate, int32_t Tag) : FAssociate(Associate), FTag(Tag) {}

// ---- construction ---------------------------------------------------------------

TGevent::TGevent(bool ManualReset, bool InitialState)
    : FAssociateRef(MakeRef<TAssociateRef>(this)), FSignal(InitialState), FManualReset(ManualReset) {}

TGevent::TGevent(THandle Handle) : TGevent(false, false) { FHandle = Handle; }

// Clearing the reference's owner stops new uses through it and waits for
// those in progress (a waiter cleaning up, a handle callback); then every
// waiter is woken with wrAbandoned and its wait marked, so that none of
// them touches this object again.
TGevent::~TGevent() {
  FAssociateRef->SetOwner(nullptr);
  Emit(wrAbandoned, true, false);
  FAssociateRef.reset();
}

size_t TGevent::WaiterCount() {
  std::lock_guard<TReentrantLock> lock(FLock);
  return FWaiters.size();
}

// ---- signalling -------------------------------------------------------------------

void TGevent::SetEvent(bool Sync) { Emit(wrSignaled, false, Sync); }

void TGevent::ResetEvent() {
  if (!FManualReset) return;
  std::lock_guard<TReentrantLock> lock(FLock);
  FSignal.store(false, std::memory_order_release);
  FAssociateRef->ClearIndexes();
}

// A few descriptors in place, more on the heap: an emission usually wakes
// one or two waiters and then allocates nothing. The slots are raw
// storage: a list costs nothing to make and to drop unless it is used.
class TGevent::TDescrList {
 public:
  TDescrList() = default;
  TDescrList(const TDescrList&) = delete;
  TDescrList& operator=(const TDescrList&) = delete;
  ~TDescrList() {
    for (size_t i = 0; i < std::min(FCount, kInPlace); ++i) Slot(i).~RefPtr();
  }
  void Add(RefPtr<TWaitDescr> D) {
    if (FCount < kInPlace) {
      new (FInPlace[FCount]) RefPtr<TWaitDescr>(std::move(D));
    } else {
      if (!FMore) FMore = std::make_unique<std::vector<RefPtr<TWaitDescr>>>();
      FMore->push_back(std::move(D));
    }
    ++FCount;
  }
  RefPtr<TWaitDescr>& operator[](size_t I) { return I < kInPlace ? Slot(I) : (*FMore)[I - kInPlace]; }
  size_t Size() const { return FCount; }

 private:
  static constexpr size_t kInPlace = 4;
  RefPtr<TWaitDescr>& Slot(size_t I) { return *std::launder(reinterpret_cast<RefPtr<TWaitDescr>*>(FInPlace[I])); }
  alignas(RefPtr<TWaitDescr>) unsigned char FInPlace[kInPlace][sizeof(RefPtr<TWaitDescr>)];
  std::unique_ptr<std::vector<RefPtr<TWaitDescr>>> FMore;
  size_t FCount = 0;
};

// With no listener an emission only stores the signal (see FListeners).
void TGevent::Emit(TWaitResult aResult, bool IsDestroyed, bool Sync) {
  FSignal.store(aResult == wrSignaled, std::memory_order_seq_cst);
  if (FListeners.load(std::memory_order_seq_cst) == 0) return;
  // This thread's hub, if it has one: an emission must not make one.
  TCustomHub* const here = GetCurrentHubIfAny();
  if (aResult == wrSignaled) {
    if (RefPtr<TWaitDescr> D = HandOff(here)) {
      if (Sync) {
        TRawGreenletImpl* G = D->FContext;
        D.reset();  // first, so that the greenlet takes it up for its next wait
        G->Resume();
      } else {
        ResumeLater(D);
      }
      return;
    }
  }
  TDescrList syncs;
  Deliver(aResult, IsDestroyed, Sync, here, syncs);
  ResumeDirectly(syncs);
}

// Works on a private copy of the waiter list: no lock is held while waiters
// are woken or associations are emitted. Once a waiter is woken this gevent
// may be gone (its waiter may free it), so the list keeps its storage and
// nothing here touches the gevent afterwards but association re-entries.
void TGevent::Deliver(TWaitResult aResult, bool IsDestroyed, bool Sync, TCustomHub* Here,
                      TDescrList& Syncs) {
  // The signal was stored before (Emit, SignalTimeout), outside the lock:
  // storing it again here would revive one that a registration has
  // consumed meanwhile.
  TDescrList waiters;
  {
    std::lock_guard<TReentrantLock> lock(FLock);
    for (RefPtr<TWaitDescr>& d : FWaiters) waiters.Add(std::move(d));
    FWaiters.clear();
    CountListeners();
  }
  for (size_t i = 0; i < waiters.Size(); ++i) {
    RefPtr<TWaitDescr>& d = waiters[i];
    if (d->FProxy) {
      // A waiter of this thread's hub cannot go while this runs: its state
      // is read directly, not through its proxy's lock.
      const tGreenletState s =
          d->FHub == Here ? d->FContext->GetState() : d->FProxy->GetState();
      if (s != gsExecute && s != gsSuspended) continue;
    }
    if (d->FAssociate) {
      if (!d->FAssociate->Emit(aResult, IsDestroyed, d->FTag) || IsDestroyed) continue;
      std::lock_guard<TReentrantLock> lock(FLock);
      FWaiters.push_back(d);
      CountListeners();
      if (aResult == wrSignaled && !FManualReset) FSignal.store(false, std::memory_order_release);
      continue;
    }
    // The mark goes first: a waiter that sees the result must also see it.
    if (IsDestroyed) d->FEvDestroyed.store(true, std::memory_order_release);
    d->FResult.store(aResult, std::memory_order_release);
    if (d->FProxy) {
      if (d->FHub != Here)
        d->FProxy->Resume();
      else if (Sync)
        Syncs.Add(std::move(d));
      else
        ResumeLater(d);
    } else {
      d->FHub->Pulse();
    }
  }
}

// A suspended greenlet of this thread's hub cannot change state or go while
// this runs: its fate is known under the lock. When it is the only waiter
// it gets the signal (an auto-reset one is consumed for it), and its wait
// ends without coming back here. The gevent's reference to the descriptor
// comes out with it.
RefPtr<TWaitDescr> TGevent::HandOff(TCustomHub* Here) {
  std::lock_guard<TReentrantLock> lock(FLock);
  if (FWaiters.size() != 1 || !Here) return nullptr;
  TWaitDescr* d = FWaiters.front().get();
  if (d->FAssociate || !d->FProxy || d->FHub != Here) return nullptr;
  if (d->FContext->GetState() != gsSuspended) return nullptr;
  if (!FManualReset) FSignal.store(false, std::memory_order_release);
  d->FResult.store(wrSignaled, std::memory_order_release);
  d->FHandedOff = true;
  RefPtr<TWaitDescr> Taken = std::move(FWaiters.front());
  FWaiters.pop_back();
  CountListeners();
  return Taken;
}

// The hub is the waiter's and this thread's: its own list takes the
// descriptor and resumes the greenlet, unless the hub is not being served
// here.
void TGevent::ResumeLater(RefPtr<TWaitDescr>& D) {
  if (!static_cast<THub*>(D->FHub)->ResumeSoon(D)) D->FProxy->Resume();
}

// Run by the hub's pass for a descriptor of its list, with the list's
// reference. A descriptor that only the list holds any more belongs to a
// greenlet that has gone, or has ended that wait by other means: nothing to
// resume. Otherwise the greenlet lives, and the reference goes first, so
// that the greenlet takes the descriptor up again for its next wait. One
// that another thread moved to a hub of its own meanwhile is resumed there.
void TGevent::ResumeQueued(RefPtr<TWaitDescr> D, TCustomHub* Hub) {
  if (D->SoleReference()) return;
  TRawGreenletImpl* G = D->FContext;
  D.reset();
  if (G->GetHub() == Hub)
    G->Resume();
  else
    G->GetProxy()->Resume();
}

// The list lets go of each descriptor before its greenlet runs, so that the
// greenlet finds it unshared and takes it up for its next wait.
void TGevent::ResumeDirectly(TDescrList& Syncs) {
  for (size_t i = 0; i < Syncs.Size(); ++i) {
    TRawGreenletImpl* g = Syncs[i]->FContext;
    Syncs[i].reset();
    g->Resume();
  }
}

// ---- waiting ----------------------------------------------------------------------

// One registered wait: registration, the handle watch and the timer, and
// the clean-up that runs however the wait ends. Once registered, the gevent
// may be destroyed by another thread at any time: the wait copies what it
// needs of it under the lock and reaches it afterwards only pinned through
// its reference.
class TGevent::TWait {
 public:
  explicit TWait(TGevent& Ev) : FEv(Ev) {}
  ~TWait() {
    if (FD && !FClosed) Close(false);
  }

  // False, with Early set, when the outcome is known without waiting; an
  // auto-reset signal found here is consumed.
  bool Register(const TDeadline& Deadline, TRawGreenletImpl* G, TWaitResult& Early) {
    FHub = GetCurrentHub();
    std::lock_guard<TReentrantLock> lock(FEv.FLock);
    // Counted before the signal is checked: an emission that does not see
    // this listener stored its signal before, and the check sees it.
    FEv.FListeners.fetch_add(1, std::memory_order_seq_cst);
    if (FEv.FSignal.load(std::memory_order_seq_cst)) {
      if (!FEv.FManualReset) FEv.FSignal.store(false);
      FEv.CountListeners();
      Early = wrSignaled;
      return false;
    }
    if (Deadline.Passed()) {
      FEv.CountListeners();
      Early = wrTimeout;
      return false;
    }
    FD = NewDescr(G);
    FD->FTimeStop = Deadline;
    if (FD->FGevent != FEv.FAssociateRef) FD->FGevent = FEv.FAssociateRef;
    FEv.FWaiters.push_back(FD);
    FEv.CountListeners();
    FHandle = FEv.FHandle;
    return true;
  }

  // Every waiter of the gevent on one hub gives the same data, so the hub
  // holds a handle watched by several of them as several entries.
  void WatchHandle() {
    if (FHandle == os::kNoHandle) return;
    if (FHub->AddEvent(FHandle, &TGevent::SignalTimeout, FD->FGevent.get())) FWatched = FHandle;
  }

  // The timer fires at the deadline and marks the time up. A signal that
  // arrived since registration is kept: only a still-empty result becomes
  // wrTimeout. False when the hub's timer was refused: nothing calls back then.
  bool ArmTimer(TInervalCallback Cb) {
    FD->_AddRef();
    try {
      FTimer = FHub->CreateTimeout(Cb, FD.get(), FD->FTimeStop.RemainingTimeOut());
    } catch (...) {
      FD->_Release();
      throw;
    }
    if (FTimer == os::kNoHandle) FD->_Release();
    TWaitResult expected = wrError;
    FD->FResult.compare_exchange_strong(expected, wrTimeout);
    return FTimer != os::kNoHandle;
  }

  bool Timed() const { return !FD->FTimeStop.IsNever(); }
  bool Waiting() const {
    const TWaitResult r = FD->FResult.load(std::memory_order_acquire);
    if (Timed())
      return r == wrTimeout && !FD->FTimeUp.load(std::memory_order_acquire) &&
             !FD->FTimeStop.Passed();
    return r != wrSignaled && r != wrAbandoned;
  }

  // The outcome of a wait that ran its course, with an auto-reset signal
  // consumed.
  TWaitResult Finish() { return Close(true); }

  TWaitDescr& D() { return *FD; }
  TCustomHub* Hub() { return FHub; }

 private:
  // The greenlet's descriptor of its last wait when nobody else holds it.
  RefPtr<TWaitDescr> NewDescr(TRawGreenletImpl* G) {
    if (!G) return MakeRef<TWaitDescr>(FHub, wrError);
    RefPtr<TWaitDescr>& spare = G->SpareWait();
    if (spare && spare->SoleReference()) {
      spare->Renew(FHub);
      return std::move(spare);
    }
    auto d = MakeRef<TWaitDescr>(FHub, wrError);
    d->FProxy = G->GetProxy();
    d->FContext = G;
    return d;
  }

  // The hub's watch and timer go first; then, unless the wait carries the
  // destroyed mark or the gevent is already going, the signal rules and the
  // removal of this waiter, with the gevent pinned.
  TWaitResult Close(bool Consume) {
    FClosed = true;
    // A wait handed its signal, with no watch or timer, has nothing to undo.
    const bool Plain = FD->FHandedOff && Consume && !FWatched && !FTimer;
    TWaitResult r = Plain ? FD->FResult.load(std::memory_order_acquire) : Unregister(Consume);
    if (TRawGreenletImpl* g = FD->FContext) g->SpareWait() = std::move(FD);
    return r;
  }

  TWaitResult Unregister(bool Consume) {
    TWaitResult r = FD->FResult.load(std::memory_order_acquire);
    if (FWatched) FHub->RemEvent(FWatched);
    if (FTimer) {
      FHub->DestroyTimeout(FTimer);
      FD->_Release();
    }
    if (FD->FHandedOff) {
      if (!Consume) GiveBack();
      return r;
    }
    if (FD->FEvDestroyed.load(std::memory_order_acquire)) return r;
    TAssociateRef::TPin pinned(*FD->FGevent);
    if (!pinned) return r;
    std::lock_guard<TReentrantLock> lock(FEv.FLock);
    if (r == wrError && FEv.FSignal.load()) r = wrSignaled;
    if (r == wrAbandoned || r == wrError) FEv.FSignal.store(false);
    auto& w = FEv.FWaiters;
    w.erase(std::remove(w.begin(), w.end(), FD), w.end());
    FEv.CountListeners();
    if (Consume && !FEv.FManualReset && FEv.FSignal.load()) {
      FEv.FSignal.store(false);
      r = wrSignaled;
    }
    return r;
  }

  // A wait that was handed an auto-reset signal and ends without taking it
  // (a kill) passes it on, as if it had never been handed.
  void GiveBack() {
    TAssociateRef::TPin pinned(*FD->FGevent);
    if (pinned && !pinned->FManualReset) pinned->SetEvent();
  }

  TGevent& FEv;
  RefPtr<TWaitDescr> FD;
  TCustomHub* FHub = nullptr;
  THandle FHandle = os::kNoHandle;
  THandle FWatched = os::kNoHandle;
  THandle FTimer = os::kNoHandle;
  bool FClosed = false;
};

TWaitResult TGevent::WaitFor(uint32_t aTimeOut) { return WaitUntil(TDeadline::After(aTimeOut)); }

TWaitResult TGevent::WaitUntil(const TDeadline& Deadline) {
  TRawGreenletImpl* current = TRawGreenletImpl::GetCurrent();
  return current ? GreenWaitEvent(current, Deadline) : ThreadWaitEvent(Deadline);
}

TWaitResult TGevent::Consume(TWaitResult Result) {
  if (FManualReset) return Result;
  std::lock_guard<TReentrantLock> lock(FLock);
  if (!FSignal.load()) return Result;
  FSignal.store(false);
  return wrSignaled;
}

TWaitResult TGevent::GreenWaitEvent(TRawGreenletImpl* Current, const TDeadline& Deadline) {
  if (Current->GetState() == gsKilling) return Consume(wrAbandoned);
  TWaitScope note(Current->WaitNote(), wkGevent, this, Deadline);
  TWait wait(*this);
  TWaitResult early;
  if (!wait.Register(Deadline, Current, early)) return early;
  wait.WatchHandle();
  // Without a timer nothing resumes the greenlet at its deadline: it then
  // stays runnable and has the hub switch back to it at every turn.
  const bool polling = wait.Timed() && !wait.ArmTimer(&TGevent::SwitchTimeout);
  if (wait.Timed() && !polling) Current->Suspend();
  while (wait.Waiting()) {
    if (polling)
      Current->GetProxy()->DelayedSwitch();
    else
      Current->Suspend();
    Current->Yield();
  }
  // A wait whose deadline passed before the loop ran never yielded: it must
  // not leave the greenlet suspended, or later switches into it are refused.
  if (Current->GetState() == gsSuspended) Current->Resume();
  return wait.Finish();
}

TWaitResult TGevent::ThreadWaitEvent(const TDeadline& Deadline) {
  TWait wait(*this);
  TWaitResult early;
  if (!wait.Register(Deadline, nullptr, early)) return early;
  wait.WatchHandle();
  TCustomHub* hub = wait.Hub();
  hub->SetIsSuspended(true);
  struct Unsuspend {
    TCustomHub* hub;
    ~Unsuspend() { hub->SetIsSuspended(false); }
  } unsuspend{hub};
  // A refused timer changes nothing here: the serves are bounded by the deadline.
  if (wait.Timed()) wait.ArmTimer(&TGevent::TimeoutCb);
  while (wait.Waiting()) hub->Serve(Deadline.RemainingTimeOut());
  return wait.Finish();
}

// ---- hub callbacks -------------------------------------------------------------------

void TGevent::SwitchTimeout(THandle, void* Data) {
  auto* d = static_cast<TWaitDescr*>(Data);
  d->FTimeUp.store(true, std::memory_order_release);
  if (!d->FEvDestroyed.load(std::memory_order_acquire)) d->FContext->Resume();
}

void TGevent::TimeoutCb(THandle, void* Data) {
  auto* d = static_cast<TWaitDescr*>(Data);
  d->FTimeUp.store(true, std::memory_order_release);
  if (!d->FEvDestroyed.load(std::memory_order_acquire)) d->FHub->Pulse();
}

// The handle may be reported after the gevent's destruction began, before
// its waiter has cleaned up the watch: then the pin is empty.
void TGevent::SignalTimeout(THandle, void* Data, bool Aborted) {
  TDescrList syncs;
  {
    TAssociateRef::TPin pinned(*static_cast<TAssociateRef*>(Data));
    if (!pinned) return;
    pinned->FSignal.store(!Aborted, std::memory_order_seq_cst);
    pinned->Deliver(Aborted ? wrAbandoned : wrSignaled, false, true, GetCurrentHubIfAny(), syncs);
  }
  ResumeDirectly(syncs);
}

}  // namespace green
