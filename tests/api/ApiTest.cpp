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
  std::vector<T> got;
  for (const T& v : Gen) got.push_back(v);
  return got;
}

TEST(Api, GeneratorWalksTheValuesOfItsOwnTypeOnly) {
  // Values of the body's own frame, handed over in place, also across sleeps.
  EXPECT_EQ(Walk(Generator<std::string>::Create([] {
              for (std::string s : {"a", "b", "c"}) {
                Greenlet::Sleep(1);
                Generator<std::string>::Yield(s);
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
  Greenlet failing = Greenlet::Spawn([] { throw std::runtime_error("broken body"); });
  EXPECT_TRUE(Join({failing}, 5000));
  EXPECT_EQ(failing.State(), GreenletState::Failed);
  try {
    Join({failing}, 5000, /*RaiseErrors=*/true);
    ADD_FAILURE() << "no exception";
  } catch (const std::exception& E) {
    EXPECT_NE(std::string(E.what()).find("broken body"), std::string::npos) << E.what();
  }
}

TEST(Api, WaitAnyTellsWhichAndAnAutoResetSignalIsConsumed) {
  Gevent manual(true, false), automatic(false, false);
  automatic.SetEvent();
  int32_t which = -1;
  EXPECT_EQ(Gevent::WaitAny({manual, automatic}, which, 1000), WaitResult::Signaled);
  EXPECT_EQ(which, 1);
  EXPECT_EQ(Gevent::WaitAny({manual, automatic}, which, 0), WaitResult::Timeout);
  EXPECT_EQ(which, -1);
  manual.SetEvent();
  EXPECT_EQ(manual.WaitFor(0), WaitResult::Signaled);
  EXPECT_EQ(manual.WaitFor(0), WaitResult::Signaled);
}

TEST(Api, AChildsLinesOutliveItsHandle) {
  Generator<std::string> lines = ChildProcess(GREEN_CHILD_LINES, {"3"}).ReadLines();
  EXPECT_EQ(Walk(lines), (std::vector<std::string>{"line 1", "line 2", "line 3"}));
}

}  // namespace
}  // namespace green
