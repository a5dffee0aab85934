// Every live single-thread hub of the process, for reports that any thread
// may ask for (DumpGreenlets). A hub joins the list when it is constructed
// and leaves it first thing when it is destroyed; while the list's lock is
// held, no listed hub finishes its destruction.
#pragma once

#include <cstdint>
#include <functional>

namespace green {

class TCustomHub;
class TObject;
class TSingleThreadHub;

struct THubEntry {
  TSingleThreadHub* Hub = nullptr;
  TObject* Greenlets = nullptr;  // the hub's joiner, which outlives the entry
  bool Default = false;
  uint64_t Serial = 0;  // never given to another hub, unlike the address
};

// Answers the hub's serial number, never 0.
uint64_t RegisterHub(TSingleThreadHub* Hub, TObject* Greenlets);
void UnregisterHub(TSingleThreadHub* Hub);
void MarkDefaultHub(TSingleThreadHub* Hub);
// Whether the hub registered with Serial is still listed, for a holder of a
// pointer to a hub that may have gone since (the pointer is only compared).
bool IsLiveHub(const TCustomHub* Hub, uint64_t Serial);
// Calls Visit for each listed hub, in order of construction, under the
// list's lock: Visit only copies, and takes no lock but leaf locks.
void VisitHubs(const std::function<void(const THubEntry&)>& Visit);

}  // namespace green
