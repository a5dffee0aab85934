// Association of gevents and waiting for the first of several.
#include <algorithm>
#include <thread>

#include "gevent/Gevent.h"

namespace green {

// ---- TAssociateRef ----------------------------------------------------------------

void TAssociateRef::ClearIndexes() {
  std::lock_guard<TReentrantLock> lock(FLock);
  FIndexes.clear();
  FIndexSet.Clear();
}

TAssociateRef::TIndexes TAssociateRef::GetIndexes() {
  std::lock_guard<TReentrantLock> lock(FLock);
  return FIndexes;
}

bool TAssociateRef::FindIndex(int32_t Value) {
  std::lock_guard<TReentrantLock> lock(FLock);
  return FIndexSet.Contains(Value);
}

// Held while the owner is emitted, so the index list and the owner's
// wake-up change together for readers that take the same lock.
bool TAssociateRef::Emit(TWaitResult aResult, bool IsDestroyed, int32_t Index) {
  std::lock_guard<TReentrantLock> lock(FLock);
  TGevent* owner = FOwner.load(std::memory_order_relaxed);
  if (!owner) return false;
  if (FIndexSet.Insert(Index)) FIndexes.push_back(Index);
  owner->Emit(aResult, IsDestroyed, false);
  return true;
}

void TAssociateRef::SetOwner(TGevent* Value) {
  {
    std::lock_guard<TReentrantLock> lock(FLock);
    FOwner.store(Value, std::memory_order_seq_cst);
  }
  if (Value) return;
  while (FPins.load(std::memory_order_seq_cst) > 0) std::this_thread::yield();
}

TGevent* TAssociateRef::GetOwner() {
  std::lock_guard<TReentrantLock> lock(FLock);
  return FOwner.load(std::memory_order_relaxed);
}

// The pin is counted before the owner is read, and SetOwner clears the
// owner before it reads the count: either the pin finds no owner, or the
// destruction sees the pin and waits for it.
TGevent* TAssociateRef::Pin() {
  FPins.fetch_add(1, std::memory_order_seq_cst);
  if (TGevent* owner = FOwner.load(std::memory_order_seq_cst)) return owner;
  FPins.fetch_sub(1, std::memory_order_release);
  return nullptr;
}

// ---- TGevent ---------------------------------------------------------------------------

// The entry is counted before the emitter's signal is checked (see
// TGevent::FListeners). An emission that did not see the entry left its
// signal, which is delivered here as that emission would have delivered
// it (an auto-reset signal is consumed). The check cannot tell such a
// signal from one left by an earlier emission, which is then delivered as
// well: a caller checks the signal before it associates (WaitMultiple), or
// checks what the signal stands for after (Join).
void TGevent::Associate(TGevent* Emitter, int32_t Index) {
  bool signaled;
  {
    std::lock_guard<TReentrantLock> ownerLock(FLock);
    std::lock_guard<TReentrantLock> emitterLock(Emitter->FLock);
    Emitter->ClearEmptyDescr();
    Emitter->FListeners.fetch_add(1, std::memory_order_seq_cst);
    Emitter->FWaiters.push_back(MakeRef<TWaitDescr>(FAssociateRef.get(), Index));
    signaled = Emitter->FSignal.load(std::memory_order_seq_cst);
    if (signaled && !Emitter->FManualReset) Emitter->FSignal.store(false);
    Emitter->CountListeners();
  }
  if (signaled) FAssociateRef->Emit(wrSignaled, false, Index);
}

void TGevent::ClearEmptyDescr() {
  std::lock_guard<TReentrantLock> lock(FLock);
  auto stale = [](const RefPtr<TWaitDescr>& d) {
    return d->FAssociate && d->FAssociate->GetOwner() == nullptr;
  };
  FWaiters.erase(std::remove_if(FWaiters.begin(), FWaiters.end(), stale), FWaiters.end());
  CountListeners();
}

TWaitResult TGevent::WaitMultiple(const std::vector<TGevent*>& Events, int32_t& Index,
                                  uint32_t Timeout) {
  Index = -1;
  if (Events.empty()) return wrError;
  auto assoc = MakeRef<TGevent>(false, false);
  for (size_t i = 0; i < Events.size(); ++i) {
    TGevent* ev = Events[i];
    if (!ev) continue;
    std::lock_guard<TReentrantLock> lock(ev->FLock);
    if (ev->IsSignaled()) {
      Index = static_cast<int32_t>(i);
      if (!ev->FManualReset) ev->ClearSignal();
      return wrSignaled;
    }
    assoc->Associate(ev, static_cast<int32_t>(i));
  }
  TWaitResult result = assoc->WaitFor(Timeout);
  IAssociateRef* ref = assoc->AssociateRef();
  std::lock_guard<IAssociateRef> lock(*ref);
  TIndexes indexes = ref->GetIndexes();
  Index = indexes.empty() ? -1 : indexes.front();
  return result;
}

}  // namespace green
