// The per-hub joiner, trigger lists and the kill token.
#include <algorithm>

#include "gevent/Gevent.h"
#include "greenlets/GreenletsImpl.h"
#include "hub/Hub.h"

namespace green {

// ---- TTriggers ----------------------------------------------------------------

bool TTriggers::Find(const TTaskMethod& Cb, size_t& Index) const {
  for (size_t i = 0; i < FCollection.size(); ++i) {
    if (FCollection[i].Code == Cb.Code) {
      Index = i;
      return true;
    }
  }
  return false;
}

void TTriggers::OnCb(const TTaskMethod& Cb) {
  size_t i;
  if (!Find(Cb, i)) FCollection.push_back(Cb);
}

void TTriggers::OffCb(const TTaskMethod& Cb) {
  size_t i;
  if (Find(Cb, i)) FCollection.erase(FCollection.begin() + static_cast<ptrdiff_t>(i));
}

void TTriggers::RaiseAll() const {
  for (const TTaskMethod& cb : FCollection) cb();
}

// ---- TJoiner --------------------------------------------------------------------

TJoiner::TJoiner() : FOnUpdate(MakeRef<TGevent>(false, false)) {}

TJoiner::~TJoiner() {
  if (HubInfrasctuctureEnable) Clear();
}

void TJoiner::Append(TRawGreenletImpl* G) {
  if (RefPtr<TGevent> updated = Link(G)) updated->SetEvent();
}

void TJoiner::Remove(TRawGreenletImpl* G) {
  if (RefPtr<TGevent> updated = Unlink(G)) updated->SetEvent();
}

RefPtr<TGevent> TJoiner::Link(TRawGreenletImpl* G) {
  std::lock_guard<TReentrantLock> lock(FLock);
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
  std::lock_guard<TReentrantLock> lock(FLock);
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
  std::lock_guard<TReentrantLock> lock(FLock);
  if (G->FJoinedTo.load(std::memory_order_relaxed) != this) return false;
  Index = 0;
  for (TRawGreenletImpl* g = FHead; g != G; g = g->FJoinNext) ++Index;
  return true;
}

size_t TJoiner::Count() {
  std::lock_guard<TReentrantLock> lock(FLock);
  return FCount;
}

// A listed greenlet whose count is 0 is either on its way out on another
// thread, which destroys it or queues its kill token, or still being
// constructed. It is passed over and stays listed: a reference to it would
// revive what that thread frees, and its own destruction unlists it.
RefPtr<TRawGreenletImpl> TJoiner::TakeFirst() {
  std::lock_guard<TReentrantLock> lock(FLock);
  for (TRawGreenletImpl* g = FHead; g; g = g->FJoinNext) {
    if (!g->TryAddRef()) continue;
    Erase(g);
    return RefPtr<TRawGreenletImpl>::adopt(g);
  }
  return nullptr;
}

// Each greenlet is taken off the list under the lock and detached outside
// it: detaching takes the greenlet's lock, which comes first.
void TJoiner::Clear() {
  while (RefPtr<TRawGreenletImpl> g = TakeFirst()) g->SetHub(nullptr);
  FOnUpdate->SetEvent();
}

// Killed outside the lock as well: a kill runs the greenlet's own code.
void TJoiner::KillAll() {
  while (RefPtr<TRawGreenletImpl> g = TakeFirst()) {
    g->Kill();
    g->SetHub(nullptr);
  }
}

// ---- TKillToken -----------------------------------------------------------------

TKillToken::TKillToken(TRawGreenletImpl* Killing) : FKilling(Killing) { FKilling->_AddRef(); }

TKillToken::~TKillToken() {
  if (FKilling) Finish();
}

void TKillToken::Finish() {
  FKilling->FForcingKill.store(true);
  const tGreenletState s = FKilling->GetState();
  if (s == gsExecute || s == gsSuspended) FKilling->Kill();
  FKilling->_Release();
}

void TKillToken::DoIt() {
  Finish();
  FKilling = nullptr;
}

}  // namespace green
