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
  std::lock_guard<TReentrantLock> Lock(FLock);
  for (TRawGreenletImpl* G = FHead; G; G = G->FJoinNext) {
    const TWaitNote& N = G->FWaitNote;
    TGreenletRow Row{G,
                     G->FClassName.load(std::memory_order_acquire),
                     {},
                     // Not virtual: only the base is sure to be there.
                     G->TRawGreenletImpl::GetState(),
                     N.Kind.load(std::memory_order_relaxed),
                     N.Object.load(std::memory_order_relaxed),
                     N.Handle.load(std::memory_order_relaxed),
                     N.Deadline.load(std::memory_order_relaxed),
                     N.Since.load(std::memory_order_relaxed)};
    {
      std::lock_guard<std::mutex> Name(G->FNameLock);
      Row.Name = G->FName;
    }
    Out.push_back(std::move(Row));
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
  std::vector<THubRow> Hubs;
  VisitHubs([&](const THubEntry& E) {
    Hubs.push_back({E.Hub, E.Hub->ThreadId(), E.Default, {}});
    if (E.Greenlets) static_cast<TJoiner*>(E.Greenlets)->Describe(Hubs.back().Greenlets);
  });
  return Hubs;
}

// ---- the text -----------------------------------------------------------------------

const char* StateName(tGreenletState S) {
  static const char* const kNames[] = {"gsReady",     "gsExecute",   "gsTerminated", "gsKilled",
                                       "gsException", "gsSuspended", "gsKilling"};
  return S < sizeof kNames / sizeof kNames[0] ? kNames[S] : "?";
}

std::string ClassOf(const char* Mangled) {
  if (!Mangled) return "(not started)";
  std::string Name = Mangled;
#if defined(__GNUG__)
  int Status = 0;
  if (char* Plain = abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status)) {
    if (Status == 0) Name = Plain;
    std::free(Plain);
  }
#endif
  for (size_t At; (At = Name.find("green::")) != std::string::npos;) Name.erase(At, 7);
  return Name;
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
  std::string Line = "  greenlet " + DumpAddress(G.Address) + " " + ClassOf(G.Class);
  if (!G.Name.empty()) Line += " \"" + G.Name + "\"";
  Line += " ";
  Line += StateName(G.State);
  Line += WaitText(G, Now);
  if (G.Since != 0) Line += Format(", %" PRId64 " ms since its last switch", Millis(CoarseNow - G.Since));
  return Line + "\n";
}

}  // namespace

// For the hub watchdog (HubWatchdog.cpp), under the hub list's lock.
std::string DescribeListedGreenlet(TObject* Joiner, const void* G) {
  if (!Joiner) return {};
  std::vector<TGreenletRow> Rows;
  static_cast<TJoiner*>(Joiner)->Describe(Rows);
  for (const TGreenletRow& R : Rows) {
    if (R.Address != G) continue;
    std::string Text = "greenlet " + DumpAddress(G) + " " + ClassOf(R.Class);
    if (!R.Name.empty()) Text += " \"" + R.Name + "\"";
    return Text;
  }
  return {};
}

std::string DumpGreenlets() {
  const std::vector<THubRow> Hubs = CopyHubs();
  const int64_t Now = os::MonotonicNanos();
  const int64_t CoarseNow = os::CoarseMonotonicNanos();
  std::string Out;
  for (const THubRow& H : Hubs) {
    Out += "hub " + DumpAddress(H.Hub) + (H.Default ? " (default), " : ", ");
    Out += H.ThreadId ? Format("thread %" PRIu32, H.ThreadId) : std::string("not serving");
    Out += Format(": %u greenlet%s\n", static_cast<unsigned>(H.Greenlets.size()),
                  H.Greenlets.size() == 1 ? "" : "s");
    for (const TGreenletRow& G : H.Greenlets) Out += GreenletLine(G, Now, CoarseNow);
  }
  return Out;
}

}  // namespace green
