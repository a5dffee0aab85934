// The hub's wait over kernel handles and its wake-up from other threads.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "hub/Hub.h"
#include "platform/Kernel.h"
#include "platform/Thread.h"

namespace green {
namespace {

struct TEvents {
  std::vector<THandle> Handles;
  explicit TEvents(size_t N, bool ManualReset = false) {
    for (size_t i = 0; i < N; ++i) Handles.push_back(os::CreateEvent(ManualReset, false));
  }
  ~TEvents() {
    for (THandle h : Handles) os::CloseHandle(h);
  }
  THandle operator[](size_t i) const { return Handles[i]; }
};

struct TCallLog {
  std::vector<THandle> Handles;
  TCustomHub* Hub = nullptr;
};

void LogCall(THandle Hnd, void* Data, bool Aborted) {
  auto* log = static_cast<TCallLog*>(Data);
  log->Handles.push_back(Hnd);
  log->Hub = GetCurrentHub();
}

TEST(Demultiplexor, SignalledHandleRunsItsCallbackOnceAndIsForgotten) {
  TSingleThreadHub hub;
  TEvents ev(1);
  TCallLog log;
  ASSERT_TRUE(hub.AddEvent(ev[0], &LogCall, &log));
  EXPECT_TRUE(hub.Serve(0)) << "AddEvent pulses the hub";
  os::SetEvent(ev[0]);
  EXPECT_TRUE(hub.Serve(1000));
  ASSERT_EQ(log.Handles.size(), 1u);
  EXPECT_EQ(log.Hub, &hub);
  os::SetEvent(ev[0]);
  EXPECT_FALSE(hub.Serve(20)) << "the handle is no longer watched";
  EXPECT_EQ(log.Handles.size(), 1u);
}

struct TRewatch {
  TSingleThreadHub* Hub;
  int Calls = 0;
};

void Rewatch(THandle Hnd, void* Data, bool) {
  auto* r = static_cast<TRewatch*>(Data);
  if (++r->Calls < 3) r->Hub->AddEvent(Hnd, &Rewatch, r);
}

TEST(Demultiplexor, CallbackMayWatchItsHandleAgain) {
  TSingleThreadHub hub;
  TEvents ev(1, /*ManualReset=*/true);
  TRewatch r{&hub};
  hub.AddEvent(ev[0], &Rewatch, &r);
  os::SetEvent(ev[0]);
  while (r.Calls < 3) ASSERT_TRUE(hub.Serve(1000));
  EXPECT_FALSE(hub.Serve(20));
  EXPECT_EQ(r.Calls, 3);
}

TEST(Demultiplexor, HandlesSignalledTogetherAreDispatchedLowestFirstOnePerServe) {
  TSingleThreadHub hub;
  TEvents ev(2);
  TCallLog log;
  hub.AddEvent(ev[0], &LogCall, &log);
  hub.AddEvent(ev[1], &LogCall, &log);
  os::SetEvent(ev[1]);
  os::SetEvent(ev[0]);
  hub.Serve(0);  // the pulse that AddEvent left behind
  ASSERT_TRUE(hub.Serve(1000));
  ASSERT_EQ(log.Handles.size(), 1u);
  EXPECT_EQ(log.Handles[0], ev[0]);
  ASSERT_TRUE(hub.Serve(1000));
  ASSERT_EQ(log.Handles.size(), 2u);
  EXPECT_EQ(log.Handles[1], ev[1]);
}

TEST(Demultiplexor, AdmitsSixtyTwoHandlesAndRefusesMore) {
  TSingleThreadHub hub;
  TEvents ev(63);
  TCallLog log;
  for (size_t i = 0; i < 62; ++i) ASSERT_TRUE(hub.AddEvent(ev[i], &LogCall, &log)) << i;
  EXPECT_FALSE(hub.AddEvent(ev[62], &LogCall, &log));
  os::SetEvent(ev[62]);
  os::SetEvent(ev[61]);
  hub.Serve(0);
  ASSERT_TRUE(hub.Serve(1000));
  ASSERT_EQ(log.Handles.size(), 1u);
  EXPECT_EQ(log.Handles[0], ev[61]) << "the refused handle was not added";
}

TEST(Demultiplexor, SameHandleTwiceIsHeldTwiceButNotWithAnotherCallback) {
  TSingleThreadHub hub;
  TEvents ev(1, /*ManualReset=*/true);
  TCallLog log, other;
  EXPECT_TRUE(hub.AddEvent(ev[0], &LogCall, &log));
  EXPECT_TRUE(hub.AddEvent(ev[0], &LogCall, &log));
  try {
    hub.AddEvent(ev[0], &LogCall, &other);
    FAIL() << "no error";
  } catch (const EHubError& e) {
    EXPECT_EQ(e.Message(),
              "Handle " + std::to_string(ev[0]) + " already exists in demultiplexor queue");
  }
  os::SetEvent(ev[0]);
  hub.Serve(0);
  hub.Serve(1000);
  hub.Serve(1000);
  EXPECT_EQ(log.Handles.size(), 2u);
  EXPECT_TRUE(other.Handles.empty());
}

void Raise(THandle, void*, bool) { throw Exception("callback failed"); }

TEST(Demultiplexor, RaisingCallbackLeavesServeWithItsEntryRemoved) {
  TSingleThreadHub hub;
  TEvents ev(1, /*ManualReset=*/true);
  hub.AddEvent(ev[0], &Raise, nullptr);
  os::SetEvent(ev[0]);
  hub.Serve(0);
  EXPECT_THROW(hub.Serve(1000), Exception);
  EXPECT_NE(GetCurrentHub(), &hub);
  EXPECT_FALSE(hub.Serve(20)) << "the entry went before its callback ran";
  EXPECT_EQ(hub.ThreadId(), 0u) << "the serving claim was given back";
}

TEST(Demultiplexor, DefaultHubRefusesForeignThreads) {
  TSingleThreadHub* other = nullptr;
  std::thread([&] { other = DefHub(0); }).join();
  auto expectRefused = [](auto&& call) {
    try {
      call();
      ADD_FAILURE() << "no error";
    } catch (const EHubError& e) {
      EXPECT_EQ(e.Message(), "Def Hub must be serving inside owner thread");
    }
  };
  expectRefused([&] { other->Serve(0); });
  expectRefused([&] { other->Wait(0); });
  delete other;
}

TEST(Demultiplexor, NonDefaultHubIsServedByOneThreadAtATime) {
  TSingleThreadHub hub;
  TEvents ev(1);
  struct TNested {
    TSingleThreadHub* Hub;
    bool Refused = false;
  } nested{&hub};
  hub.AddEvent(
      ev[0],
      [](THandle, void* Data, bool) {
        auto* n = static_cast<TNested*>(Data);
        std::thread([n] {
          try {
            n->Hub->Serve(0);
          } catch (const EHubError& e) {
            n->Refused = e.Message() == "Hub already serving by other thread";
          }
        }).join();
      },
      &nested);
  os::SetEvent(ev[0]);
  hub.Serve(0);
  hub.Serve(1000);
  EXPECT_TRUE(nested.Refused);
}

TEST(Demultiplexor, WaitForChosenAnswersIgnoresPulses) {
  TSingleThreadHub hub;
  TEvents ev(1);
  TCallLog log;
  hub.AddEvent(ev[0], &LogCall, &log);
  std::thread([&] {
    hub.Pulse();
    os::SetEvent(ev[0]);
  }).join();
  using H = TSingleThreadHub;
  EXPECT_EQ(hub.Wait(5000, H::Events({H::meEvent})), H::meEvent);
  EXPECT_EQ(log.Handles.size(), 1u);
  EXPECT_EQ(hub.Wait(30, H::Events({H::meEvent})), H::meWaitTimeout);
}

// The main thread of a windowed process waits for window input too, and
// pumps what arrives. gtest runs tests on the main thread.
TEST(Demultiplexor, WindowedMainThreadPumpsPostedMessages) {
  ASSERT_TRUE(os::IsMainThread());
  const bool console = os::IsConsoleApp();
  os::SetConsoleApp(false);
  TSingleThreadHub hub;
  ASSERT_TRUE(os::PostEmptyMessage(os::CurrentThreadId()));
  EXPECT_TRUE(hub.Serve(5000));
  EXPECT_FALSE(os::HasPendingMessages()) << "the pump emptied the queue";
  const uint32_t self = os::CurrentThreadId();
  std::thread poster([self] { os::PostEmptyMessage(self); });
  poster.join();
  EXPECT_TRUE(hub.Serve(5000));
  EXPECT_FALSE(os::HasPendingMessages());
  EXPECT_FALSE(hub.Serve(20)) << "nothing else arrived";
  os::SetConsoleApp(console);
}

TEST(Demultiplexor, PulseFromAnotherThreadWakesServe) {
  TSingleThreadHub hub;
  hub.Serve(0);
  std::thread t([&] { hub.Pulse(); });
  EXPECT_TRUE(hub.Serve(INFINITE));
  t.join();
}

}  // namespace
}  // namespace green
