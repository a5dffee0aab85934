// The registry of default hubs, one per thread, and the hub unit's
// start-up and shut-down.
#include <atomic>
#include <mutex>
#include <unordered_map>

#include "hub/Hub.h"
#include "hub/HubList.h"
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

// The calling thread's own default hub, remembered per thread: every wait
// and wake-up asks for it. A hub leaving the registry (from any thread)
// bumps the generation, which invalidates every remembered one.
static std::atomic<uint64_t> DefHubsGeneration{0};

namespace {
struct TOwnDefHub {
  TSingleThreadHub* Hub = nullptr;
  uint64_t Generation = 0;
};
constinit thread_local TOwnDefHub OwnDefHub;
}  // namespace

// The hub serving on this thread, if one is; the lookups of the current hub
// sit beside the remembered default hub, so that the common answer is a
// few loads with no call.
namespace {
constinit thread_local TCustomHub* CurrentHub = nullptr;

TSingleThreadHub* RememberedDefHub() {
  return OwnDefHub.Hub && OwnDefHub.Generation == DefHubsGeneration.load(std::memory_order_acquire)
             ? OwnDefHub.Hub
             : nullptr;
}
}  // namespace

TCurrentHubScope::TCurrentHubScope(TCustomHub* Hub) : FSaved(CurrentHub) { CurrentHub = Hub; }
TCurrentHubScope::~TCurrentHubScope() { CurrentHub = FSaved; }
void ClearCurrentHub() { CurrentHub = nullptr; }

TCustomHub* GetCurrentHub() {
  if (CurrentHub) return CurrentHub;
  if (TSingleThreadHub* Hub = RememberedDefHub()) return Hub;
  return DefHub(0);
}

TCustomHub* GetCurrentHubIfAny() {
  if (CurrentHub) return CurrentHub;
  if (TSingleThreadHub* Hub = RememberedDefHub()) return Hub;
  return OwnDefHubIfAny();
}

TSingleThreadHub* DefHub(uint32_t ThreadID) {
  const bool Own = ThreadID == 0;
  const uint64_t Gen = DefHubsGeneration.load(std::memory_order_acquire);
  if (Own) {
    if (OwnDefHub.Hub && OwnDefHub.Generation == Gen) return OwnDefHub.Hub;
    ThreadID = os::CurrentThreadId();
  }
  if (!DefHubs) return nullptr;
  TSingleThreadHub* Result;
  {
    std::lock_guard<std::mutex> Lock(*DefHubsLock);
    auto& Hub = (*DefHubs)[ThreadID];
    if (!Hub) {
      // A hub that cannot be made (no descriptor for its event, say) leaves
      // no empty entry behind.
      try {
        Hub = new TSingleThreadHub;
      } catch (...) {
        DefHubs->erase(ThreadID);
        throw;
      }
      Hub->FIsDef = true;
      Hub->FThreadId = ThreadID;
      MarkDefaultHub(Hub);
    }
    Result = Hub;
  }
  if (Own) OwnDefHub = {Result, Gen};
  return Result;
}

TSingleThreadHub* OwnDefHubIfAny() {
  if (TSingleThreadHub* Hub = RememberedDefHub()) return Hub;
  if (!DefHubs) return nullptr;
  std::lock_guard<std::mutex> Lock(*DefHubsLock);
  auto It = DefHubs->find(os::CurrentThreadId());
  return It == DefHubs->end() ? nullptr : It->second;
}

void ForgetDefHub(TSingleThreadHub* Hub) {
  if (!DefHubsLock) return;
  std::lock_guard<std::mutex> Lock(*DefHubsLock);
  auto It = DefHubs->find(Hub->ThreadId());
  if (It != DefHubs->end() && It->second == Hub) DefHubs->erase(It);
  DefHubsGeneration.fetch_add(1, std::memory_order_acq_rel);
}

void FinalizeDefHubList() {
  if (!DefHubs) return;
  std::unordered_map<uint32_t, TSingleThreadHub*> Hubs;
  {
    std::lock_guard<std::mutex> Lock(*DefHubsLock);
    Hubs.swap(*DefHubs);
    DefHubsGeneration.fetch_add(1, std::memory_order_acq_rel);
  }
  // Destroyed outside the lock: tearing a hub down may look up hubs again.
  for (auto& [id, hub] : Hubs) {
    hub->FIsDef = false;
    delete hub;
  }
  auto* Map = DefHubs;
  auto* Lock = DefHubsLock;
  DefHubs = nullptr;
  DefHubsLock = nullptr;
  delete Map;
  delete Lock;
}

}  // namespace green
