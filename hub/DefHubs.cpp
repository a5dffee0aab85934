// The registry of default hubs, one per thread, and the hub unit's
// start-up and shut-down.
#include <mutex>
#include <unordered_map>

#include "hub/Hub.h"
#include "hub/Sock.h"
#include "platform/Thread.h"

namespace green {

bool HubInfrasctuctureEnable = false;

namespace {

std::mutex* DefHubsLock = nullptr;
std::unordered_map<uint32_t, TSingleThreadHub*>* DefHubs = nullptr;

struct THubUnit {
  THubUnit() {
    // The collector's table must outlive every hub.
    GarbageCollectorUnit();
    DefHubsLock = new std::mutex;
    DefHubs = new std::unordered_map<uint32_t, TSingleThreadHub*>;
    HubSocketStartup();
    HubInfrasctuctureEnable = true;
  }
  ~THubUnit() {
    HubInfrasctuctureEnable = false;
    HubSocketShutdown();
    FinalizeDefHubList();
  }
};

THubUnit HubUnit;

}  // namespace

TSingleThreadHub* DefHub(uint32_t ThreadID) {
  if (!DefHubs) return nullptr;
  if (ThreadID == 0) ThreadID = os::CurrentThreadId();
  std::lock_guard<std::mutex> lock(*DefHubsLock);
  auto& hub = (*DefHubs)[ThreadID];
  if (!hub) {
    hub = new TSingleThreadHub;
    hub->FIsDef = true;
    hub->FThreadId = ThreadID;
  }
  return hub;
}

void ForgetDefHub(TSingleThreadHub* Hub) {
  if (!DefHubsLock) return;
  std::lock_guard<std::mutex> lock(*DefHubsLock);
  auto it = DefHubs->find(Hub->ThreadId());
  if (it != DefHubs->end() && it->second == Hub) DefHubs->erase(it);
}

void FinalizeDefHubList() {
  if (!DefHubs) return;
  std::unordered_map<uint32_t, TSingleThreadHub*> hubs;
  {
    std::lock_guard<std::mutex> lock(*DefHubsLock);
    hubs.swap(*DefHubs);
  }
  // Destroyed outside the lock: tearing a hub down may look up hubs again.
  for (auto& [id, hub] : hubs) {
    hub->FIsDef = false;
    delete hub;
  }
  auto* map = DefHubs;
  auto* lock = DefHubsLock;
  DefHubs = nullptr;
  DefHubsLock = nullptr;
  delete map;
  delete lock;
}

}  // namespace green
