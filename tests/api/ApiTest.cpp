// The public handles over the runtime, through the public headers only.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "green/ChildProcess.h"
#include "green/Generator.h"
#include "green/Gevent.h"
#include "green/Greenlet.h"

namespace green {
namespace {

template <class T>
std::vector<T> Walk(Generator<T> Gen) {
  std::vector<T> Got;
  for (const T& V : Gen) Got.push_back(V);
  return Got;
}

TEST(Api, GeneratorWalksTheValuesOfItsOwnTypeOnly) {
  // Values of the body's own frame, handed over in place, also across sleeps.
  EXPECT_EQ(Walk(Generator<std::string>::Create([] {
              for (std::string S : {"a", "b", "c"}) {
                Greenlet::Sleep(1);
                Generator<std::string>::Yield(S);
              }
            })),
            (std::vector<std::string>{"a", "b", "c"}));
  // A value of another type cannot be read as this one: the walk ends.
  EXPECT_EQ(Walk(Generator<int>::Create([] {
              Generator<int>::Yield(1);
              Generator<std::string>::Yield("two");
              Generator<int>::Yield(3);
            })),
            std::vector<int>{1});
}

TEST(Api, JoinReRaisesAFailureOnlyWhenAsked) {
  Greenlet Failing = Greenlet::Spawn([] { throw std::runtime_error("broken body"); });
  EXPECT_TRUE(Join({Failing}, 5000));
  EXPECT_EQ(Failing.State(), GreenletState::Failed);
  try {
    Join({Failing}, 5000, /*RaiseErrors=*/true);
    ADD_FAILURE() << "no exception";
  } catch (const std::exception& E) {
    EXPECT_NE(std::string(E.what()).find("broken body"), std::string::npos) << E.what();
  }
}

TEST(Api, WaitAnyTellsWhichAndAnAutoResetSignalIsConsumed) {
  Gevent Manual(true, false), Automatic(false, false);
  Automatic.SetEvent();
  int32_t Which = -1;
  EXPECT_EQ(Gevent::WaitAny({Manual, Automatic}, Which, 1000), WaitResult::Signaled);
  EXPECT_EQ(Which, 1);
  EXPECT_EQ(Gevent::WaitAny({Manual, Automatic}, Which, 0), WaitResult::Timeout);
  EXPECT_EQ(Which, -1);
  Manual.SetEvent();
  EXPECT_EQ(Manual.WaitFor(0), WaitResult::Signaled);
  EXPECT_EQ(Manual.WaitFor(0), WaitResult::Signaled);
}

TEST(Api, AChildsLinesOutliveItsHandle) {
  Generator<std::string> Lines = ChildProcess(GREEN_CHILD_LINES, {"3"}).ReadLines();
  EXPECT_EQ(Walk(Lines), (std::vector<std::string>{"line 1", "line 2", "line 3"}));
}

}  // namespace
}  // namespace green
