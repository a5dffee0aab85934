// The lock-free emission of a gevent (TGevent::FListeners): an emission
// that finds no listener takes no lock and only stores the signal, so a
// registration that races with it must find the signal in its re-check.
// Each test races one registration with one SetEvent from another thread,
// round after round; a lost wake shows as a wait that runs out.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "gc/PasMP.h"
#include "gevent/Gevent.h"
#include "hub/Hub.h"

namespace green {
namespace {

// Enough rounds to hit the window of a few instructions many times (a
// check made before the count misses a wake within some thousand rounds),
// few enough for a loaded machine under a sanitizer or Wine.
#if defined(__SANITIZE_THREAD__) || defined(_WIN32)
constexpr int kRounds = 5000;
#else
constexpr int kRounds = 20000;
#endif
// Long enough for any honest wake, on a loaded machine under a sanitizer.
// A lost wake shows as a wait that runs to its deadline: the signal is
// still found then, and the result alone would not tell.
constexpr uint32_t kLostAfterMs = 2000;

template <class F>
bool RanToDeadline(F Wait) {
  const auto Start = std::chrono::steady_clock::now();
  const bool Signaled = Wait();
  return !Signaled || std::chrono::steady_clock::now() - Start >=
                          std::chrono::milliseconds(kLostAfterMs);
}

// The signaller sets the round's gevent as soon as the round is announced,
// after a delay that sweeps over the waiter's registration round by round.
class TRacer {
 public:
  explicit TRacer(TGevent* Ev) : FEv(Ev), FThread([this] { Run(); }) {}
  ~TRacer() {
    FStop.store(true);
    FThread.join();
  }
  void Start(int Round) { FGo.store(Round, std::memory_order_seq_cst); }
  // Waits until the round's SetEvent returned.
  void Finish(int Round) {
    while (FDone.load(std::memory_order_acquire) != Round) std::this_thread::yield();
  }

 private:
  void Run() {
    for (int R = 0;; ++R) {
      while (FGo.load(std::memory_order_acquire) != R)
        if (FStop.load(std::memory_order_relaxed)) return;
      for (int I = (R * 7) % 512; I > 0; --I) TPasMP::Relax();
      FEv->SetEvent();
      FDone.store(R, std::memory_order_release);
    }
  }

  TGevent* FEv;
  std::atomic<int> FGo{-1};
  std::atomic<int> FDone{-1};
  std::atomic<bool> FStop{false};
  std::thread FThread;
};

TEST(ListenerRace, RegisterRacesSetEvent) {
  auto Ev = MakeRef<TGevent>(false, false);
  TRacer Racer(Ev.get());
  int Lost = 0;
  for (int R = 0; R < kRounds && Lost == 0; ++R) {
    Racer.Start(R);
    if (RanToDeadline([&] { return Ev->WaitFor(kLostAfterMs) == wrSignaled; })) ++Lost;
    Racer.Finish(R);
    EXPECT_FALSE(Ev->IsSignaled()) << "round " << R << ": the wait consumed the signal";
  }
  EXPECT_EQ(Lost, 0) << "a SetEvent racing the registration of a wait was lost";
}

TEST(ListenerRace, AssociateRacesSetEvent) {
  auto Ev = MakeRef<TGevent>(false, false);
  TRacer Racer(Ev.get());
  int Lost = 0;
  for (int R = 0; R < kRounds && Lost == 0; ++R) {
    int32_t Index = -1;
    Racer.Start(R);
    if (RanToDeadline([&] {
          return TGevent::WaitMultiple({Ev.get()}, Index, kLostAfterMs) == wrSignaled && Index == 0;
        }))
      ++Lost;
    Racer.Finish(R);
    Ev->ClearEmptyDescr();
  }
  EXPECT_EQ(Lost, 0) << "a SetEvent racing an association was lost";
}

}  // namespace
}  // namespace green
