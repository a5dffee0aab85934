// The raw greenlet: state machine, switching and yielding, kill and
// injection, suspension, sleeping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "gevent/Gevent.h"
#include "hub/Hub.h"
#include "greenlets/LocalStorage.h"
#include "support/TestGreenlet.h"

namespace green {
namespace {

using test::Spawn;

void YieldCurrent() { TRawGreenletImpl::GetCurrent()->Yield(); }

TEST(RawGreenlet, RunsUpToItsFirstYieldAndFinishes) {
  std::vector<std::string> trace;
  auto g = Spawn([&] {
    trace.push_back("a");
    YieldCurrent();
    trace.push_back("b");
  });
  EXPECT_EQ(g->GetState(), gsReady);
  g->Kill();
  EXPECT_EQ(g->GetState(), gsReady) << "a greenlet that never ran is left alone";
  g->Switch();
  EXPECT_EQ(trace, (std::vector<std::string>{"a"}));
  EXPECT_EQ(g->GetState(), gsExecute);
  EXPECT_EQ(TRawGreenletImpl::GetCurrent(), nullptr);
  g->Switch();
  EXPECT_EQ(trace, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(g->GetState(), gsTerminated);
  EXPECT_EQ(g->GetOnTerminate()->WaitFor(0), wrSignaled);
  g->Switch();  // a finished greenlet is not entered again
  EXPECT_EQ(trace.size(), 2u);
}

TEST(RawGreenlet, ExceptionStaysWithTheGreenlet) {
  auto g = Spawn([] { throw EConvertError("bad value"); });
  EXPECT_NO_THROW(g->Switch());
  EXPECT_EQ(g->GetState(), gsException);
  ASSERT_NE(g->GetException(), nullptr);
  EXPECT_EQ(g->GetException()->Message(), "bad value");
  EXPECT_EQ(g->GetOnTerminate()->WaitFor(0), wrSignaled);
  try {
    g->ReraiseException();
    FAIL() << "nothing raised";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "bad value");
    EXPECT_NE(&e, g->GetException()) << "a fresh object is raised";
  }
}

TEST(RawGreenlet, ForeignExceptionsAreKeptToo) {
  auto g = Spawn([] { throw std::runtime_error("std failure"); });
  g->Switch();
  EXPECT_EQ(g->GetState(), gsException);
  EXPECT_EQ(g->GetException()->Message(), "std failure");
}

TEST(RawGreenlet, SelfKillEndsAtOnce) {
  bool after = false;
  TRawGreenletImpl* self = nullptr;
  auto g = Spawn([&] {
    self = TRawGreenletImpl::GetCurrent();
    self->Kill();
    after = true;
  });
  g->Switch();
  EXPECT_EQ(g->GetState(), gsKilled);
  EXPECT_FALSE(after);
  EXPECT_EQ(g->GetException(), nullptr);
}

TEST(RawGreenlet, KillOfAYieldedOrSuspendedGreenletUnwindsIt) {
  bool unwound = false;
  struct TUnwind {
    bool* flag;
    ~TUnwind() { *flag = true; }
  };
  auto g = Spawn([&] {
    TUnwind u{&unwound};
    for (;;) YieldCurrent();
  });
  g->Switch();
  g->Suspend();
  EXPECT_EQ(g->GetState(), gsSuspended);
  g->Switch();
  EXPECT_EQ(g->GetState(), gsSuspended) << "switches into a suspended greenlet are refused";
  g->Kill();
  EXPECT_EQ(g->GetState(), gsKilled);
  EXPECT_TRUE(unwound);
}

TEST(RawGreenlet, SwitchIntoItselfIsDenied) {
  std::string message;
  auto g = Spawn([&] {
    try {
      TRawGreenletImpl::GetCurrent()->Switch();
    } catch (const TRawGreenletImpl::ESelfSwitch& e) {
      message = e.Message();
    }
  });
  g->Switch();
  EXPECT_EQ(message, "Self switch denied");
  EXPECT_EQ(g->GetState(), gsTerminated);
}

TEST(RawGreenlet, SuspendAndResume) {
  int steps = 0;
  auto g = Spawn([&] {
    ++steps;
    TRawGreenletImpl::GetCurrent()->Suspend();
    YieldCurrent();
    ++steps;
  });
  g->Switch();
  EXPECT_EQ(g->GetState(), gsSuspended);
  g->Resume();
  EXPECT_EQ(steps, 2);
  EXPECT_EQ(g->GetState(), gsTerminated);
}

TEST(RawGreenlet, InjectedExceptionIsRaisedInsideTheGreenlet) {
  std::string caught;
  auto g = Spawn([&] {
    try {
      YieldCurrent();
    } catch (const EConvertError& e) {
      caught = e.Message();
    }
  });
  g->Switch();
  g->Inject(new EConvertError("injected"));
  EXPECT_EQ(caught, "injected");
  EXPECT_EQ(g->GetState(), gsTerminated);
}

struct TRecord : TInterfacedObject, ISymmetricRoutine {
  std::vector<TRawGreenletImpl*>* Seen;
  explicit TRecord(std::vector<TRawGreenletImpl*>* S) : Seen(S) {}
  void Invoke() override { Seen->push_back(TRawGreenletImpl::GetCurrent()); }
};

TEST(RawGreenlet, InjectedRoutineRunsInTheGreenletsContext) {
  std::vector<TRawGreenletImpl*> seen;
  auto g = Spawn([] {
    for (int i = 0; i < 3; ++i) YieldCurrent();
  });
  g->Switch();
  g->Inject(TSymmetricRoutine(new TRecord(&seen)));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], g.get());
  EXPECT_EQ(g->GetState(), gsExecute);
}

TEST(RawGreenlet, MutualSwitchingKeepsTheCallerStackFlat) {
  RefPtr<test::TLambdaGreenlet> a, b;
  int rounds = 0;
  a = Spawn([&] {
    while (rounds < 5000) {
      ++rounds;
      b->Switch();
    }
  });
  b = Spawn([&] {
    while (a->GetState() == gsExecute) a->Switch();
  });
  a->Switch();
  EXPECT_EQ(rounds, 5000);
  EXPECT_EQ(a->GetState(), gsTerminated);
  EXPECT_EQ(b->GetState(), gsTerminated) << "a's end returned to b, its caller";
}

// Each greenlet switches into the next: past 1000 nested switches the chain
// is dropped and the next switch is queued on the hub instead.
TEST(RawGreenlet, NestingBeyondTheCallerLimitFallsBackToTheHub) {
  constexpr int kDepth = 1100;
  std::vector<RefPtr<test::TLambdaGreenlet>> chain(kDepth);
  int entered = 0;
  for (int i = kDepth - 1; i >= 0; --i) {
    chain[i] = Spawn([&, i] {
      ++entered;
      if (i + 1 < kDepth) chain[i + 1]->Switch();
    });
  }
  chain[0]->Switch();
  EXPECT_LT(entered, kDepth);
  EXPECT_GE(entered, 999);
  TSingleThreadHub* hub = DefHub(0);
  const TDateTime deadline = Now() + TimeOut2Time(10000);
  while (entered < kDepth && Now() < deadline) hub->Serve(100);
  EXPECT_EQ(entered, kDepth);
  for (auto& g : chain) g->Kill();
}

TEST(RawGreenlet, SleepZeroLetsOtherReadyWorkRunOnce) {
  std::vector<std::string> trace;
  TSingleThreadHub* hub = DefHub(0);
  auto g = Spawn([&] {
    trace.push_back("before");
    TRawGreenletImpl::GetCurrent()->Sleep(0);
    trace.push_back("after");
  });
  hub->EnqueueTask([](void* t) { static_cast<std::vector<std::string>*>(t)->push_back("task"); },
                   &trace);
  g->Switch();
  EXPECT_EQ(trace, (std::vector<std::string>{"before"}));
  while (g->GetState() != gsTerminated) hub->Serve(1000);
  EXPECT_EQ(trace, (std::vector<std::string>{"before", "task", "after"}));
}

TEST(RawGreenlet, SleepLastsAboutItsTimeout) {
  TSingleThreadHub* hub = DefHub(0);
  TDateTime slept = 0;
  auto g = Spawn([&] {
    const TDateTime start = Now();
    TRawGreenletImpl::GetCurrent()->Sleep(60);
    slept = Now() - start;
  });
  g->Switch();
  while (g->GetState() != gsTerminated) hub->Serve(1000);
  EXPECT_GE(Time2TimeOut(slept), 60u);
  EXPECT_LT(Time2TimeOut(slept), 5000u);
}

TEST(RawGreenlet, DroppingTheLastReferenceInsideTheGreenletIsSafe) {
  int freed = 0;
  struct TCounted : test::TLambdaGreenlet {
    int* freed;
    TCounted(int* f, std::function<void()> body) : TLambdaGreenlet(std::move(body)), freed(f) {}
    ~TCounted() override { ++*freed; }
  };
  RefPtr<TRawGreenletImpl> holder;
  holder = RefPtr<TRawGreenletImpl>(new TCounted(&freed, [&] { holder.reset(); }));
  TRawGreenletImpl* raw = holder.get();
  raw->Switch();
  EXPECT_EQ(freed, 1) << "destroyed once its fiber was left";
}

// The copy may be made late (the two share it until one side changes it),
// but each side sees only its own changes.
TEST(RawGreenlet, EnvironmentIsCopiedFromTheCreator) {
  int childSees = -1, parentSees = -1;
  auto parent = Spawn([&] {
    TRawGreenletImpl::GetCurrent()->Environ()->SetIntValue("n", 5);
    auto child = Spawn([&] {
      childSees = TRawGreenletImpl::GetCurrent()->Environ()->GetIntValue("n");
      TRawGreenletImpl::GetCurrent()->Environ()->SetIntValue("n", 7);
    });
    auto sibling = Spawn([] {});
    TRawGreenletImpl::GetCurrent()->Environ()->SetIntValue("n", 6);
    child->Switch();
    parentSees = TRawGreenletImpl::GetCurrent()->Environ()->GetIntValue("n");
    EXPECT_EQ(sibling->Environ()->GetIntValue("n"), 5);
  });
  parent->Switch();
  EXPECT_EQ(childSees, 5);
  EXPECT_EQ(parentSees, 6);
}

}  // namespace
}  // namespace green
