#include "gevent/Gevent.h"

#include <algorithm>

#include "greenlets/GreenletsImpl.h"
#include "hub/Hub.h"

namespace green {

// ---- TMultiContextVar, TWaitDescr -----------------------------------------------

TWaitDescr::TWaitDescr(TCustomHub* Hub, TWaitResult Result, TMultiContextVar* EvDestroyedRef)
    : FHub(Hub), FResult(Result), FEvDestroyed(EvDestroyedRef) {}

TWaitDescr::TWaitDescr(IAssociateRef* Associate, int32_t Tag) : FAssociate(Associate), FTag(Tag) {}

// ---- construction ---------------------------------------------------------------

TGevent::TGevent(bool ManualReset, bool InitialState)
    : FAssociateRef(MakeRef<TAssociateRef>(this)), FSignal(InitialState), FManualReset(ManualReset) {}

TGevent::TGevent(THandle Handle) : TGevent(false, false) { FHandle = Handle; }

// Wakes every waiter with wrAbandoned and marks their waits, so that none of
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

namespace {

// A few descriptors in place, more on the heap: an emission usually wakes
// one or two waiters and then allocates nothing.
class TDescrList {
 public:
  void Add(RefPtr<TWaitDescr> D) {
    if (FCount < kInPlace)
      FInPlace[FCount] = std::move(D);
    else
      FMore.push_back(std::move(D));
    ++FCount;
  }
  RefPtr<TWaitDescr>& operator[](size_t I) { return I < kInPlace ? FInPlace[I] : FMore[I - kInPlace]; }
  size_t Size() const { return FCount; }

 private:
  static constexpr size_t kInPlace = 4;
  RefPtr<TWaitDescr> FInPlace[kInPlace];
  std::vector<RefPtr<TWaitDescr>> FMore;
  size_t FCount = 0;
};

}  // namespace

// Works on a private copy of the waiter list: no lock is held while waiters
// are woken or associations are emitted. Once a waiter is woken this gevent
// may be gone (its waiter may free it), so the list keeps its storage and
// nothing here touches the gevent afterwards but association re-entries.
void TGevent::Emit(TWaitResult aResult, bool IsDestroyed, bool Sync) {
  TDescrList waiters;
  {
    std::lock_guard<TReentrantLock> lock(FLock);
    FSignal.store(aResult == wrSignaled, std::memory_order_release);
    for (RefPtr<TWaitDescr>& d : FWaiters) waiters.Add(std::move(d));
    FWaiters.clear();
  }
  TDescrList syncs;
  TCustomHub* here = nullptr;
  for (size_t i = 0; i < waiters.Size(); ++i) {
    RefPtr<TWaitDescr>& d = waiters[i];
    if (d->FProxy) {
      const tGreenletState s = d->FProxy->GetState();
      if (s != gsExecute && s != gsSuspended) continue;
    }
    if (d->FAssociate) {
      if (!d->FAssociate->Emit(aResult, IsDestroyed, d->FTag) || IsDestroyed) continue;
      std::lock_guard<TReentrantLock> lock(FLock);
      FWaiters.push_back(d);
      if (aResult == wrSignaled && !FManualReset) FSignal.store(false, std::memory_order_release);
      continue;
    }
    // The mark goes first: a waiter that sees the result must also see it.
    d->FEvDestroyed->SetActive(IsDestroyed);
    d->FResult.store(aResult, std::memory_order_release);
    if (d->FProxy) {
      if (Sync && !here) here = GetCurrentHub();
      if (Sync && d->FHub == here)
        syncs.Add(d);
      else
        d->FProxy->Resume();
    } else {
      d->FHub->Pulse();
    }
  }
  for (size_t i = 0; i < syncs.Size(); ++i) syncs[i]->FContext->Resume();
}

// ---- waiting ----------------------------------------------------------------------

// One registered wait: registration, the handle watch and the timer, and
// the clean-up that runs however the wait ends.
class TGevent::TWait {
 public:
  explicit TWait(TGevent& Ev) : FEv(Ev) {}
  ~TWait() {
    if (!FD) return;
    if (!FFinished) Settle();
    if (FWatched) FHub->RemEvent(FWatched);
    if (FTimer) {
      FHub->DestroyTimeout(FTimer);
      FD->_Release();
    }
    if (!FDestroyed) {
      std::lock_guard<TReentrantLock> lock(FEv.FLock);
      auto& w = FEv.FWaiters;
      w.erase(std::remove(w.begin(), w.end(), FD), w.end());
    }
  }

  // False, with Early set, when the outcome is known without waiting.
  bool Register(uint32_t TimeOut, TRawGreenletImpl* G, TWaitResult& Early) {
    FHub = GetCurrentHub();
    std::lock_guard<TReentrantLock> lock(FEv.FLock);
    if (FEv.FSignal.load()) {
      Early = wrSignaled;
      return false;
    }
    if (TimeOut == 0) {
      Early = wrTimeout;
      return false;
    }
    FD = MakeRef<TWaitDescr>(FHub, wrError, MakeRef<TMultiContextVar>().get());
    FD->FTimeStop = TimeOut == INFINITE ? 0 : Now() + TimeOut2Time(TimeOut);
    if (G) {
      FD->FProxy = G->GetProxy();
      FD->FContext = G;
    }
    FD->FGevent = &FEv;
    FEv.FWaiters.push_back(FD);
    FHandle = FEv.FHandle;
    return true;
  }

  // Once registered, the gevent may be destroyed by another thread at any
  // time: what the wait needs of it was copied under the lock.
  void WatchHandle() {
    if (FHandle == os::kNoHandle) return;
    if (FHub->AddEvent(FHandle, &TGevent::SignalTimeout, &FEv)) FWatched = FHandle;
  }

  // The timer fires just after the deadline. A signal that arrived since
  // registration is kept: only a still-empty result becomes wrTimeout.
  void ArmTimer(TInervalCallback Cb, uint32_t TimeOut) {
    FD->_AddRef();
    FTimer = FHub->CreateTimeout(Cb, FD.get(), TimeOut + 1);
    TWaitResult expected = wrError;
    FD->FResult.compare_exchange_strong(expected, wrTimeout);
  }

  bool Timed() const { return FD->FTimeStop != 0; }
  bool Waiting() const {
    const TWaitResult r = FD->FResult.load(std::memory_order_acquire);
    if (Timed()) return r == wrTimeout && Now() <= FD->FTimeStop;
    return r != wrSignaled && r != wrAbandoned;
  }

  TWaitResult Finish(bool& Destroyed) {
    TWaitResult r = Settle();
    Destroyed = FDestroyed;
    return r;
  }

  TWaitDescr& D() { return *FD; }
  TCustomHub* Hub() { return FHub; }

 private:
  TWaitResult Settle() {
    FFinished = true;
    FDestroyed = FD->FEvDestroyed->GetActive();
    TWaitResult r = FD->FResult.load(std::memory_order_acquire);
    if (FDestroyed) return r;
    if (r == wrError && FEv.FSignal.load()) r = wrSignaled;
    if (r == wrAbandoned || r == wrError) FEv.FSignal.store(false);
    return r;
  }

  TGevent& FEv;
  RefPtr<TWaitDescr> FD;
  TCustomHub* FHub = nullptr;
  THandle FHandle = os::kNoHandle;
  THandle FWatched = os::kNoHandle;
  THandle FTimer = os::kNoHandle;
  bool FFinished = false;
  bool FDestroyed = false;
};

TWaitResult TGevent::WaitFor(uint32_t aTimeOut) {
  bool destroyed = false;
  TWaitResult r = TRawGreenletImpl::GetCurrent() ? GreenWaitEvent(aTimeOut, destroyed)
                                                 : ThreadWaitEvent(aTimeOut, destroyed);
  if (!destroyed && !FManualReset) {
    std::lock_guard<TReentrantLock> lock(FLock);
    if (FSignal.load()) {
      r = wrSignaled;
      FSignal.store(false);
    }
  }
  return r;
}

TWaitResult TGevent::GreenWaitEvent(uint32_t aTimeOut, bool& Destroyed) {
  TRawGreenletImpl* current = TRawGreenletImpl::GetCurrent();
  if (current->GetProxy()->GetState() == gsKilling) return wrAbandoned;
  TWait wait(*this);
  TWaitResult early;
  if (!wait.Register(aTimeOut, current, early)) return early;
  wait.WatchHandle();
  if (wait.Timed()) {
    wait.ArmTimer(&TGevent::SwitchTimeout, aTimeOut);
    current->Suspend();
  }
  while (wait.Waiting()) {
    current->Suspend();
    current->Yield();
  }
  // A wait whose deadline passed before the loop ran never yielded: it must
  // not leave the greenlet suspended, or later switches into it are refused.
  current->Resume();
  return wait.Finish(Destroyed);
}

TWaitResult TGevent::ThreadWaitEvent(uint32_t aTimeOut, bool& Destroyed) {
  TWait wait(*this);
  TWaitResult early;
  if (!wait.Register(aTimeOut, nullptr, early)) return early;
  wait.WatchHandle();
  TCustomHub* hub = wait.Hub();
  hub->SetIsSuspended(true);
  struct Unsuspend {
    TCustomHub* hub;
    ~Unsuspend() { hub->SetIsSuspended(false); }
  } unsuspend{hub};
  if (wait.Timed()) wait.ArmTimer(&TGevent::TimeoutCb, aTimeOut);
  while (wait.Waiting())
    hub->Serve(wait.Timed() ? Time2TimeOut(wait.D().FTimeStop - Now()) : INFINITE);
  return wait.Finish(Destroyed);
}

// ---- hub callbacks -------------------------------------------------------------------

void TGevent::SwitchTimeout(THandle, void* Data) {
  auto* d = static_cast<TWaitDescr*>(Data);
  if (!d->FEvDestroyed->GetActive()) d->FContext->Resume();
}

void TGevent::TimeoutCb(THandle, void* Data) {
  auto* d = static_cast<TWaitDescr*>(Data);
  if (!d->FEvDestroyed->GetActive()) d->FHub->Pulse();
}

void TGevent::SignalTimeout(THandle, void* Data, bool Aborted) {
  static_cast<TGevent*>(Data)->Emit(Aborted ? wrAbandoned : wrSignaled, false, true);
}

}  // namespace green
