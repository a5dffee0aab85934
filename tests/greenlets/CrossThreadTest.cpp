// Greenlets reached from other threads: the proxy, deferred destruction
// through the kill token, and the joiner of each hub.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "gc/PasMP.h"
#include "gevent/Gevent.h"
#include "hub/Hub.h"
#include "platform/Thread.h"
#include "support/TestGreenlet.h"
#include "tests/gc/StartLine.h"

namespace green {
namespace {

using test::Spawn;

// A thread serving its own default hub until told to stop.
class THubThread {
 public:
  THubThread() {
    FThread = std::thread([this] {
      FHub = DefHub(0);
      FReady.SetEvent();
      while (!FStop.load()) FHub->Serve(INFINITE);
    });
    FReady.WaitFor(INFINITE);
  }
  ~THubThread() {
    Run([this] { FStop = true; });
    FThread.join();
    delete FHub;
  }
  TSingleThreadHub* Hub() { return FHub; }

  // Runs F on the hub's thread and waits until it ran.
  template <class F>
  void Run(F f) {
    struct TCall {
      F f;
      TGevent done;
    } call{std::move(f), TGevent(true, false)};
    FHub->EnqueueTask(
        [](void* p) {
          auto* c = static_cast<TCall*>(p);
          c->f();
          c->done.SetEvent();
        },
        &call);
    while (call.done.WaitFor(INFINITE) != wrSignaled) {
    }
  }

 private:
  std::thread FThread;
  TSingleThreadHub* FHub = nullptr;
  TGevent FReady{true, false};
  std::atomic<bool> FStop{false};
};

// Waits on a greenlet's termination from the calling thread.
void AwaitEnd(TRawGreenletImpl* G) {
  while (G->GetOnTerminate()->WaitFor(10000) != wrSignaled) ADD_FAILURE() << "no end";
}

TEST(GreenletProxy, PulseRunsAReadyGreenletOnItsOwnHub) {
  THubThread other;
  std::atomic<uint32_t> ranOn{0};
  RefPtr<test::TLambdaGreenlet> g;
  other.Run([&] { g = Spawn([&] { ranOn = os::CurrentThreadId(); }); });
  EXPECT_EQ(g->GetProxy()->GetHub(), other.Hub());
  g->GetProxy()->Pulse();
  AwaitEnd(g.get());
  EXPECT_NE(ranOn.load(), os::CurrentThreadId());
  other.Run([&] { g.reset(); });
}

TEST(GreenletProxy, DelayedSwitchNeverSwitchesBeforeReturning) {
  bool ran = false;
  auto g = Spawn([&] { ran = true; });
  g->GetProxy()->DelayedSwitch();
  EXPECT_FALSE(ran);
  DefHub(0)->ServeTaskQueue();
  EXPECT_TRUE(ran);
}

TEST(GreenletProxy, KillFromAnotherThreadEndsTheGreenletOnItsHub) {
  THubThread other;
  RefPtr<test::TLambdaGreenlet> g;
  std::atomic<bool> unwoundOnOwner{false};
  other.Run([&] {
    g = Spawn([&] {
      struct TOnUnwind {
        std::atomic<bool>* flag;
        uint32_t owner = os::CurrentThreadId();
        ~TOnUnwind() { *flag = os::CurrentThreadId() == owner; }
      } u{&unwoundOnOwner};
      for (;;) TRawGreenletImpl::GetCurrent()->Yield();
    });
    g->Switch();
  });
  g->Kill();
  AwaitEnd(g.get());
  EXPECT_EQ(g->GetState(), gsKilled);
  EXPECT_TRUE(unwoundOnOwner);
  other.Run([&] { g.reset(); });
}

TEST(GreenletProxy, EmptyProxyAfterTheGreenletIsGone) {
  RefPtr<IGreenletProxy> proxy;
  {
    auto g = Spawn([] {});
    proxy = g->GetProxy();
  }
  EXPECT_EQ(proxy->GetState(), gsTerminated);
  EXPECT_EQ(proxy->GetHub(), nullptr);
  proxy->Kill();
  proxy->Resume();
  proxy->Pulse();
  EXPECT_FALSE(DefHub(0)->ServeTaskQueue());
}

TEST(KillToken, LastReferenceDroppedOnAForeignThreadDestroysOnTheOwner) {
  THubThread other;
  std::atomic<uint32_t> destroyedOn{0};
  std::atomic<bool> unwound{false};
  struct TTracked : test::TLambdaGreenlet {
    std::atomic<uint32_t>* on;
    TTracked(std::atomic<uint32_t>* o, std::function<void()> body)
        : TLambdaGreenlet(std::move(body)), on(o) {}
    ~TTracked() override { *on = os::CurrentThreadId(); }
  };
  RefPtr<TRawGreenletImpl> g;
  other.Run([&] {
    g = RefPtr<TRawGreenletImpl>(new TTracked(&destroyedOn, [&] {
      struct TOnUnwind {
        std::atomic<bool>* flag;
        ~TOnUnwind() { *flag = true; }
      } u{&unwound};
      for (;;) TRawGreenletImpl::GetCurrent()->Yield();
    }));
    g->Switch();
  });
  uint32_t ownerId = 0;
  other.Run([&] { ownerId = os::CurrentThreadId(); });
  g.reset();  // on this thread, a foreign one
  other.Run([] {});  // the token's task ran before this one
  EXPECT_TRUE(unwound);
  EXPECT_EQ(destroyedOn.load(), ownerId);
}

// A greenlet makes its end event on first use: a waiter on another thread
// makes it while the greenlet may be ending on its hub, and must hear every
// end. The waiter's delay follows the greenlet's end, up when it came too
// late and down when too early, so that rounds hover about the moment.
TEST(GreenletEvents, EndEventMadeWhileTheGreenletEndsIsSignalled) {
#if defined(__SANITIZE_THREAD__) || defined(_WIN32)
  constexpr int kRounds = 150;
#else
  constexpr int kRounds = 500;
#endif
  constexpr auto kLost = std::chrono::milliseconds(2000);
  THubThread b;
  int lost = 0, delay = 0;
  for (int r = 0; r < kRounds && lost == 0; ++r) {
    RefPtr<test::TLambdaGreenlet> g;
    b.Run([&] { g = Spawn([] {}); });
    g->GetProxy()->Pulse();
    for (int i = delay; i > 0; --i) TPasMP::Relax();
    const bool early = g->GetState() != gsTerminated;
    delay = std::max(0, delay + (early ? 64 : -64) + (r % 7) - 3);
    const auto start = std::chrono::steady_clock::now();
    const bool ended = g->GetOnTerminate()->WaitFor(2000) == wrSignaled;
    if (!ended || std::chrono::steady_clock::now() - start >= kLost) ++lost;
  }
  EXPECT_EQ(lost, 0);
}

TEST(Joiner, FollowsGreenletsAcrossCreationMoveAndDestruction) {
  TSingleThreadHub a, b;
  TJoiner* ja = TRawGreenletImpl::GetJoiner(&a);
  TJoiner* jb = TRawGreenletImpl::GetJoiner(&b);
  size_t index;
  {
    auto g = Spawn([] {});
    g->SetHub(&a);
    EXPECT_TRUE(ja->Find(g.get(), index));
    g->SetHub(&b);
    EXPECT_FALSE(ja->Find(g.get(), index));
    EXPECT_TRUE(jb->Find(g.get(), index));
  }
  EXPECT_EQ(jb->Count(), 1u) << "dropped off its hub's thread: destroyed by b's next pass";
  b.ServeTaskQueue();
  EXPECT_EQ(jb->Count(), 0u);
}

TEST(Joiner, KillAllKillsWaitingGreenletsAndEmptiesTheList) {
  TSingleThreadHub* hub = DefHub(0);
  TJoiner* joiner = TRawGreenletImpl::GetJoiner(hub);
  const size_t before = joiner->Count();
  auto ev = MakeRef<TGevent>(false, false);
  auto g1 = Spawn([&] { ev->WaitFor(INFINITE); });
  auto g2 = Spawn([&] { ev->WaitFor(INFINITE); });
  g1->Switch();
  g2->Switch();
  EXPECT_EQ(joiner->Count(), before + 2);
  joiner->KillAll();
  EXPECT_EQ(g1->GetState(), gsKilled);
  EXPECT_EQ(g2->GetState(), gsKilled);
  EXPECT_EQ(joiner->Count(), 0u);
  EXPECT_EQ(g1->GetHub(), nullptr);
}

TEST(Joiner, ClearDetachesEveryGreenletOnce) {
  TSingleThreadHub hub;
  auto g1 = Spawn([] {});
  auto g2 = Spawn([] {});
  auto g3 = Spawn([] {});
  for (auto* g : {g1.get(), g2.get(), g3.get()}) g->SetHub(&hub);
  TJoiner* joiner = TRawGreenletImpl::GetJoiner(&hub);
  EXPECT_EQ(joiner->Count(), 3u);
  joiner->Clear();
  EXPECT_EQ(joiner->Count(), 0u);
  for (auto* g : {g1.get(), g2.get(), g3.get()}) EXPECT_EQ(g->GetHub(), nullptr);
}

// Between the release of its last reference on some thread and what that
// thread does next (destroy it, or queue its kill token), a greenlet is
// still listed with a count of 0. KillAll must not take it up.
TEST(Joiner, KillAllLeavesAloneAGreenletWhoseCountIsAlreadyZero) {
  struct TTracked : test::TLambdaGreenlet {
    bool* Destroyed;
    explicit TTracked(bool* D) : TLambdaGreenlet([] {}), Destroyed(D) {}
    ~TTracked() override { *Destroyed = true; }
  };
  TSingleThreadHub hub;
  bool destroyed = false;
  auto* dying = new TTracked(&destroyed);  // never counted: its count is 0
  dying->SetHub(&hub);
  TJoiner* joiner = TRawGreenletImpl::GetJoiner(&hub);
  joiner->KillAll();
  EXPECT_FALSE(destroyed) << "KillAll took a reference to it and dropped the last one";
  EXPECT_EQ(joiner->Count(), 1u) << "left listed: its own destruction unlists it";
  if (!destroyed) {
    RefPtr<TRawGreenletImpl> last(dying);  // what its releasing thread does
    last->SetHub(nullptr);
  }
  EXPECT_TRUE(destroyed);
  EXPECT_EQ(joiner->Count(), 0u);
}

// Two threads move the same greenlets between two hubs while a third
// pulses them and now and then clears one hub's joiner. Each greenlet must
// end up listed by exactly the joiner of the hub it names.
TEST(HubChange, ConcurrentMovesKeepEveryGreenletInTheJoinerOfItsHub) {
  constexpr int kGreenlets = 2, kRounds = 20000;
  TSingleThreadHub a, b;  // never served: pulses only queue switches on them
  std::vector<RefPtr<test::TLambdaGreenlet>> gs;
  for (int i = 0; i < kGreenlets; ++i) {
    gs.push_back(Spawn([] {}));
    gs.back()->SetHub(&a);
  }
  TStartLine start(3);
  // Each mover alternates its targets, so that nearly every call moves.
  auto mover = [&](TCustomHub* First, TCustomHub* Second) {
    return std::thread([&, First, Second] {
      start.arrive_and_wait();
      for (int r = 0; r < kRounds; ++r)
        for (auto& g : gs) g->SetHub(r % 2 ? Second : First);
    });
  };
  std::thread toA = mover(&a, &b), toB = mover(&b, &a);
  std::thread other([&] {
    start.arrive_and_wait();
    for (int r = 0; r < kRounds / 10; ++r) {
      for (auto& g : gs) g->GetProxy()->Pulse();
      if (r % 100 == 0) TRawGreenletImpl::GetJoiner(&b)->Clear();
    }
  });
  for (auto* t : {&toA, &toB, &other}) t->join();

  TJoiner* ja = TRawGreenletImpl::GetJoiner(&a);
  TJoiner* jb = TRawGreenletImpl::GetJoiner(&b);
  size_t bound = 0, index;
  for (auto& g : gs) {
    TCustomHub* hub = g->GetHub();
    EXPECT_EQ(ja->Find(g.get(), index), hub == &a);
    EXPECT_EQ(jb->Find(g.get(), index), hub == &b);
    bound += hub != nullptr;
  }
  EXPECT_EQ(ja->Count() + jb->Count(), bound);
  for (auto& g : gs) g->SetHub(nullptr);
}

struct TCallbacks : TObject {
  std::vector<int> calls;
  void A() { calls.push_back(1); }
  void B() { calls.push_back(2); }
  void C() { calls.push_back(3); }
};

TEST(Triggers, MatchByCodeAndKeepOrder) {
  TCallbacks obj, other;
  TTriggers t;
  t.OnCb(BindMethod<&TCallbacks::A>(&obj));
  t.OnCb(BindMethod<&TCallbacks::B>(&obj));
  t.OnCb(BindMethod<&TCallbacks::C>(&obj));
  t.OnCb(BindMethod<&TCallbacks::A>(&other));  // same code: not added
  EXPECT_EQ(t.FCollection.size(), 3u);
  t.OffCb(BindMethod<&TCallbacks::B>(&obj));
  t.RaiseAll();
  EXPECT_EQ(obj.calls, (std::vector<int>{1, 3}));
}

}  // namespace
}  // namespace green
