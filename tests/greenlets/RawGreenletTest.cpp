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
  std::vector<std::string> Trace;
  auto G = Spawn([&] {
    Trace.push_back("a");
    YieldCurrent();
    Trace.push_back("b");
  });
  EXPECT_EQ(G->GetState(), gsReady);
  G->Kill();
  EXPECT_EQ(G->GetState(), gsReady) << "a greenlet that never ran is left alone";
  G->Switch();
  EXPECT_EQ(Trace, (std::vector<std::string>{"a"}));
  EXPECT_EQ(G->GetState(), gsExecute);
  EXPECT_EQ(TRawGreenletImpl::GetCurrent(), nullptr);
  G->Switch();
  EXPECT_EQ(Trace, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(G->GetState(), gsTerminated);
  EXPECT_EQ(G->GetOnTerminate()->WaitFor(0), wrSignaled);
  G->Switch();  // a finished greenlet is not entered again
  EXPECT_EQ(Trace.size(), 2u);
}

TEST(RawGreenlet, ExceptionStaysWithTheGreenlet) {
  auto G = Spawn([] { throw EConvertError("bad value"); });
  EXPECT_NO_THROW(G->Switch());
  EXPECT_EQ(G->GetState(), gsException);
  ASSERT_NE(G->GetException(), nullptr);
  EXPECT_EQ(G->GetException()->Message(), "bad value");
  EXPECT_EQ(G->GetOnTerminate()->WaitFor(0), wrSignaled);
  try {
    G->ReraiseException();
    FAIL() << "nothing raised";
  } catch (const EConvertError& E) {
    EXPECT_EQ(E.Message(), "bad value");
    EXPECT_NE(&E, G->GetException()) << "a fresh object is raised";
  }
}

TEST(RawGreenlet, ForeignExceptionsAreKeptToo) {
  auto G = Spawn([] { throw std::runtime_error("std failure"); });
  G->Switch();
  EXPECT_EQ(G->GetState(), gsException);
  EXPECT_EQ(G->GetException()->Message(), "std failure");
}

TEST(RawGreenlet, SelfKillEndsAtOnce) {
  bool After = false;
  TRawGreenletImpl* Self = nullptr;
  auto G = Spawn([&] {
    Self = TRawGreenletImpl::GetCurrent();
    Self->Kill();
    After = true;
  });
  G->Switch();
  EXPECT_EQ(G->GetState(), gsKilled);
  EXPECT_FALSE(After);
  EXPECT_EQ(G->GetException(), nullptr);
}

TEST(RawGreenlet, KillOfAYieldedOrSuspendedGreenletUnwindsIt) {
  bool Unwound = false;
  struct TUnwind {
    bool* flag;
    ~TUnwind() { *flag = true; }
  };
  auto G = Spawn([&] {
    TUnwind U{&Unwound};
    for (;;) YieldCurrent();
  });
  G->Switch();
  G->Suspend();
  EXPECT_EQ(G->GetState(), gsSuspended);
  G->Switch();
  EXPECT_EQ(G->GetState(), gsSuspended) << "switches into a suspended greenlet are refused";
  G->Kill();
  EXPECT_EQ(G->GetState(), gsKilled);
  EXPECT_TRUE(Unwound);
}

TEST(RawGreenlet, SwitchIntoItselfIsDenied) {
  std::string Message;
  auto G = Spawn([&] {
    try {
      TRawGreenletImpl::GetCurrent()->Switch();
    } catch (const TRawGreenletImpl::ESelfSwitch& E) {
      Message = E.Message();
    }
  });
  G->Switch();
  EXPECT_EQ(Message, "Self switch denied");
  EXPECT_EQ(G->GetState(), gsTerminated);
}

TEST(RawGreenlet, SuspendAndResume) {
  int Steps = 0;
  auto G = Spawn([&] {
    ++Steps;
    TRawGreenletImpl::GetCurrent()->Suspend();
    YieldCurrent();
    ++Steps;
  });
  G->Switch();
  EXPECT_EQ(G->GetState(), gsSuspended);
  G->Resume();
  EXPECT_EQ(Steps, 2);
  EXPECT_EQ(G->GetState(), gsTerminated);
}

TEST(RawGreenlet, InjectedExceptionIsRaisedInsideTheGreenlet) {
  std::string Caught;
  auto G = Spawn([&] {
    try {
      YieldCurrent();
    } catch (const EConvertError& E) {
      Caught = E.Message();
    }
  });
  G->Switch();
  G->Inject(new EConvertError("injected"));
  EXPECT_EQ(Caught, "injected");
  EXPECT_EQ(G->GetState(), gsTerminated);
}

struct TRecord : TInterfacedObject, ISymmetricRoutine {
  std::vector<TRawGreenletImpl*>* Seen;
  explicit TRecord(std::vector<TRawGreenletImpl*>* S) : Seen(S) {}
  void Invoke() override { Seen->push_back(TRawGreenletImpl::GetCurrent()); }
};

TEST(RawGreenlet, InjectedRoutineRunsInTheGreenletsContext) {
  std::vector<TRawGreenletImpl*> Seen;
  auto G = Spawn([] {
    for (int I = 0; I < 3; ++I) YieldCurrent();
  });
  G->Switch();
  G->Inject(TSymmetricRoutine(new TRecord(&Seen)));
  ASSERT_EQ(Seen.size(), 1u);
  EXPECT_EQ(Seen[0], G.get());
  EXPECT_EQ(G->GetState(), gsExecute);
}

TEST(RawGreenlet, MutualSwitchingKeepsTheCallerStackFlat) {
  RefPtr<test::TLambdaGreenlet> A, B;
  int Rounds = 0;
  A = Spawn([&] {
    while (Rounds < 5000) {
      ++Rounds;
      B->Switch();
    }
  });
  B = Spawn([&] {
    while (A->GetState() == gsExecute) A->Switch();
  });
  A->Switch();
  EXPECT_EQ(Rounds, 5000);
  EXPECT_EQ(A->GetState(), gsTerminated);
  EXPECT_EQ(B->GetState(), gsTerminated) << "a's end returned to b, its caller";
}

// Each greenlet switches into the next: past 1000 nested switches the chain
// is dropped and the next switch is queued on the hub instead.
TEST(RawGreenlet, NestingBeyondTheCallerLimitFallsBackToTheHub) {
  constexpr int kDepth = 1100;
  std::vector<RefPtr<test::TLambdaGreenlet>> Chain(kDepth);
  int Entered = 0;
  for (int I = kDepth - 1; I >= 0; --I) {
    Chain[I] = Spawn([&, I] {
      ++Entered;
      if (I + 1 < kDepth) Chain[I + 1]->Switch();
    });
  }
  Chain[0]->Switch();
  EXPECT_LT(Entered, kDepth);
  EXPECT_GE(Entered, 999);
  TSingleThreadHub* Hub = DefHub(0);
  const TDateTime Deadline = Now() + TimeOut2Time(10000);
  while (Entered < kDepth && Now() < Deadline) Hub->Serve(100);
  EXPECT_EQ(Entered, kDepth);
  for (auto& G : Chain) G->Kill();
}

TEST(RawGreenlet, SleepZeroLetsOtherReadyWorkRunOnce) {
  std::vector<std::string> Trace;
  TSingleThreadHub* Hub = DefHub(0);
  auto G = Spawn([&] {
    Trace.push_back("before");
    TRawGreenletImpl::GetCurrent()->Sleep(0);
    Trace.push_back("after");
  });
  Hub->EnqueueTask([](void* T) { static_cast<std::vector<std::string>*>(T)->push_back("task"); },
                   &Trace);
  G->Switch();
  EXPECT_EQ(Trace, (std::vector<std::string>{"before"}));
  while (G->GetState() != gsTerminated) Hub->Serve(1000);
  EXPECT_EQ(Trace, (std::vector<std::string>{"before", "task", "after"}));
}

TEST(RawGreenlet, SleepLastsAboutItsTimeout) {
  TSingleThreadHub* Hub = DefHub(0);
  TDateTime Slept = 0;
  auto G = Spawn([&] {
    const TDateTime Start = Now();
    TRawGreenletImpl::GetCurrent()->Sleep(60);
    Slept = Now() - Start;
  });
  G->Switch();
  while (G->GetState() != gsTerminated) Hub->Serve(1000);
  EXPECT_GE(Time2TimeOut(Slept), 60u);
  EXPECT_LT(Time2TimeOut(Slept), 5000u);
}

TEST(RawGreenlet, DroppingTheLastReferenceInsideTheGreenletIsSafe) {
  int Freed = 0;
  struct TCounted : test::TLambdaGreenlet {
    int* freed;
    TCounted(int* F, std::function<void()> Body) : TLambdaGreenlet(std::move(Body)), freed(F) {}
    ~TCounted() override { ++*freed; }
  };
  RefPtr<TRawGreenletImpl> Holder;
  Holder = RefPtr<TRawGreenletImpl>(new TCounted(&Freed, [&] { Holder.reset(); }));
  TRawGreenletImpl* Raw = Holder.get();
  Raw->Switch();
  EXPECT_EQ(Freed, 1) << "destroyed once its fiber was left";
}

// The copy may be made late (the two share it until one side changes it),
// but each side sees only its own changes.
TEST(RawGreenlet, EnvironmentIsCopiedFromTheCreator) {
  int ChildSees = -1, ParentSees = -1;
  auto Parent = Spawn([&] {
    TRawGreenletImpl::GetCurrent()->Environ()->SetIntValue("n", 5);
    auto Child = Spawn([&] {
      ChildSees = TRawGreenletImpl::GetCurrent()->Environ()->GetIntValue("n");
      TRawGreenletImpl::GetCurrent()->Environ()->SetIntValue("n", 7);
    });
    auto Sibling = Spawn([] {});
    TRawGreenletImpl::GetCurrent()->Environ()->SetIntValue("n", 6);
    Child->Switch();
    ParentSees = TRawGreenletImpl::GetCurrent()->Environ()->GetIntValue("n");
    EXPECT_EQ(Sibling->Environ()->GetIntValue("n"), 5);
  });
  Parent->Switch();
  EXPECT_EQ(ChildSees, 5);
  EXPECT_EQ(ParentSees, 6);
}

}  // namespace
}  // namespace green
