// The per-hub joiner, trigger lists and the kill token.
#include <algorithm>

#include "gevent/Gevent.h"
#include "greenlets/GreenletsImpl.h"
#include "hub/Hub.h"

namespace green {

// ---- TTriggers ----------------------------------------------------------------

bool TTriggers::Find(const TTaskMethod& Cb, size_t& Index) const {
  for (size_t I = 0; I < FCollection.size(); ++I) {
    if (FCollection[I].Code == Cb.Code) {
      Index = I;
      return true;
    }
  }
  return false;
}

void TTriggers::OnCb(const TTaskMethod& Cb) {
  size_t I;
  if (!Find(Cb, I)) FCollection.push_back(Cb);
}

void TTriggers::OffCb(const TTaskMethod& Cb) {
  size_t I;
  if (Find(Cb, I)) FCollection.erase(FCollection.begin() + static_cast<ptrdiff_t>(I));
}

void TTriggers::RaiseAll() const {
  for (const TTaskMethod& Cb : FCollection) Cb();
}

// ---- TJoiner --------------------------------------------------------------------

TJoiner::TJoiner() : FOnUpdate(MakeRef<TGevent>(false, false)) {}

TJoiner::~TJoiner() {
  if (HubInfrasctuctureEnable) Clear();
}

void TJoiner::Append(TRawGreenletImpl* G) {
  if (RefPtr<TGevent> Updated = Link(G)) Updated->SetEvent();
}

void TJoiner::Remove(TRawGreenletImpl* G) {
  if (RefPtr<TGevent> Updated = Unlink(G)) Updated->SetEvent();
}

RefPtr<TGevent> TJoiner::Link(TRawGreenletImpl* G) {
  std::lock_guard<TReentrantLock> Lock(FLock);
  if (G->FJoinedTo.load(std::memory_order_relaxed) == this) return nullptr;
  G->FJoinPrev = FTail;
  G->FJoinNext = nullptr;
  (FTail ? FTail->FJoinNext : FHead) = G;
  FTail = G;
  ++FCount;
  G->FJoinedTo.store(this, std::memory_order_relaxed);
  return FOnUpdate;
}

RefPtr<TGevent> TJoiner::Unlink(TRawGreenletImpl* G) {
  std::lock_guard<TReentrantLock> Lock(FLock);
  return Erase(G) ? FOnUpdate : nullptr;
}

bool TJoiner::Erase(TRawGreenletImpl* G) {
  if (G->FJoinedTo.load(std::memory_order_relaxed) != this) return false;
  (G->FJoinPrev ? G->FJoinPrev->FJoinNext : FHead) = G->FJoinNext;
  (G->FJoinNext ? G->FJoinNext->FJoinPrev : FTail) = G->FJoinPrev;
  G->FJoinPrev = G->FJoinNext = nullptr;
  --FCount;
  G->FJoinedTo.store(nullptr, std::memory_order_relaxed);
  return true;
}

bool TJoiner::Find(TRawGreenletImpl* G, size_t& Index) {
  std::lock_guard<TReentrantLock> Lock(FLock);
  if (G->FJoinedTo.load(std::memory_order_relaxed) != this) return false;
  Index = 0;
  for (TRawGreenletImpl* It = FHead; It != G; It = It->FJoinNext) ++Index;
  return true;
}

size_t TJoiner::Count() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  return FCount;
}

// A listed greenlet whose count is 0 is either on its way out on another
// thread, which destroys it or queues its kill token, or still being
// constructed. It is passed over and stays listed: a reference to it would
// revive what that thread frees, and its own destruction unlists it.
RefPtr<TRawGreenletImpl> TJoiner::TakeFirst() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  for (TRawGreenletImpl* G = FHead; G; G = G->FJoinNext) {
    if (!G->TryAddRef()) continue;
    Erase(G);
    return RefPtr<TRawGreenletImpl>::adopt(G);
  }
  return nullptr;
}

// Each greenlet is taken off the list under the lock and detached outside
// it: detaching takes the greenlet's lock, which comes first.
void TJoiner::Clear() {
  while (RefPtr<TRawGreenletImpl> G = TakeFirst()) G->SetHub(nullptr);
  FOnUpdate->SetEvent();
}

// Killed outside the lock as well: a kill runs the greenlet's own code.
void TJoiner::KillAll() {
  while (RefPtr<TRawGreenletImpl> G = TakeFirst()) {
    G->Kill();
    G->SetHub(nullptr);
  }
}

// ---- TKillToken -----------------------------------------------------------------

TKillToken::TKillToken(TRawGreenletImpl* Killing) : FKilling(Killing) { FKilling->_AddRef(); }

TKillToken::~TKillToken() {
  if (FKilling) Finish();
}

void TKillToken::Finish() {
  FKilling->FForcingKill.store(true);
  const tGreenletState S = FKilling->GetState();
  if (S == gsExecute || S == gsSuspended) FKilling->Kill();
  FKilling->_Release();
}

void TKillToken::DoIt() {
  Finish();
  FKilling = nullptr;
}

}  // namespace green
