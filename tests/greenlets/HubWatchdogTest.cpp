// The hub watchdog: a greenlet or a task that holds its hub past the
// threshold is reported once, with the hub, the holder, how long and (where
// the platform captures stacks) the function it was stuck in; a hub that
// waits for work is not. The holders block until the report has come, so
// nothing here sleeps in place of waiting for it.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "greenlets/Greenlets.h"
#include "greenlets/HubWatchdog.h"
#include "platform/StackTrace.h"

namespace green::test {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr uint32_t kThreshold = 100;
// Generous: a loaded machine or a sanitizer may hold the monitor back.
constexpr milliseconds kReportDeadline{30000};

struct TReports {
  std::mutex Lock;
  std::condition_variable Changed;
  std::vector<THubStall> Stalls;

  size_t Count() {
    std::lock_guard<std::mutex> Held(Lock);
    return Stalls.size();
  }
};

// Holds the calling thread, and so its hub, until the watchdog has reported
// Before + 1 stalls and then for three thresholds more, for a second report
// that must not come. Not static and not inlined: the captured stack must
// name it.
__attribute__((noinline)) void HoldHubUntilReported(TReports& Reports, size_t Before) {
  std::unique_lock<std::mutex> Lock(Reports.Lock);
  const bool Reported = Reports.Changed.wait_for(
      Lock, kReportDeadline, [&] { return Reports.Stalls.size() > Before; });
  if (!Reported) return;
  const auto Until = steady_clock::now() + milliseconds(3 * kThreshold);
  Reports.Changed.wait_until(Lock, Until, [&] { return Reports.Stalls.size() > Before + 1; });
}

class HubWatchdog : public ::testing::Test {
 protected:
  void SetUp() override {
    SetHubWatchdogReport([this](const THubStall& S) {
      std::lock_guard<std::mutex> Lock(FReports.Lock);
      FReports.Stalls.push_back(S);
      FReports.Changed.notify_all();
    });
    StartHubWatchdog(kThreshold);
  }
  void TearDown() override {
    StopHubWatchdog();
    SetHubWatchdogReport({});
  }

  bool StackNames(const THubStall& S, const std::string& Function) {
    for (const std::string& Frame : S.Stack)
      if (Frame.find(Function) != std::string::npos) return true;
    return false;
  }

  TReports FReports;
};

TEST_F(HubWatchdog, ReportsAGreenletThatHoldsItsHubOnce) {
  ASSERT_TRUE(HubWatchdogRunning());
  TSingleThreadHub* Hub = DefHub();
  const auto Start = steady_clock::now();
  TSymmetric Holder = TSymmetric::Create([&] { HoldHubUntilReported(FReports, 0); });
  Holder.SetName("holder");
  Holder.Impl->Switch();
  const auto Held = steady_clock::now() - Start;

  std::lock_guard<std::mutex> Lock(FReports.Lock);
  ASSERT_EQ(FReports.Stalls.size(), 1u) << "one report per stall";
  const THubStall& S = FReports.Stalls[0];
  EXPECT_EQ(S.Hub, static_cast<const void*>(Hub));
  EXPECT_TRUE(S.DefaultHub);
  EXPECT_EQ(S.ThreadId, os::CurrentThreadId());
  EXPECT_EQ(S.Greenlet, Holder.Impl->GetInstance());
  EXPECT_NE(S.Holder.find("TSymmetricImpl \"holder\""), std::string::npos) << S.Holder;
  EXPECT_GE(S.HeldMs, kThreshold);
  EXPECT_LE(S.HeldMs, std::chrono::duration_cast<milliseconds>(Held).count());
  const std::string Text = S.Text();
  EXPECT_NE(Text.find("held for " + std::to_string(S.HeldMs) + " ms by greenlet"), std::string::npos)
      << Text;
#if !defined(_WIN32)
  // Linux captures always; Windows names modules only, not functions.
  EXPECT_TRUE(StackNames(S, "HoldHubUntilReported")) << Text;
#else
  if (os::CanCaptureThreadStacks()) {
    EXPECT_FALSE(S.Stack.empty()) << Text;
  }
#endif
}

TEST_F(HubWatchdog, ReportsATaskOfTheHubsLoopAndAgainForTheNextStall) {
  TSingleThreadHub* Hub = DefHub();
  struct TArgs {
    TReports* Reports;
    size_t Before;
  };
  for (size_t Round = 0; Round < 2; ++Round) {
    TArgs Args{&FReports, Round};
    Hub->EnqueueTask(
        [](void* P) {
          auto* A = static_cast<TArgs*>(P);
          HoldHubUntilReported(*A->Reports, A->Before);
        },
        &Args);
    Hub->Serve(0);
    ASSERT_EQ(FReports.Count(), Round + 1);
  }
  std::lock_guard<std::mutex> Lock(FReports.Lock);
  for (const THubStall& S : FReports.Stalls) {
    EXPECT_EQ(S.Hub, static_cast<const void*>(Hub));
    EXPECT_EQ(S.Greenlet, nullptr);
    EXPECT_EQ(S.Holder, "the hub's loop (a task or callback)");
    EXPECT_GE(S.HeldMs, kThreshold);
  }
}

TEST_F(HubWatchdog, LeavesAHubThatWaitsForWork) {
  TSingleThreadHub* Hub = DefHub();
  // Nothing to do: the hub waits in the kernel for four thresholds.
  Hub->Serve(4 * kThreshold);
  EXPECT_EQ(FReports.Count(), 0u);
}

TEST_F(HubWatchdog, StopsAndStartsAgain) {
  StopHubWatchdog();
  EXPECT_FALSE(HubWatchdogRunning());
  StartHubWatchdog(kThreshold);
  EXPECT_TRUE(HubWatchdogRunning());
}

}  // namespace green::test
