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
  void Run(F Fn) {
    struct TCall {
      F f;
      TGevent done;
    } Call{std::move(Fn), TGevent(true, false)};
    FHub->EnqueueTask(
        [](void* P) {
          auto* C = static_cast<TCall*>(P);
          C->f();
          C->done.SetEvent();
        },
        &Call);
    while (Call.done.WaitFor(INFINITE) != wrSignaled) {
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
  THubThread Other;
  std::atomic<uint32_t> RanOn{0};
  RefPtr<test::TLambdaGreenlet> G;
  Other.Run([&] { G = Spawn([&] { RanOn = os::CurrentThreadId(); }); });
  EXPECT_EQ(G->GetProxy()->GetHub(), Other.Hub());
  G->GetProxy()->Pulse();
  AwaitEnd(G.get());
  EXPECT_NE(RanOn.load(), os::CurrentThreadId());
  Other.Run([&] { G.reset(); });
}

TEST(GreenletProxy, DelayedSwitchNeverSwitchesBeforeReturning) {
  bool Ran = false;
  auto G = Spawn([&] { Ran = true; });
  G->GetProxy()->DelayedSwitch();
  EXPECT_FALSE(Ran);
  DefHub(0)->ServeTaskQueue();
  EXPECT_TRUE(Ran);
}

TEST(GreenletProxy, KillFromAnotherThreadEndsTheGreenletOnItsHub) {
  THubThread Other;
  RefPtr<test::TLambdaGreenlet> G;
  std::atomic<bool> UnwoundOnOwner{false};
  Other.Run([&] {
    G = Spawn([&] {
      struct TOnUnwind {
        std::atomic<bool>* flag;
        uint32_t owner = os::CurrentThreadId();
        ~TOnUnwind() { *flag = os::CurrentThreadId() == owner; }
      } U{&UnwoundOnOwner};
      for (;;) TRawGreenletImpl::GetCurrent()->Yield();
    });
    G->Switch();
  });
  G->Kill();
  AwaitEnd(G.get());
  EXPECT_EQ(G->GetState(), gsKilled);
  EXPECT_TRUE(UnwoundOnOwner);
  Other.Run([&] { G.reset(); });
}

TEST(GreenletProxy, EmptyProxyAfterTheGreenletIsGone) {
  RefPtr<IGreenletProxy> Proxy;
  {
    auto G = Spawn([] {});
    Proxy = G->GetProxy();
  }
  EXPECT_EQ(Proxy->GetState(), gsTerminated);
  EXPECT_EQ(Proxy->GetHub(), nullptr);
  Proxy->Kill();
  Proxy->Resume();
  Proxy->Pulse();
  EXPECT_FALSE(DefHub(0)->ServeTaskQueue());
}

TEST(KillToken, LastReferenceDroppedOnAForeignThreadDestroysOnTheOwner) {
  THubThread Other;
  std::atomic<uint32_t> DestroyedOn{0};
  std::atomic<bool> Unwound{false};
  struct TTracked : test::TLambdaGreenlet {
    std::atomic<uint32_t>* on;
    TTracked(std::atomic<uint32_t>* O, std::function<void()> Body)
        : TLambdaGreenlet(std::move(Body)), on(O) {}
    ~TTracked() override { *on = os::CurrentThreadId(); }
  };
  RefPtr<TRawGreenletImpl> G;
  Other.Run([&] {
    G = RefPtr<TRawGreenletImpl>(new TTracked(&DestroyedOn, [&] {
      struct TOnUnwind {
        std::atomic<bool>* flag;
        ~TOnUnwind() { *flag = true; }
      } U{&Unwound};
      for (;;) TRawGreenletImpl::GetCurrent()->Yield();
    }));
    G->Switch();
  });
  uint32_t OwnerId = 0;
  Other.Run([&] { OwnerId = os::CurrentThreadId(); });
  G.reset();  // on this thread, a foreign one
  Other.Run([] {});  // the token's task ran before this one
  EXPECT_TRUE(Unwound);
  EXPECT_EQ(DestroyedOn.load(), OwnerId);
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
  THubThread B;
  int Lost = 0, Delay = 0;
  for (int R = 0; R < kRounds && Lost == 0; ++R) {
    RefPtr<test::TLambdaGreenlet> G;
    B.Run([&] { G = Spawn([] {}); });
    G->GetProxy()->Pulse();
    for (int I = Delay; I > 0; --I) TPasMP::Relax();
    const bool Early = G->GetState() != gsTerminated;
    Delay = std::max(0, Delay + (Early ? 64 : -64) + (R % 7) - 3);
    const auto Start = std::chrono::steady_clock::now();
    const bool Ended = G->GetOnTerminate()->WaitFor(2000) == wrSignaled;
    if (!Ended || std::chrono::steady_clock::now() - Start >= kLost) ++Lost;
  }
  EXPECT_EQ(Lost, 0);
}

TEST(Joiner, FollowsGreenletsAcrossCreationMoveAndDestruction) {
  TSingleThreadHub A, B;
  TJoiner* Ja = TRawGreenletImpl::GetJoiner(&A);
  TJoiner* Jb = TRawGreenletImpl::GetJoiner(&B);
  size_t Index;
  {
    auto G = Spawn([] {});
    G->SetHub(&A);
    EXPECT_TRUE(Ja->Find(G.get(), Index));
    G->SetHub(&B);
    EXPECT_FALSE(Ja->Find(G.get(), Index));
    EXPECT_TRUE(Jb->Find(G.get(), Index));
  }
  EXPECT_EQ(Jb->Count(), 1u) << "dropped off its hub's thread: destroyed by b's next pass";
  B.ServeTaskQueue();
  EXPECT_EQ(Jb->Count(), 0u);
}

TEST(Joiner, KillAllKillsWaitingGreenletsAndEmptiesTheList) {
  TSingleThreadHub* Hub = DefHub(0);
  TJoiner* Joiner = TRawGreenletImpl::GetJoiner(Hub);
  const size_t Before = Joiner->Count();
  auto Ev = MakeRef<TGevent>(false, false);
  auto G1 = Spawn([&] { Ev->WaitFor(INFINITE); });
  auto G2 = Spawn([&] { Ev->WaitFor(INFINITE); });
  G1->Switch();
  G2->Switch();
  EXPECT_EQ(Joiner->Count(), Before + 2);
  Joiner->KillAll();
  EXPECT_EQ(G1->GetState(), gsKilled);
  EXPECT_EQ(G2->GetState(), gsKilled);
  EXPECT_EQ(Joiner->Count(), 0u);
  EXPECT_EQ(G1->GetHub(), nullptr);
}

TEST(Joiner, ClearDetachesEveryGreenletOnce) {
  TSingleThreadHub Hub;
  auto G1 = Spawn([] {});
  auto G2 = Spawn([] {});
  auto G3 = Spawn([] {});
  for (auto* G : {G1.get(), G2.get(), G3.get()}) G->SetHub(&Hub);
  TJoiner* Joiner = TRawGreenletImpl::GetJoiner(&Hub);
  EXPECT_EQ(Joiner->Count(), 3u);
  Joiner->Clear();
  EXPECT_EQ(Joiner->Count(), 0u);
  for (auto* G : {G1.get(), G2.get(), G3.get()}) EXPECT_EQ(G->GetHub(), nullptr);
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
  TSingleThreadHub Hub;
  bool Destroyed = false;
  auto* Dying = new TTracked(&Destroyed);  // never counted: its count is 0
  Dying->SetHub(&Hub);
  TJoiner* Joiner = TRawGreenletImpl::GetJoiner(&Hub);
  Joiner->KillAll();
  EXPECT_FALSE(Destroyed) << "KillAll took a reference to it and dropped the last one";
  EXPECT_EQ(Joiner->Count(), 1u) << "left listed: its own destruction unlists it";
  if (!Destroyed) {
    RefPtr<TRawGreenletImpl> Last(Dying);  // what its releasing thread does
    Last->SetHub(nullptr);
  }
  EXPECT_TRUE(Destroyed);
  EXPECT_EQ(Joiner->Count(), 0u);
}

// Two threads move the same greenlets between two hubs while a third
// pulses them and now and then clears one hub's joiner. Each greenlet must
// end up listed by exactly the joiner of the hub it names.
TEST(HubChange, ConcurrentMovesKeepEveryGreenletInTheJoinerOfItsHub) {
  constexpr int kGreenlets = 2, kRounds = 20000;
  TSingleThreadHub A, B;  // never served: pulses only queue switches on them
  std::vector<RefPtr<test::TLambdaGreenlet>> Gs;
  for (int I = 0; I < kGreenlets; ++I) {
    Gs.push_back(Spawn([] {}));
    Gs.back()->SetHub(&A);
  }
  TStartLine Start(3);
  // Each mover alternates its targets, so that nearly every call moves.
  auto Mover = [&](TCustomHub* First, TCustomHub* Second) {
    return std::thread([&, First, Second] {
      Start.arrive_and_wait();
      for (int R = 0; R < kRounds; ++R)
        for (auto& G : Gs) G->SetHub(R % 2 ? Second : First);
    });
  };
  std::thread ToA = Mover(&A, &B), ToB = Mover(&B, &A);
  std::thread Other([&] {
    Start.arrive_and_wait();
    for (int R = 0; R < kRounds / 10; ++R) {
      for (auto& G : Gs) G->GetProxy()->Pulse();
      if (R % 100 == 0) TRawGreenletImpl::GetJoiner(&B)->Clear();
    }
  });
  for (auto* T : {&ToA, &ToB, &Other}) T->join();

  TJoiner* Ja = TRawGreenletImpl::GetJoiner(&A);
  TJoiner* Jb = TRawGreenletImpl::GetJoiner(&B);
  size_t Bound = 0, Index;
  for (auto& G : Gs) {
    TCustomHub* Hub = G->GetHub();
    EXPECT_EQ(Ja->Find(G.get(), Index), Hub == &A);
    EXPECT_EQ(Jb->Find(G.get(), Index), Hub == &B);
    Bound += Hub != nullptr;
  }
  EXPECT_EQ(Ja->Count() + Jb->Count(), Bound);
  for (auto& G : Gs) G->SetHub(nullptr);
}

struct TCallbacks : TObject {
  std::vector<int> calls;
  void A() { calls.push_back(1); }
  void B() { calls.push_back(2); }
  void C() { calls.push_back(3); }
};

TEST(Triggers, MatchByCodeAndKeepOrder) {
  TCallbacks Obj, Other;
  TTriggers T;
  T.OnCb(BindMethod<&TCallbacks::A>(&Obj));
  T.OnCb(BindMethod<&TCallbacks::B>(&Obj));
  T.OnCb(BindMethod<&TCallbacks::C>(&Obj));
  T.OnCb(BindMethod<&TCallbacks::A>(&Other));  // same code: not added
  EXPECT_EQ(T.FCollection.size(), 3u);
  T.OffCb(BindMethod<&TCallbacks::B>(&Obj));
  T.RaiseAll();
  EXPECT_EQ(Obj.calls, (std::vector<int>{1, 3}));
}

}  // namespace
}  // namespace green
