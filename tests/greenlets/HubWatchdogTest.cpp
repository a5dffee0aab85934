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
    std::lock_guard<std::mutex> lock(Lock);
    return Stalls.size();
  }
};

// Holds the calling thread, and so its hub, until the watchdog has reported
// Before + 1 stalls and then for three thresholds more, for a second report
// that must not come. Not static and not inlined: the captured stack must
// name it.
__attribute__((noinline)) void HoldHubUntilReported(TReports& Reports, size_t Before) {
  std::unique_lock<std::mutex> lock(Reports.Lock);
  const bool reported = Reports.Changed.wait_for(
      lock, kReportDeadline, [&] { return Reports.Stalls.size() > Before; });
  if (!reported) return;
  const auto until = steady_clock::now() + milliseconds(3 * kThreshold);
  Reports.Changed.wait_until(lock, until, [&] { return Reports.Stalls.size() > Before + 1; });
}

class HubWatchdog : public ::testing::Test {
 protected:
  void SetUp() override {
    SetHubWatchdogReport([this](const THubStall& S) {
      std::lock_guard<std::mutex> lock(FReports.Lock);
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
    for (const std::string& frame : S.Stack)
      if (frame.find(Function) != std::string::npos) return true;
    return false;
  }

  TReports FReports;
};

TEST_F(HubWatchdog, ReportsAGreenletThatHoldsItsHubOnce) {
  ASSERT_TRUE(HubWatchdogRunning());
  TSingleThreadHub* hub = DefHub();
  const auto start = steady_clock::now();
  TSymmetric holder = TSymmetric::Create([&] { HoldHubUntilReported(FReports, 0); });
  holder.SetName("holder");
  holder.Impl->Switch();
  const auto held = steady_clock::now() - start;

  std::lock_guard<std::mutex> lock(FReports.Lock);
  ASSERT_EQ(FReports.Stalls.size(), 1u) << "one report per stall";
  const THubStall& s = FReports.Stalls[0];
  EXPECT_EQ(s.Hub, static_cast<const void*>(hub));
  EXPECT_TRUE(s.DefaultHub);
  EXPECT_EQ(s.ThreadId, os::CurrentThreadId());
  EXPECT_EQ(s.Greenlet, holder.Impl->GetInstance());
  EXPECT_NE(s.Holder.find("TSymmetricImpl \"holder\""), std::string::npos) << s.Holder;
  EXPECT_GE(s.HeldMs, kThreshold);
  EXPECT_LE(s.HeldMs, std::chrono::duration_cast<milliseconds>(held).count());
  const std::string text = s.Text();
  EXPECT_NE(text.find("held for " + std::to_string(s.HeldMs) + " ms by greenlet"), std::string::npos)
      << text;
#if !defined(_WIN32)
  // Linux captures always; Windows names modules only, not functions.
  EXPECT_TRUE(StackNames(s, "HoldHubUntilReported")) << text;
#else
  if (os::CanCaptureThreadStacks()) {
    EXPECT_FALSE(s.Stack.empty()) << text;
  }
#endif
}

TEST_F(HubWatchdog, ReportsATaskOfTheHubsLoopAndAgainForTheNextStall) {
  TSingleThreadHub* hub = DefHub();
  struct TArgs {
    TReports* Reports;
    size_t Before;
  };
  for (size_t round = 0; round < 2; ++round) {
    TArgs args{&FReports, round};
    hub->EnqueueTask(
        [](void* A) {
          auto* a = static_cast<TArgs*>(A);
          HoldHubUntilReported(*a->Reports, a->Before);
        },
        &args);
    hub->Serve(0);
    ASSERT_EQ(FReports.Count(), round + 1);
  }
  std::lock_guard<std::mutex> lock(FReports.Lock);
  for (const THubStall& s : FReports.Stalls) {
    EXPECT_EQ(s.Hub, static_cast<const void*>(hub));
    EXPECT_EQ(s.Greenlet, nullptr);
    EXPECT_EQ(s.Holder, "the hub's loop (a task or callback)");
    EXPECT_GE(s.HeldMs, kThreshold);
  }
}

TEST_F(HubWatchdog, LeavesAHubThatWaitsForWork) {
  TSingleThreadHub* hub = DefHub();
  // Nothing to do: the hub waits in the kernel for four thresholds.
  hub->Serve(4 * kThreshold);
  EXPECT_EQ(FReports.Count(), 0u);
}

TEST_F(HubWatchdog, StopsAndStartsAgain) {
  StopHubWatchdog();
  EXPECT_FALSE(HubWatchdogRunning());
  StartHubWatchdog(kThreshold);
  EXPECT_TRUE(HubWatchdogRunning());
}

}  // namespace green::test
