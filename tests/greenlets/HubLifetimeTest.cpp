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
  THubChanges Changes;
  auto Ev = MakeRef<TGevent>(false, false);
  auto Ready = Spawn([] {});
  auto Waiting = Spawn([&] { Ev->WaitFor(INFINITE); });
  auto* Hub = new TSingleThreadHub;
  for (auto* G : {Ready.get(), Waiting.get()}) {
    G->SetHub(Hub);
    G->HubTriggers().OnCb(BindMethod<&THubChanges::Changed>(&Changes));
  }
  Hub->EnqueueTask(&SwitchInto, Waiting.get());
  Hub->Serve(0);
  ASSERT_EQ(Waiting->GetState(), gsSuspended);
  delete Hub;
  EXPECT_EQ(Ready->GetHub(), nullptr);
  EXPECT_EQ(Waiting->GetHub(), nullptr);
  EXPECT_EQ(Changes.Count, 2);
}

// The kill token of a greenlet whose last reference went on another thread
// is still queued when the hub goes. Finishing the greenlet ends its timed
// wait, whose clean-up destroys a timeout of that hub.
TEST(HubDestruction, FinishesQueuedKillTokensWhileTheHubIsWhole) {
  auto Ev = MakeRef<TGevent>(false, false);
  bool Unwound = false;
  RefPtr<TRawGreenletImpl> G = Spawn([&] {
    struct TOnUnwind {
      bool* Flag;
      ~TOnUnwind() { *Flag = true; }
    } OnUnwind{&Unwound};
    Ev->WaitFor(60000);
  });
  auto* Hub = new TSingleThreadHub;
  G->SetHub(Hub);
  Hub->EnqueueTask(&SwitchInto, G.get());
  Hub->Serve(0);
  ASSERT_EQ(G->GetState(), gsSuspended);
  std::thread([&] { G.reset(); }).join();
  EXPECT_FALSE(Unwound) << "the token waits for the hub";
  delete Hub;
  EXPECT_TRUE(Unwound);
  EXPECT_EQ(Ev->WaiterCount(), 0u);
}

}  // namespace
}  // namespace green
