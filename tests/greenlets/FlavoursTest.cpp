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
  std::vector<int32_t> received;
  RefPtr<TGreenletImpl> g(new TGreenletImpl(MakeRoutine([&] {
    tTuple in = static_cast<TGreenletImpl*>(TRawGreenletImpl::GetCurrent())->YieldTuple();
    for (auto& v : in) received.push_back(AsInteger(v));
    static_cast<TGreenletImpl*>(TRawGreenletImpl::GetCurrent())->Yield(tTuple{TVarRec(int32_t(30))});
  })));
  EXPECT_TRUE(g->SwitchTuple().empty()) << "the first yield carries no values";
  tTuple back = g->Switch(tTuple{TVarRec(int32_t(10)), TVarRec(int32_t(20))});
  EXPECT_EQ(received, (std::vector<int32_t>{10, 20}));
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(AsInteger(back[0]), 30);
  g->SwitchTuple();
  EXPECT_EQ(g->GetState(), gsTerminated);
  EXPECT_TRUE(g->Switch(tTuple{TVarRec(int32_t(1))}).empty()) << "a finished greenlet is not entered";
}

TEST(GreenletValues, MoreThanTwentyValuesAreRefused) {
  RefPtr<TGreenletImpl> g(new TGreenletImpl(MakeRoutine([] {})));
  tTuple tooMany(MAX_TUPLE_SIZE + 1, TVarRec(int32_t(1)));
  EXPECT_THROW(g->Switch(tooMany), Exception);
  EXPECT_EQ(g->GetState(), gsReady) << "nothing was switched";
}

TEST(GreenletValues, ArgumentsReachTheRoutineAndExtraOnesAreDropped) {
  std::vector<int32_t> seen;
  tTuple args;
  for (int32_t i = 0; i < 25; ++i) args.push_back(TVarRec(i));
  RefPtr<TGreenletImpl> g(new TGreenletImpl(
      MakeArgsRoutine([&](const tTuple& a) {
        for (auto& v : a) seen.push_back(AsInteger(v));
      }),
      args));
  g->SwitchTuple();
  ASSERT_EQ(seen.size(), MAX_TUPLE_SIZE);
  EXPECT_EQ(seen.back(), 19);
}

struct TPoint : TPersistentOf<TPoint> {
  int X = 0;
  void Assign(const TPersistent* Source) override {
    if (auto* p = dynamic_cast<const TPoint*>(Source)) X = p->X;
  }
  ~TPoint() override { ++Destroyed; }
  static inline int Destroyed = 0;
};

TEST(SymmetricArguments, PersistentArgumentIsCopiedAndFreedWithTheGreenlet) {
  TPoint original;
  original.X = 1;
  TPoint::Destroyed = 0;
  int seenX = 0;
  {
    auto s = TSymmetric2<TPoint*, int32_t>::Spawn(
        [&](TPoint* p, int32_t add) {
          p->X += add;
          seenX = p->X;
        },
        &original, 41);
    EXPECT_EQ(seenX, 42);
    EXPECT_EQ(original.X, 1) << "the body changed its own copy";
  }
  EXPECT_EQ(TPoint::Destroyed, 1) << "the copy died with the greenlet";
}

TEST(Generator, DeliversEachYieldedValueInOrder) {
  auto gen = TGenerator<std::string>::Create([] {
    for (const char* s : {"one", "two", "three"}) TGenerator<std::string>::Yield(s);
  });
  std::vector<std::string> got;
  for (const std::string& s : gen) got.push_back(s);
  EXPECT_EQ(got, (std::vector<std::string>{"one", "two", "three"}));

  auto empty = TGenerator<int32_t>::Create([] {});
  int n = 0;
  for (int32_t v : empty) n += v + 1;
  EXPECT_EQ(n, 0);
}

TEST(Generator, BodyMayWaitOnAnEventBetweenValues) {
  auto ev = MakeRef<TGevent>(false, false);
  auto gen = TGenerator<int32_t>::Create([&] {
    TGenerator<int32_t>::Yield(1);
    ev->WaitFor(INFINITE);
    TGenerator<int32_t>::Yield(2);
  });
  auto e = gen.GetEnumerator();
  ASSERT_TRUE(e.MoveNext());
  EXPECT_EQ(e.Current(), 1);
  // Signalled from the hub while MoveNext waits for the body's state change.
  THandle t = DefHub(0)->CreateTimeout([](THandle, void* p) { static_cast<TGevent*>(p)->SetEvent(); },
                                       ev.get(), 10);
  ASSERT_TRUE(e.MoveNext());
  EXPECT_EQ(e.Current(), 2);
  EXPECT_FALSE(e.MoveNext());
  DefHub(0)->DestroyTimeout(t);
}

TEST(Generator, ResetKillsAStartedBodyButNotAFreshOne) {
  int started = 0;
  auto gen = TGenerator<int32_t>::Create([&] {
    ++started;
    for (int32_t i = 0;; ++i) TGenerator<int32_t>::Yield(i);
  });
  auto e = gen.GetEnumerator();
  e.Reset();
  ASSERT_TRUE(e.MoveNext()) << "a reset before the start changes nothing";
  EXPECT_EQ(started, 1);
  e.Reset();
  EXPECT_FALSE(e.MoveNext());
  EXPECT_EQ(gen.Impl->Greenlet()->GetState(), gsKilled);
}

TEST(Generator, FailingBodyEndsTheWalk) {
  auto gen = TGenerator<int32_t>::Create([] {
    TGenerator<int32_t>::Yield(7);
    throw Exception("broken source");
  });
  std::vector<int32_t> got;
  for (int32_t v : gen) got.push_back(v);
  EXPECT_EQ(got, (std::vector<int32_t>{7}));
  EXPECT_EQ(gen.Impl->Greenlet()->GetState(), gsException);
}

TEST(Generator, ArgumentsGoThroughSetup) {
  auto gen = TGenerator<int32_t>::Create(
      MakeArgsRoutine([](const tTuple& args) {
        for (auto& a : args) TGenerator<int32_t>::Yield(AsInteger(a) * 2);
      }),
      tTuple{TVarRec(int32_t(1)), TVarRec(int32_t(2))});
  std::vector<int32_t> got;
  for (int32_t v : gen) got.push_back(v);
  EXPECT_EQ(got, (std::vector<int32_t>{2, 4}));
}

}  // namespace
}  // namespace green

namespace green {
namespace {

TEST(SymmetricArguments, ManagedObjectArgumentStaysAliveWhileTheGreenletHoldsIt) {
  int freed = 0;
  auto* obj = new test::TTracked(&freed);
  RefPtr<IGCPointer<TObject>> creator = GC(obj);
  auto release = MakeRef<TGevent>(false, false);
  auto s = TSymmetric2<test::TTracked*, int32_t>::Spawn(
      [&](test::TTracked* p, int32_t) {
        release->WaitFor(INFINITE);
        EXPECT_EQ(p->FCounter, &freed);
      },
      obj, 0);
  creator.reset();
  EXPECT_EQ(freed, 0) << "the argument keeps its own reference";
  release->SetEvent();
  EXPECT_TRUE(Join({s}, 5000));
  s = {};
  EXPECT_EQ(freed, 1);
}

}  // namespace
}  // namespace green
