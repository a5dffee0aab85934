#include "hub/HubList.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "greenlets/HubWatchdog.h"
#include "hub/Hub.h"

namespace green {

namespace {

struct THubList {
  std::mutex Lock;
  std::vector<THubEntry> Entries;
  uint64_t LastSerial = 0;
};

// Never freed: default hubs are destroyed at the very end of the process.
// Debuggers find the list by this name (tools/gdb/green-gdb.py).
THubList* GHubList = nullptr;

THubList& Hubs() {
  static THubList* list = GHubList = new THubList;
  return *list;
}

}  // namespace

uint64_t RegisterHub(TSingleThreadHub* Hub, TObject* Greenlets) {
  StartHubWatchdogFromEnvironment();
  THubList& L = Hubs();
  std::lock_guard<std::mutex> Lock(L.Lock);
  L.Entries.push_back({Hub, Greenlets, false, ++L.LastSerial});
  return L.LastSerial;
}

void UnregisterHub(TSingleThreadHub* Hub) {
  THubList& L = Hubs();
  std::lock_guard<std::mutex> Lock(L.Lock);
  auto It = std::find_if(L.Entries.begin(), L.Entries.end(),
                         [Hub](const THubEntry& E) { return E.Hub == Hub; });
  if (It != L.Entries.end()) L.Entries.erase(It);
}

void MarkDefaultHub(TSingleThreadHub* Hub) {
  THubList& L = Hubs();
  std::lock_guard<std::mutex> Lock(L.Lock);
  for (THubEntry& E : L.Entries)
    if (E.Hub == Hub) E.Default = true;
}

bool IsLiveHub(const TCustomHub* Hub, uint64_t Serial) {
  THubList& L = Hubs();
  std::lock_guard<std::mutex> Lock(L.Lock);
  return std::any_of(L.Entries.begin(), L.Entries.end(), [&](const THubEntry& E) {
    return E.Serial == Serial && static_cast<const TCustomHub*>(E.Hub) == Hub;
  });
}

void VisitHubs(const std::function<void(const THubEntry&)>& Visit) {
  THubList& L = Hubs();
  std::lock_guard<std::mutex> Lock(L.Lock);
  for (const THubEntry& E : L.Entries) Visit(E);
}

}  // namespace green
