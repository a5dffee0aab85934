#include "hub/HubTimeouts.h"

#include "hub/Hub.h"

namespace green {

void TTimeoutTuple::Trigger() const {
  TCurrentHubScope scope(Hub);
  Cb(Id, Data);
}

void TTimeouts::Initialize() {
  if (!FMap) FMap = std::make_unique<decltype(FMap)::element_type>();
}

bool TTimeouts::Find(THandle Id) const { return FMap && FMap->count(Id) != 0; }

TTimeoutTuple* TTimeouts::Enqueue(THandle Id, TInervalCallback Cb, void* Data, TCustomHub* Hub) {
  auto& slot = (*FMap)[Id];
  if (!slot) slot = std::make_unique<TTimeoutTuple>();
  *slot = {Id, Cb, Data, Hub};
  return slot.get();
}

// Closing the handle also drops a completion routine the timer had already
// queued, so no routine runs with the freed tuple. Leaving the handle open
// would leak one kernel object per timed wait.
void TTimeouts::Dequeue(THandle Id) {
  if (!FMap) return;
  auto it = FMap->find(Id);
  if (it == FMap->end()) return;
  FMap->erase(it);
  os::CloseHandle(Id);
}

void TTimeouts::Deinitialize() {
  if (!FMap) return;
  while (!FMap->empty()) {
    THandle id = FMap->begin()->first;
    os::CancelWaitableTimer(id);
    Dequeue(id);
  }
  FMap.reset();
}

}  // namespace green
