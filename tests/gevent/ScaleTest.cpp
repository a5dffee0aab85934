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
  auto ev = MakeRef<TGevent>(true, false);
  int woken = 0;
  std::vector<RefPtr<IRawGreenlet>> greenlets;
  greenlets.reserve(kGreenlets);
  std::string refusal;
  for (int i = 0; i < kGreenlets && refusal.empty(); ++i) {
    auto g = test::Spawn([&] {
      if (ev->WaitFor(INFINITE) == wrSignaled) ++woken;
    });
    try {
      g->Switch();
      greenlets.push_back(std::move(g));
    } catch (const Exception& e) {
      refusal = e.Message();
      EXPECT_EQ(g->GetState(), gsReady) << "a refused greenlet never ran";
    }
  }
  const int spawned = static_cast<int>(greenlets.size());
  test::ReportLiveFibers("greenlets", spawned, kGreenlets);
  RecordProperty("greenlets_spawned", spawned);
  if (!refusal.empty()) {
    EXPECT_EQ(refusal.rfind("Cannot create the greenlet's fiber: ", 0), 0u) << refusal;
  }
  EXPECT_EQ(ev->WaiterCount(), static_cast<size_t>(spawned));
  ev->SetEvent();
  EXPECT_TRUE(Join(greenlets, 60000)) << "every greenlet spawned ends";
  EXPECT_EQ(woken, spawned);
  for (auto& g : greenlets) EXPECT_EQ(g->GetState(), gsTerminated);
  // Freed before the verdict: later tests need the address space for threads.
  greenlets.clear();
  EXPECT_GE(spawned, test::RequiredLiveFibers(kGreenlets)) << refusal;
}

// Asks for a stack that no system grants, so that its fiber is refused.
class TUnstackableGreenlet : public test::TLambdaGreenlet {
 public:
  using TLambdaGreenlet::TLambdaGreenlet;
  size_t GetStackSize() override { return SIZE_MAX / 2; }
};

TEST(Scale, RefusedFiberIsACleanErrorAndTheThreadCarriesOn) {
  auto ev = MakeRef<TGevent>(true, false);
  bool waited = false;
  auto waiter = test::Spawn([&] { waited = ev->WaitFor(INFINITE) == wrSignaled; });
  waiter->Switch();
  bool ran = false;
  std::string fromGreenlet;
  auto spawner = test::Spawn([&] {
    // Refused inside a greenlet: the error is that greenlet's to handle.
    RefPtr<TUnstackableGreenlet> inner(new TUnstackableGreenlet([&] { ran = true; }));
    try {
      inner->Switch();
    } catch (const Exception& e) {
      fromGreenlet = e.Message();
    }
  });
  spawner->Switch();
  EXPECT_EQ(spawner->GetState(), gsTerminated);
  EXPECT_EQ(fromGreenlet.rfind("Cannot create the greenlet's fiber: ", 0), 0u) << fromGreenlet;

  // Refused on the root context: the greenlet stays unstarted and can go.
  RefPtr<TUnstackableGreenlet> g(new TUnstackableGreenlet([&] { ran = true; }));
  EXPECT_THROW(g->Switch(), Exception);
  EXPECT_EQ(g->GetState(), gsReady);
  g.reset();
  EXPECT_FALSE(ran);

  // The greenlet that was waiting all along still wakes and ends.
  ev->SetEvent();
  const TDateTime deadline = Now() + TimeOut2Time(10000);
  while (waiter->GetState() != gsTerminated && Now() < deadline) DefHub(0)->Serve(100);
  EXPECT_EQ(waiter->GetState(), gsTerminated);
  EXPECT_TRUE(waited);
}

}  // namespace
}  // namespace green
