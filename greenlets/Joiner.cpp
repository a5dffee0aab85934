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
  {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    FIndex[G] = FList.insert(FList.end(), G);
  }
  FOnUpdate->SetEvent();
}

bool TJoiner::Erase(TRawGreenletImpl* G) {
  auto it = FIndex.find(G);
  if (it == FIndex.end()) return false;
  FList.erase(it->second);
  FIndex.erase(it);
  return true;
}

void TJoiner::Remove(TRawGreenletImpl* G) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  if (Erase(G)) FOnUpdate->SetEvent();
}

bool TJoiner::Find(TRawGreenletImpl* G, size_t& Index) {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  auto it = FIndex.find(G);
  if (it == FIndex.end()) return false;
  Index = static_cast<size_t>(std::distance(FList.begin(), it->second));
  return true;
}

size_t TJoiner::Count() {
  std::lock_guard<std::recursive_mutex> lock(FLock);
  return FList.size();
}

// Detaching a greenlet removes it from this joiner through HubChanging, so
// the walk takes the first entry until none is left.
void TJoiner::Clear() {
  {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    while (!FList.empty()) {
      TRawGreenletImpl* g = FList.front();
      g->SetHub(nullptr);
      Erase(g);
    }
  }
  FOnUpdate->SetEvent();
}

// Each greenlet is taken off the list under the lock and killed outside
// it: a kill runs the greenlet's own code.
void TJoiner::KillAll() {
  for (;;) {
    RefPtr<TRawGreenletImpl> g;
    {
      std::lock_guard<std::recursive_mutex> lock(FLock);
      if (FList.empty()) return;
      g = FList.front();
      Erase(g.get());
    }
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
