// Every live single-thread hub of the process, for reports that any thread
// may ask for (DumpGreenlets). A hub joins the list when it is constructed
// and leaves it first thing when it is destroyed; while the list's lock is
// held, no listed hub finishes its destruction.
#pragma once

#include <functional>

namespace green {

class TObject;
class TSingleThreadHub;

struct THubEntry {
  TSingleThreadHub* Hub = nullptr;
  TObject* Greenlets = nullptr;  // the hub's joiner, which outlives the entry
  bool Default = false;
};

void RegisterHub(TSingleThreadHub* Hub, TObject* Greenlets);
void UnregisterHub(TSingleThreadHub* Hub);
void MarkDefaultHub(TSingleThreadHub* Hub);
// Calls Visit for each listed hub, in order of construction, under the
// list's lock: Visit only copies, and takes no lock but leaf locks.
void VisitHubs(const std::function<void(const THubEntry&)>& Visit);

}  // namespace green
