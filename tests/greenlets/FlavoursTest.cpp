// Greenlets with arguments and value passing, symmetric greenlets with
// typed arguments, and generators.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "greenlets/Greenlets.h"
#include "support/TestGreenlet.h"

namespace green {
namespace {

TEST(GreenletValues, SwitchAndYieldPassTuplesBothWays) {
  std::vector<int32_t> Received;
  RefPtr<TGreenletImpl> G(new TGreenletImpl(MakeRoutine([&] {
    tTuple In = static_cast<TGreenletImpl*>(TRawGreenletImpl::GetCurrent())->YieldTuple();
    for (auto& V : In) Received.push_back(AsInteger(V));
    static_cast<TGreenletImpl*>(TRawGreenletImpl::GetCurrent())->Yield(tTuple{TVarRec(int32_t(30))});
  })));
  EXPECT_TRUE(G->SwitchTuple().empty()) << "the first yield carries no values";
  tTuple Back = G->Switch(tTuple{TVarRec(int32_t(10)), TVarRec(int32_t(20))});
  EXPECT_EQ(Received, (std::vector<int32_t>{10, 20}));
  ASSERT_EQ(Back.size(), 1u);
  EXPECT_EQ(AsInteger(Back[0]), 30);
  G->SwitchTuple();
  EXPECT_EQ(G->GetState(), gsTerminated);
  EXPECT_TRUE(G->Switch(tTuple{TVarRec(int32_t(1))}).empty()) << "a finished greenlet is not entered";
}

TEST(GreenletValues, MoreThanTwentyValuesAreRefused) {
  RefPtr<TGreenletImpl> G(new TGreenletImpl(MakeRoutine([] {})));
  tTuple TooMany(MAX_TUPLE_SIZE + 1, TVarRec(int32_t(1)));
  EXPECT_THROW(G->Switch(TooMany), Exception);
  EXPECT_EQ(G->GetState(), gsReady) << "nothing was switched";
}

TEST(GreenletValues, ArgumentsReachTheRoutineAndExtraOnesAreDropped) {
  std::vector<int32_t> Seen;
  tTuple Args;
  for (int32_t I = 0; I < 25; ++I) Args.push_back(TVarRec(I));
  RefPtr<TGreenletImpl> G(new TGreenletImpl(
      MakeArgsRoutine([&](const tTuple& A) {
        for (auto& V : A) Seen.push_back(AsInteger(V));
      }),
      Args));
  G->SwitchTuple();
  ASSERT_EQ(Seen.size(), MAX_TUPLE_SIZE);
  EXPECT_EQ(Seen.back(), 19);
}

struct TPoint : TPersistentOf<TPoint> {
  int X = 0;
  void Assign(const TPersistent* Source) override {
    if (auto* P = dynamic_cast<const TPoint*>(Source)) X = P->X;
  }
  ~TPoint() override { ++Destroyed; }
  static inline int Destroyed = 0;
};

TEST(SymmetricArguments, PersistentArgumentIsCopiedAndFreedWithTheGreenlet) {
  TPoint Original;
  Original.X = 1;
  TPoint::Destroyed = 0;
  int SeenX = 0;
  {
    auto S = TSymmetric2<TPoint*, int32_t>::Spawn(
        [&](TPoint* P, int32_t Add) {
          P->X += Add;
          SeenX = P->X;
        },
        &Original, 41);
    EXPECT_EQ(SeenX, 42);
    EXPECT_EQ(Original.X, 1) << "the body changed its own copy";
  }
  EXPECT_EQ(TPoint::Destroyed, 1) << "the copy died with the greenlet";
}

TEST(Generator, DeliversEachYieldedValueInOrder) {
  auto Gen = TGenerator<std::string>::Create([] {
    for (const char* S : {"one", "two", "three"}) TGenerator<std::string>::Yield(S);
  });
  std::vector<std::string> Got;
  for (const std::string& S : Gen) Got.push_back(S);
  EXPECT_EQ(Got, (std::vector<std::string>{"one", "two", "three"}));

  auto Empty = TGenerator<int32_t>::Create([] {});
  int N = 0;
  for (int32_t V : Empty) N += V + 1;
  EXPECT_EQ(N, 0);
}

TEST(Generator, BodyMayWaitOnAnEventBetweenValues) {
  auto Ev = MakeRef<TGevent>(false, false);
  auto Gen = TGenerator<int32_t>::Create([&] {
    TGenerator<int32_t>::Yield(1);
    Ev->WaitFor(INFINITE);
    TGenerator<int32_t>::Yield(2);
  });
  auto E = Gen.GetEnumerator();
  ASSERT_TRUE(E.MoveNext());
  EXPECT_EQ(E.Current(), 1);
  // Signalled from the hub while MoveNext waits for the body's state change.
  THandle T = DefHub(0)->CreateTimeout([](THandle, void* P) { static_cast<TGevent*>(P)->SetEvent(); },
                                       Ev.get(), 10);
  ASSERT_TRUE(E.MoveNext());
  EXPECT_EQ(E.Current(), 2);
  EXPECT_FALSE(E.MoveNext());
  DefHub(0)->DestroyTimeout(T);
}

TEST(Generator, ResetKillsAStartedBodyButNotAFreshOne) {
  int Started = 0;
  auto Gen = TGenerator<int32_t>::Create([&] {
    ++Started;
    for (int32_t I = 0;; ++I) TGenerator<int32_t>::Yield(I);
  });
  auto E = Gen.GetEnumerator();
  E.Reset();
  ASSERT_TRUE(E.MoveNext()) << "a reset before the start changes nothing";
  EXPECT_EQ(Started, 1);
  E.Reset();
  EXPECT_FALSE(E.MoveNext());
  EXPECT_EQ(Gen.Impl->Greenlet()->GetState(), gsKilled);
}

TEST(Generator, FailingBodyEndsTheWalk) {
  auto Gen = TGenerator<int32_t>::Create([] {
    TGenerator<int32_t>::Yield(7);
    throw Exception("broken source");
  });
  std::vector<int32_t> Got;
  for (int32_t V : Gen) Got.push_back(V);
  EXPECT_EQ(Got, (std::vector<int32_t>{7}));
  EXPECT_EQ(Gen.Impl->Greenlet()->GetState(), gsException);
}

TEST(Generator, ArgumentsGoThroughSetup) {
  auto Gen = TGenerator<int32_t>::Create(
      MakeArgsRoutine([](const tTuple& Args) {
        for (auto& A : Args) TGenerator<int32_t>::Yield(AsInteger(A) * 2);
      }),
      tTuple{TVarRec(int32_t(1)), TVarRec(int32_t(2))});
  std::vector<int32_t> Got;
  for (int32_t V : Gen) Got.push_back(V);
  EXPECT_EQ(Got, (std::vector<int32_t>{2, 4}));
}

}  // namespace
}  // namespace green

namespace green {
namespace {

TEST(SymmetricArguments, ManagedObjectArgumentStaysAliveWhileTheGreenletHoldsIt) {
  int Freed = 0;
  auto* Obj = new test::TTracked(&Freed);
  RefPtr<IGCPointer<TObject>> Creator = GC(Obj);
  auto Release = MakeRef<TGevent>(false, false);
  auto S = TSymmetric2<test::TTracked*, int32_t>::Spawn(
      [&](test::TTracked* P, int32_t) {
        Release->WaitFor(INFINITE);
        EXPECT_EQ(P->FCounter, &Freed);
      },
      Obj, 0);
  Creator.reset();
  EXPECT_EQ(Freed, 0) << "the argument keeps its own reference";
  Release->SetEvent();
  EXPECT_TRUE(Join({S}, 5000));
  S = {};
  EXPECT_EQ(Freed, 1);
}

}  // namespace
}  // namespace green
