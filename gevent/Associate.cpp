// Association of gevents and waiting for the first of several.
#include <algorithm>
#include <thread>

#include "gevent/Gevent.h"

namespace green {

// ---- TAssociateRef ----------------------------------------------------------------

void TAssociateRef::ClearIndexes() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  FIndexes.clear();
  FIndexSet.Clear();
}

TAssociateRef::TIndexes TAssociateRef::GetIndexes() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  return FIndexes;
}

bool TAssociateRef::FindIndex(int32_t Value) {
  std::lock_guard<TReentrantLock> Lock(FLock);
  return FIndexSet.Contains(Value);
}

// Held while the owner is emitted, so the index list and the owner's
// wake-up change together for readers that take the same lock.
bool TAssociateRef::Emit(TWaitResult aResult, bool IsDestroyed, int32_t Index) {
  std::lock_guard<TReentrantLock> Lock(FLock);
  TGevent* Owner = FOwner.load(std::memory_order_relaxed);
  if (!Owner) return false;
  if (FIndexSet.Insert(Index)) FIndexes.push_back(Index);
  Owner->Emit(aResult, IsDestroyed, false);
  return true;
}

void TAssociateRef::SetOwner(TGevent* Value) {
  {
    std::lock_guard<TReentrantLock> Lock(FLock);
    FOwner.store(Value, std::memory_order_seq_cst);
  }
  if (Value) return;
  while (FPins.load(std::memory_order_seq_cst) > 0) std::this_thread::yield();
}

TGevent* TAssociateRef::GetOwner() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  return FOwner.load(std::memory_order_relaxed);
}

// The pin is counted before the owner is read, and SetOwner clears the
// owner before it reads the count: either the pin finds no owner, or the
// destruction sees the pin and waits for it.
TGevent* TAssociateRef::Pin() {
  FPins.fetch_add(1, std::memory_order_seq_cst);
  if (TGevent* Owner = FOwner.load(std::memory_order_seq_cst)) return Owner;
  FPins.fetch_sub(1, std::memory_order_release);
  return nullptr;
}

// ---- TGevent ---------------------------------------------------------------------------

// The entry is made under the emitter's lock, which an emission that sees
// no listener checks (see TGevent::FListeners). An emission that did not
// see the entry left its signal, which is delivered here as that emission
// would have delivered it (an auto-reset signal is consumed). The check cannot tell such a
// signal from one left by an earlier emission, which is then delivered as
// well: a caller checks the signal before it associates (WaitMultiple), or
// checks what the signal stands for after (Join). The latter passes
// PassPending false: the signal found is consumed all the same, but its
// delivery would only wake the caller for a look it takes anyway.
void TGevent::Associate(TGevent* Emitter, int32_t Index, bool PassPending) {
  bool Signaled;
  {
    std::lock_guard<TReentrantLock> OwnerLock(FLock);
    std::lock_guard<TReentrantLock> EmitterLock(Emitter->FLock);
    Emitter->ClearEmptyDescr();
    Emitter->FWaiters.push_back(MakeRef<TWaitDescr>(FAssociateRef.get(), Index));
    Signaled = Emitter->FSignal.load(std::memory_order_seq_cst);
    if (Signaled && !Emitter->FManualReset) Emitter->FSignal.store(false);
    Emitter->CountListeners();
  }
  if (Signaled && PassPending) FAssociateRef->Emit(wrSignaled, false, Index);
}

void TGevent::ClearEmptyDescr() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  auto Stale = [](const RefPtr<TWaitDescr>& D) {
    return D->FAssociate && D->FAssociate->GetOwner() == nullptr;
  };
  FWaiters.erase(std::remove_if(FWaiters.begin(), FWaiters.end(), Stale), FWaiters.end());
  CountListeners();
}

TWaitResult TGevent::WaitMultiple(const std::vector<TGevent*>& Events, int32_t& Index,
                                  uint32_t Timeout) {
  Index = -1;
  if (Events.empty()) return wrError;
  auto Assoc = MakeRef<TGevent>(false, false);
  for (size_t I = 0; I < Events.size(); ++I) {
    TGevent* Ev = Events[I];
    if (!Ev) continue;
    std::lock_guard<TReentrantLock> Lock(Ev->FLock);
    if (Ev->IsSignaled()) {
      Index = static_cast<int32_t>(I);
      if (!Ev->FManualReset) Ev->ClearSignal();
      return wrSignaled;
    }
    Assoc->Associate(Ev, static_cast<int32_t>(I));
  }
  TWaitResult Result = Assoc->WaitFor(Timeout);
  IAssociateRef* Ref = Assoc->AssociateRef();
  std::lock_guard<IAssociateRef> Lock(*Ref);
  TIndexes Indexes = Ref->GetIndexes();
  Index = Indexes.empty() ? -1 : Indexes.front();
  return Result;
}

}  // namespace green
