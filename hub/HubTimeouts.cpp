#include "hub/HubTimeouts.h"

#include "hub/Hub.h"

namespace green {

void TTimeoutTuple::Trigger() const {
  TCurrentHubScope Scope(Hub);
  Cb(Id, Data);
}

void TTimeouts::Initialize() {
  if (!FMap) FMap = std::make_unique<decltype(FMap)::element_type>();
}

bool TTimeouts::Find(THandle Id) const { return FMap && FMap->count(Id) != 0; }

TTimeoutTuple* TTimeouts::Enqueue(THandle Id, TInervalCallback Cb, void* Data, TCustomHub* Hub) {
  auto& Slot = (*FMap)[Id];
  if (!Slot) Slot = std::make_unique<TTimeoutTuple>();
  *Slot = {Id, Cb, Data, Hub};
  return Slot.get();
}

// Closing the handle also drops a completion routine the timer had already
// queued, so no routine runs with the freed tuple. Leaving the handle open
// would leak one kernel object per timed wait.
void TTimeouts::Dequeue(THandle Id) {
  if (!FMap) return;
  auto It = FMap->find(Id);
  if (It == FMap->end()) return;
  FMap->erase(It);
  os::CloseHandle(Id);
}

void TTimeouts::Deinitialize() {
  if (!FMap) return;
  while (!FMap->empty()) {
    THandle Id = FMap->begin()->first;
    os::CancelWaitableTimer(Id);
    Dequeue(Id);
  }
  FMap.reset();
}

}  // namespace green
