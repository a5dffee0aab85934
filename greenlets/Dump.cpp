// DumpGreenlets: every live greenlet of every hub, copied under the hub
// list's and each joiner's lock and formatted once the locks are left.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#if defined(__GNUG__)
#include <cxxabi.h>
#endif

#include "base/Exception.h"
#include "greenlets/Greenlets.h"
#include "greenlets/GreenletsImpl.h"
#include "hub/Hub.h"
#include "hub/HubList.h"
#include "platform/Clock.h"

namespace green {

// ---- noting waits --------------------------------------------------------------

TWaitScope::TWaitScope(TWaitKind Kind, const void* Object, const TDeadline& Deadline,
                       uintptr_t Handle)
    : TWaitScope(TRawGreenletImpl::GetCurrent(), Kind, Object, Deadline, Handle) {}

TWaitScope::TWaitScope(TRawGreenletImpl* Current, TWaitKind Kind, const void* Object,
                       const TDeadline& Deadline, uintptr_t Handle) {
  if (Current && Current->WaitNote().Begin(Kind, Object, Deadline, Handle))
    FNote = &Current->WaitNote();
}

// ---- the copy ---------------------------------------------------------------------

struct TGreenletRow {
  const void* Address;
  const char* Class;
  std::string Name;
  tGreenletState State;
  TWaitKind Kind;
  const void* Object;
  uintptr_t Handle;
  int64_t Deadline;
  int64_t Since;
};

// A listed greenlet is alive, at least its base: its destruction leaves
// the list under this lock before the base's fields go.
void TJoiner::Describe(std::vector<TGreenletRow>& Out) {
  std::lock_guard<TReentrantLock> lock(FLock);
  for (TRawGreenletImpl* g = FHead; g; g = g->FJoinNext) {
    const TWaitNote& n = g->FWaitNote;
    TGreenletRow row{g,
                     g->FClassName.load(std::memory_order_acquire),
                     {},
                     g->FState.load(std::memory_order_acquire),
                     n.Kind.load(std::memory_order_relaxed),
                     n.Object.load(std::memory_order_relaxed),
                     n.Handle.load(std::memory_order_relaxed),
                     n.Deadline.load(std::memory_order_relaxed),
                     n.Since.load(std::memory_order_relaxed)};
    {
      std::lock_guard<std::mutex> name(g->FNameLock);
      row.Name = g->FName;
    }
    Out.push_back(std::move(row));
  }
}

namespace {

struct THubRow {
  const void* Hub;
  uint32_t ThreadId;
  bool Default;
  std::vector<TGreenletRow> Greenlets;
};

std::vector<THubRow> CopyHubs() {
  std::vector<THubRow> hubs;
  VisitHubs([&](const THubEntry& E) {
    hubs.push_back({E.Hub, E.Hub->ThreadId(), E.Default, {}});
    if (E.Greenlets) static_cast<TJoiner*>(E.Greenlets)->Describe(hubs.back().Greenlets);
  });
  return hubs;
}

// ---- the text -----------------------------------------------------------------------

const char* StateName(tGreenletState S) {
  static const char* const kNames[] = {"gsReady",     "gsExecute",   "gsTerminated", "gsKilled",
                                       "gsException", "gsSuspended", "gsKilling"};
  return S < sizeof kNames / sizeof kNames[0] ? kNames[S] : "?";
}

std::string ClassOf(const char* Mangled) {
  if (!Mangled) return "(not started)";
  std::string name = Mangled;
#if defined(__GNUG__)
  int status = 0;
  if (char* plain = abi::__cxa_demangle(Mangled, nullptr, nullptr, &status)) {
    if (status == 0) name = plain;
    std::free(plain);
  }
#endif
  for (size_t at; (at = name.find("green::")) != std::string::npos;) name.erase(at, 7);
  return name;
}

int64_t Millis(int64_t Nanos) { return Nanos / 1000000; }

}  // namespace

std::string DumpAddress(const void* P) {
  return Format("0x%" PRIxPTR, reinterpret_cast<uintptr_t>(P));
}

namespace {

std::string TimeLeft(const TGreenletRow& G, int64_t Now) {
  if (G.Deadline == 0) return ", no timeout";
  return Format(", %" PRId64 " ms left", Millis(G.Deadline > Now ? G.Deadline - Now : 0));
}

std::string WaitText(const TGreenletRow& G, int64_t Now) {
  switch (G.Kind) {
    case wkGevent:
      return " waits on gevent " + DumpAddress(G.Object) + TimeLeft(G, Now);
    case wkSleep:
      return " sleeps" + TimeLeft(G, Now);
    case wkJoin:
      return " joins greenlet " + DumpAddress(G.Object) + TimeLeft(G, Now);
    case wkIO:
      return Format(" waits for I/O on handle 0x%" PRIxPTR, G.Handle) + TimeLeft(G, Now);
    case wkNone:
      break;
  }
  return "";
}

std::string GreenletLine(const TGreenletRow& G, int64_t Now, int64_t CoarseNow) {
  std::string line = "  greenlet " + DumpAddress(G.Address) + " " + ClassOf(G.Class);
  if (!G.Name.empty()) line += " \"" + G.Name + "\"";
  line += " ";
  line += StateName(G.State);
  line += WaitText(G, Now);
  if (G.Since != 0) line += Format(", %" PRId64 " ms since its last switch", Millis(CoarseNow - G.Since));
  return line + "\n";
}

}  // namespace

// For the hub watchdog (HubWatchdog.cpp), under the hub list's lock.
std::string DescribeListedGreenlet(TObject* Joiner, const void* G) {
  if (!Joiner) return {};
  std::vector<TGreenletRow> rows;
  static_cast<TJoiner*>(Joiner)->Describe(rows);
  for (const TGreenletRow& r : rows) {
    if (r.Address != G) continue;
    std::string text = "greenlet " + DumpAddress(G) + " " + ClassOf(r.Class);
    if (!r.Name.empty()) text += " \"" + r.Name + "\"";
    return text;
  }
  return {};
}

std::string DumpGreenlets() {
  const std::vector<THubRow> hubs = CopyHubs();
  const int64_t now = os::MonotonicNanos();
  const int64_t coarseNow = os::CoarseMonotonicNanos();
  std::string out;
  for (const THubRow& h : hubs) {
    out += "hub " + DumpAddress(h.Hub) + (h.Default ? " (default), " : ", ");
    out += h.ThreadId ? Format("thread %" PRIu32, h.ThreadId) : std::string("not serving");
    out += Format(": %u greenlet%s\n", static_cast<unsigned>(h.Greenlets.size()),
                  h.Greenlets.size() == 1 ? "" : "s");
    for (const TGreenletRow& g : h.Greenlets) out += GreenletLine(g, now, coarseNow);
  }
  return out;
}

}  // namespace green
