// Destroying a hub: the greenlets bound to it are detached, and the tasks
// still queued on it are dealt with while the whole hub is there.
#include <gtest/gtest.h>

#include <thread>

#include "gevent/Gevent.h"
#include "hub/Hub.h"
#include "support/TestGreenlet.h"

namespace green {
namespace {

using test::Spawn;

void SwitchInto(void* G) { static_cast<TRawGreenletImpl*>(G)->Switch(); }

// Counts the hub changes of the greenlets it is registered with.
struct THubChanges : TObject {
  int Count = 0;
  void Changed() { ++Count; }
};

TEST(HubDestruction, DetachesEveryBoundGreenletExactlyOnce) {
  THubChanges changes;
  auto ev = MakeRef<TGevent>(false, false);
  auto ready = Spawn([] {});
  auto waiting = Spawn([&] { ev->WaitFor(INFINITE); });
  auto* hub = new TSingleThreadHub;
  for (auto* g : {ready.get(), waiting.get()}) {
    g->SetHub(hub);
    g->HubTriggers().OnCb(BindMethod<&THubChanges::Changed>(&changes));
  }
  hub->EnqueueTask(&SwitchInto, waiting.get());
  hub->Serve(0);
  ASSERT_EQ(waiting->GetState(), gsSuspended);
  delete hub;
  EXPECT_EQ(ready->GetHub(), nullptr);
  EXPECT_EQ(waiting->GetHub(), nullptr);
  EXPECT_EQ(changes.Count, 2);
}

// The kill token of a greenlet whose last reference went on another thread
// is still queued when the hub goes. Finishing the greenlet ends its timed
// wait, whose clean-up destroys a timeout of that hub.
TEST(HubDestruction, FinishesQueuedKillTokensWhileTheHubIsWhole) {
  auto ev = MakeRef<TGevent>(false, false);
  bool unwound = false;
  RefPtr<TRawGreenletImpl> g = Spawn([&] {
    struct TOnUnwind {
      bool* Flag;
      ~TOnUnwind() { *Flag = true; }
    } onUnwind{&unwound};
    ev->WaitFor(60000);
  });
  auto* hub = new TSingleThreadHub;
  g->SetHub(hub);
  hub->EnqueueTask(&SwitchInto, g.get());
  hub->Serve(0);
  ASSERT_EQ(g->GetState(), gsSuspended);
  std::thread([&] { g.reset(); }).join();
  EXPECT_FALSE(unwound) << "the token waits for the hub";
  delete hub;
  EXPECT_TRUE(unwound);
  EXPECT_EQ(ev->WaiterCount(), 0u);
}

}  // namespace
}  // namespace green
