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
  std::lock_guard<TReentrantLock> Lock(FLock);
  return FWaiters.size();
}

// ---- signalling -------------------------------------------------------------------

void TGevent::SetEvent(bool Sync) { Emit(wrSignaled, false, Sync); }

void TGevent::ResetEvent() {
  if (!FManualReset) return;
  std::lock_guard<TReentrantLock> Lock(FLock);
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
    for (size_t I = 0; I < std::min(FCount, kInPlace); ++I) Slot(I).~RefPtr();
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

// With no listener an emission only stores the signal (see FListeners);
// with listeners it stores it under the lock, as it serves them.
void TGevent::Emit(TWaitResult aResult, bool IsDestroyed, bool Sync) {
  bool Stored = false;
  if (FListeners.load(std::memory_order_relaxed) == 0) {
    FSignal.store(aResult == wrSignaled, std::memory_order_seq_cst);
    if (!FLock.Held() && FListeners.load(std::memory_order_acquire) == 0) return;
    Stored = true;
  }
  // This thread's hub, if it has one: an emission must not make one.
  TCustomHub* const Here = GetCurrentHubIfAny();
  if (aResult == wrSignaled) {
    if (RefPtr<TWaitDescr> D = HandOff(Here, Stored)) {
      if (D->FAssociate) {
        Forward(D);
      } else if (Sync) {
        // The reference goes first, so that the greenlet takes the
        // descriptor up for its next wait. Every holder is on this thread
        // (HandOff), and the wait holds one.
        TRawGreenletImpl* G = D->FContext;
        D.detach()->ReleaseUnshared();
        G->ResumeDirect();
      } else {
        ResumeLater(D);
      }
      return;
    }
  }
  TDescrList Syncs;
  Deliver(aResult, IsDestroyed, Sync, Here, Syncs, !Stored);
  ResumeDirectly(Syncs);
}

// Works on a private copy of the waiter list: no lock is held while waiters
// are woken or associations are emitted. Once a waiter is woken this gevent
// may be gone (its waiter may free it), so the list keeps its storage and
// nothing here touches the gevent afterwards but association re-entries.
void TGevent::Deliver(TWaitResult aResult, bool IsDestroyed, bool Sync, TCustomHub* Here,
                      TDescrList& Syncs, bool Store) {
  // A signal stored before, outside the lock, is not stored again: that
  // would revive one that a registration has consumed meanwhile.
  TDescrList Waiters;
  {
    std::lock_guard<TReentrantLock> Lock(FLock);
    if (Store) FSignal.store(aResult == wrSignaled, std::memory_order_release);
    for (RefPtr<TWaitDescr>& D : FWaiters) Waiters.Add(std::move(D));
    FWaiters.clear();
    CountListeners();
  }
  for (size_t I = 0; I < Waiters.Size(); ++I) {
    RefPtr<TWaitDescr>& D = Waiters[I];
    if (D->FProxy) {
      // A waiter of this thread's hub cannot go while this runs: its state
      // is read directly, not through its proxy's lock.
      const tGreenletState S =
          D->FHub == Here ? D->FContext->GetState() : D->FProxy->GetState();
      if (S != gsExecute && S != gsSuspended) continue;
    }
    if (D->FAssociate) {
      if (!D->FAssociate->Emit(aResult, IsDestroyed, D->FTag) || IsDestroyed) continue;
      std::lock_guard<TReentrantLock> Lock(FLock);
      FWaiters.push_back(D);
      CountListeners();
      if (aResult == wrSignaled && !FManualReset) FSignal.store(false, std::memory_order_release);
      continue;
    }
    // The mark goes first: a waiter that sees the result must also see it.
    if (IsDestroyed) D->FEvDestroyed.store(true, std::memory_order_release);
    D->FResult.store(aResult, std::memory_order_release);
    if (D->FProxy) {
      if (D->FHub != Here)
        D->FProxy->Resume();
      else if (Sync)
        Syncs.Add(std::move(D));
      else
        ResumeLater(D);
    } else {
      D->FHub->Pulse();
    }
  }
}

// A suspended greenlet of this thread's hub cannot change state or go while
// this runs: its fate is known under the lock. When it is the only waiter
// it gets the signal (an auto-reset one is consumed for it), and its wait
// ends without coming back here. The gevent's reference to the descriptor
// comes out with it; every other holder is on this thread too: the wait,
// and its timer. No other thread took the descriptor since it was listed,
// and none held it before (NewDescr). A sole association entry stays
// listed: the caller gets a reference of its own to forward the signal by.
RefPtr<TWaitDescr> TGevent::HandOff(TCustomHub* Here, bool& Stored) {
  std::lock_guard<TReentrantLock> Lock(FLock);
  TWaitDescr* D = FWaiters.size() == 1 ? FWaiters.front().get() : nullptr;
  if (D && !D->FAssociate && Here && D->FProxy && D->FHub == Here &&
      D->FContext->GetState() == gsSuspended) {
    if (!FManualReset)
      FSignal.store(false, std::memory_order_release);
    else if (!Stored)
      FSignal.store(true, std::memory_order_release);
    D->FResult.store(wrSignaled, std::memory_order_release);
    D->FHandedOff = true;
    RefPtr<TWaitDescr> Taken = std::move(FWaiters.front());
    FWaiters.pop_back();
    CountListeners();
    return Taken;
  }
  if (!Stored) FSignal.store(true, std::memory_order_release);
  Stored = true;
  if (D && D->FAssociate) return FWaiters.front();
  return nullptr;
}

// A signal for the one association entry, which stays listed while the
// owner is emitted: an emission meanwhile finds it and forwards as well,
// where taking it off would have left that emission no listener. As in
// Deliver, the entry consumes an auto-reset signal, and goes with its owner.
void TGevent::Forward(const RefPtr<TWaitDescr>& D) {
  const bool Kept = D->FAssociate->Emit(wrSignaled, false, D->FTag);
  std::lock_guard<TReentrantLock> Lock(FLock);
  if (!Kept) {
    FWaiters.erase(std::remove(FWaiters.begin(), FWaiters.end(), D), FWaiters.end());
    CountListeners();
  } else if (!FManualReset) {
    FSignal.store(false, std::memory_order_release);
  }
}

// The hub is the waiter's and this thread's: its own list takes the
// descriptor and resumes the greenlet, unless the hub is not being served
// here.
void TGevent::ResumeLater(RefPtr<TWaitDescr>& D) {
  if (!static_cast<THub*>(D->FHub)->ResumeSoon(D)) D->FProxy->Resume();
}

// The list lets go of each descriptor before its greenlet runs, so that the
// greenlet finds it unshared and takes it up for its next wait.
void TGevent::ResumeDirectly(TDescrList& Syncs) {
  for (size_t I = 0; I < Syncs.Size(); ++I) {
    TRawGreenletImpl* G = Syncs[I]->FContext;
    Syncs[I].reset();
    G->Resume();
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
    // The held lock tells an emission that a registration is under way: one
    // that does not see it stored its signal before, and the check sees it.
    std::lock_guard<TReentrantLock> Lock(FEv.FLock);
    if (FEv.FSignal.load(std::memory_order_seq_cst)) {
      if (!FEv.FManualReset) FEv.FSignal.store(false);
      Early = wrSignaled;
      return false;
    }
    if (Deadline.Passed()) {
      Early = wrTimeout;
      return false;
    }
    FD = NewDescr(G);
    FD->FTimeStop = Deadline;
    if (FD->FGevent != FEv.FAssociateRef) FD->FGevent = FEv.FAssociateRef;
    // The descriptor is this wait's alone until it is listed (NewDescr).
    FD->AddRefUnshared();
    FEv.FWaiters.push_back(RefPtr<TWaitDescr>::adopt(FD.get()));
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
    TWaitResult Expected = wrError;
    FD->FResult.compare_exchange_strong(Expected, wrTimeout);
    return FTimer != os::kNoHandle;
  }

  bool Timed() const { return !FD->FTimeStop.IsNever(); }
  bool Waiting() const {
    const TWaitResult R = FD->FResult.load(std::memory_order_acquire);
    if (Timed())
      return R == wrTimeout && !FD->FTimeUp.load(std::memory_order_acquire) &&
             !FD->FTimeStop.Passed();
    return R != wrSignaled && R != wrAbandoned;
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
    RefPtr<TWaitDescr>& Spare = G->SpareWait();
    if (Spare && Spare->SoleReference()) {
      Spare->Renew(FHub);
      return std::move(Spare);
    }
    auto D = MakeRef<TWaitDescr>(FHub, wrError);
    D->FProxy = G->GetProxy();
    D->FContext = G;
    return D;
  }

  // The hub's watch and timer go first; then, unless the wait carries the
  // destroyed mark or the gevent is already going, the signal rules and the
  // removal of this waiter, with the gevent pinned.
  TWaitResult Close(bool Consume) {
    FClosed = true;
    // A wait handed its signal, with no watch or timer, has nothing to undo.
    const bool Plain = FD->FHandedOff && Consume && !FWatched && !FTimer;
    TWaitResult R = Plain ? FD->FResult.load(std::memory_order_acquire) : Unregister(Consume);
    if (TRawGreenletImpl* G = FD->FContext) G->SpareWait() = std::move(FD);
    return R;
  }

  // Out of line: Close, inlined in every wait, stays small for the hand-off.
  [[gnu::noinline]] TWaitResult Unregister(bool Consume) {
    TWaitResult R = FD->FResult.load(std::memory_order_acquire);
    if (FWatched) FHub->RemEvent(FWatched);
    if (FTimer) {
      FHub->DestroyTimeout(FTimer);
      FD->_Release();
    }
    if (FD->FHandedOff) {
      if (!Consume) GiveBack();
      return R;
    }
    if (FD->FEvDestroyed.load(std::memory_order_acquire)) return R;
    TAssociateRef::TPin Pinned(*FD->FGevent);
    if (!Pinned) return R;
    std::lock_guard<TReentrantLock> Lock(FEv.FLock);
    if (R == wrError && FEv.FSignal.load()) R = wrSignaled;
    if (R == wrAbandoned || R == wrError) FEv.FSignal.store(false);
    auto& W = FEv.FWaiters;
    W.erase(std::remove(W.begin(), W.end(), FD), W.end());
    FEv.CountListeners();
    if (Consume && !FEv.FManualReset && FEv.FSignal.load()) {
      FEv.FSignal.store(false);
      R = wrSignaled;
    }
    return R;
  }

  // A wait that was handed an auto-reset signal and ends without taking it
  // (a kill) passes it on, as if it had never been handed.
  void GiveBack() {
    TAssociateRef::TPin Pinned(*FD->FGevent);
    if (Pinned && !Pinned->FManualReset) Pinned->SetEvent();
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
  TRawGreenletImpl* Current = TRawGreenletImpl::GetCurrent();
  return Current ? GreenWaitEvent(Current, Deadline) : ThreadWaitEvent(Deadline);
}

TWaitResult TGevent::Consume(TWaitResult Result) {
  if (FManualReset) return Result;
  std::lock_guard<TReentrantLock> Lock(FLock);
  if (!FSignal.load()) return Result;
  FSignal.store(false);
  return wrSignaled;
}

TWaitResult TGevent::GreenWaitEvent(TRawGreenletImpl* Current, const TDeadline& Deadline) {
  if (Current->GetState() == gsKilling) return Consume(wrAbandoned);
  TWaitScope Note(Current->WaitNote(), wkGevent, this, Deadline);
  TWait Wait(*this);
  TWaitResult Early;
  if (!Wait.Register(Deadline, Current, Early)) return Early;
  Wait.WatchHandle();
  // Without a timer nothing resumes the greenlet at its deadline: it then
  // stays runnable and has the hub switch back to it at every turn.
  const bool Polling = Wait.Timed() && !Wait.ArmTimer(&TGevent::SwitchTimeout);
  if (Wait.Timed() && !Polling) Current->Suspend();
  while (Wait.Waiting()) {
    if (Polling)
      Current->GetProxy()->DelayedSwitch();
    else
      Current->Suspend();
    Current->YieldDirect();
  }
  // A wait whose deadline passed before the loop ran never yielded: it must
  // not leave the greenlet suspended, or later switches into it are refused.
  if (Current->GetState() == gsSuspended) Current->Resume();
  return Wait.Finish();
}

TWaitResult TGevent::ThreadWaitEvent(const TDeadline& Deadline) {
  TWait Wait(*this);
  TWaitResult Early;
  if (!Wait.Register(Deadline, nullptr, Early)) return Early;
  Wait.WatchHandle();
  TCustomHub* Hub = Wait.Hub();
  Hub->SetIsSuspended(true);
  struct Unsuspend {
    TCustomHub* hub;
    ~Unsuspend() { hub->SetIsSuspended(false); }
  } Unsuspend{Hub};
  // A refused timer changes nothing here: the serves are bounded by the deadline.
  if (Wait.Timed()) Wait.ArmTimer(&TGevent::TimeoutCb);
  while (Wait.Waiting()) Hub->Serve(Deadline.RemainingTimeOut());
  return Wait.Finish();
}

// ---- hub callbacks -------------------------------------------------------------------

void TGevent::SwitchTimeout(THandle, void* Data) {
  auto* D = static_cast<TWaitDescr*>(Data);
  D->FTimeUp.store(true, std::memory_order_release);
  if (!D->FEvDestroyed.load(std::memory_order_acquire)) D->FContext->Resume();
}

void TGevent::TimeoutCb(THandle, void* Data) {
  auto* D = static_cast<TWaitDescr*>(Data);
  D->FTimeUp.store(true, std::memory_order_release);
  if (!D->FEvDestroyed.load(std::memory_order_acquire)) D->FHub->Pulse();
}

// The handle may be reported after the gevent's destruction began, before
// its waiter has cleaned up the watch: then the pin is empty.
void TGevent::SignalTimeout(THandle, void* Data, bool Aborted) {
  TDescrList Syncs;
  {
    TAssociateRef::TPin Pinned(*static_cast<TAssociateRef*>(Data));
    if (!Pinned) return;
    Pinned->FSignal.store(!Aborted, std::memory_order_seq_cst);
    Pinned->Deliver(Aborted ? wrAbandoned : wrSignaled, false, true, GetCurrentHubIfAny(), Syncs,
                    false);
  }
  ResumeDirectly(Syncs);
}

}  // namespace green
