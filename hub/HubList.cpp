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
  THubList& l = Hubs();
  std::lock_guard<std::mutex> lock(l.Lock);
  l.Entries.push_back({Hub, Greenlets, false, ++l.LastSerial});
  return l.LastSerial;
}

void UnregisterHub(TSingleThreadHub* Hub) {
  THubList& l = Hubs();
  std::lock_guard<std::mutex> lock(l.Lock);
  auto it = std::find_if(l.Entries.begin(), l.Entries.end(),
                         [Hub](const THubEntry& E) { return E.Hub == Hub; });
  if (it != l.Entries.end()) l.Entries.erase(it);
}

void MarkDefaultHub(TSingleThreadHub* Hub) {
  THubList& l = Hubs();
  std::lock_guard<std::mutex> lock(l.Lock);
  for (THubEntry& e : l.Entries)
    if (e.Hub == Hub) e.Default = true;
}

bool IsLiveHub(const TCustomHub* Hub, uint64_t Serial) {
  THubList& l = Hubs();
  std::lock_guard<std::mutex> lock(l.Lock);
  return std::any_of(l.Entries.begin(), l.Entries.end(), [&](const THubEntry& E) {
    return E.Serial == Serial && static_cast<const TCustomHub*>(E.Hub) == Hub;
  });
}

void VisitHubs(const std::function<void(const THubEntry&)>& Visit) {
  THubList& l = Hubs();
  std::lock_guard<std::mutex> lock(l.Lock);
  for (const THubEntry& e : l.Entries) Visit(e);
}

}  // namespace green
