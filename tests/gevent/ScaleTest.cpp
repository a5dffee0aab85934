// Many greenlets suspended in one wait at once, released by one signal, and
// what a greenlet does when the system refuses its fiber.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gevent/Gevent.h"
#include "greenlets/Greenlets.h"
#include "hub/Hub.h"
#include "support/LiveFibers.h"
#include "support/TestGreenlet.h"

namespace green {
namespace {

// ThreadSanitizer keeps about a megabyte of state per fiber.
#if defined(__SANITIZE_THREAD__)
constexpr int kGreenlets = 1000;
#else
constexpr int kGreenlets = 10000;
#endif

TEST(Scale, TenThousandGreenletsWaitOnOneGevent) {
  // Spawning stops at the first greenlet whose fiber the platform refuses
  // (32-bit Wine holds a few thousand); that refusal must be a clean
  // exception, and every greenlet spawned before it must still wake, be
  // joined and be freed.
  auto Ev = MakeRef<TGevent>(true, false);
  int Woken = 0;
  std::vector<RefPtr<IRawGreenlet>> Greenlets;
  Greenlets.reserve(kGreenlets);
  std::string Refusal;
  for (int I = 0; I < kGreenlets && Refusal.empty(); ++I) {
    auto G = test::Spawn([&] {
      if (Ev->WaitFor(INFINITE) == wrSignaled) ++Woken;
    });
    try {
      G->Switch();
      Greenlets.push_back(std::move(G));
    } catch (const Exception& E) {
      Refusal = E.Message();
      EXPECT_EQ(G->GetState(), gsReady) << "a refused greenlet never ran";
    }
  }
  const int Spawned = static_cast<int>(Greenlets.size());
  test::ReportLiveFibers("greenlets", Spawned, kGreenlets);
  RecordProperty("greenlets_spawned", Spawned);
  if (!Refusal.empty()) {
    EXPECT_EQ(Refusal.rfind("Cannot create the greenlet's fiber: ", 0), 0u) << Refusal;
  }
  EXPECT_EQ(Ev->WaiterCount(), static_cast<size_t>(Spawned));
  Ev->SetEvent();
  EXPECT_TRUE(Join(Greenlets, 60000)) << "every greenlet spawned ends";
  EXPECT_EQ(Woken, Spawned);
  for (auto& G : Greenlets) EXPECT_EQ(G->GetState(), gsTerminated);
  // Freed before the verdict: later tests need the address space for threads.
  Greenlets.clear();
  EXPECT_GE(Spawned, test::RequiredLiveFibers(kGreenlets)) << Refusal;
}

// Asks for a stack that no system grants, so that its fiber is refused.
class TUnstackableGreenlet : public test::TLambdaGreenlet {
 public:
  using TLambdaGreenlet::TLambdaGreenlet;
  size_t GetStackSize() override { return SIZE_MAX / 2; }
};

TEST(Scale, RefusedFiberIsACleanErrorAndTheThreadCarriesOn) {
  auto Ev = MakeRef<TGevent>(true, false);
  bool Waited = false;
  auto Waiter = test::Spawn([&] { Waited = Ev->WaitFor(INFINITE) == wrSignaled; });
  Waiter->Switch();
  bool Ran = false;
  std::string FromGreenlet;
  auto Spawner = test::Spawn([&] {
    // Refused inside a greenlet: the error is that greenlet's to handle.
    RefPtr<TUnstackableGreenlet> Inner(new TUnstackableGreenlet([&] { Ran = true; }));
    try {
      Inner->Switch();
    } catch (const Exception& E) {
      FromGreenlet = E.Message();
    }
  });
  Spawner->Switch();
  EXPECT_EQ(Spawner->GetState(), gsTerminated);
  EXPECT_EQ(FromGreenlet.rfind("Cannot create the greenlet's fiber: ", 0), 0u) << FromGreenlet;

  // Refused on the root context: the greenlet stays unstarted and can go.
  RefPtr<TUnstackableGreenlet> G(new TUnstackableGreenlet([&] { Ran = true; }));
  EXPECT_THROW(G->Switch(), Exception);
  EXPECT_EQ(G->GetState(), gsReady);
  G.reset();
  EXPECT_FALSE(Ran);

  // The greenlet that was waiting all along still wakes and ends.
  Ev->SetEvent();
  const TDateTime Deadline = Now() + TimeOut2Time(10000);
  while (Waiter->GetState() != gsTerminated && Now() < Deadline) DefHub(0)->Serve(100);
  EXPECT_EQ(Waiter->GetState(), gsTerminated);
  EXPECT_TRUE(Waited);
}

}  // namespace
}  // namespace green
