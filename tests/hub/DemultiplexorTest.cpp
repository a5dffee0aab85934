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
    for (size_t I = 0; I < N; ++I) Handles.push_back(os::CreateEvent(ManualReset, false));
  }
  ~TEvents() {
    for (THandle H : Handles) os::CloseHandle(H);
  }
  THandle operator[](size_t I) const { return Handles[I]; }
};

struct TCallLog {
  std::vector<THandle> Handles;
  TCustomHub* Hub = nullptr;
};

void LogCall(THandle Hnd, void* Data, bool Aborted) {
  auto* Log = static_cast<TCallLog*>(Data);
  Log->Handles.push_back(Hnd);
  Log->Hub = GetCurrentHub();
}

TEST(Demultiplexor, SignalledHandleRunsItsCallbackOnceAndIsForgotten) {
  TSingleThreadHub Hub;
  TEvents Ev(1);
  TCallLog Log;
  ASSERT_TRUE(Hub.AddEvent(Ev[0], &LogCall, &Log));
  EXPECT_TRUE(Hub.Serve(0)) << "AddEvent pulses the hub";
  os::SetEvent(Ev[0]);
  EXPECT_TRUE(Hub.Serve(1000));
  ASSERT_EQ(Log.Handles.size(), 1u);
  EXPECT_EQ(Log.Hub, &Hub);
  os::SetEvent(Ev[0]);
  EXPECT_FALSE(Hub.Serve(20)) << "the handle is no longer watched";
  EXPECT_EQ(Log.Handles.size(), 1u);
}

struct TRewatch {
  TSingleThreadHub* Hub;
  int Calls = 0;
};

void Rewatch(THandle Hnd, void* Data, bool) {
  auto* R = static_cast<TRewatch*>(Data);
  if (++R->Calls < 3) R->Hub->AddEvent(Hnd, &Rewatch, R);
}

TEST(Demultiplexor, CallbackMayWatchItsHandleAgain) {
  TSingleThreadHub Hub;
  TEvents Ev(1, /*ManualReset=*/true);
  TRewatch R{&Hub};
  Hub.AddEvent(Ev[0], &Rewatch, &R);
  os::SetEvent(Ev[0]);
  while (R.Calls < 3) ASSERT_TRUE(Hub.Serve(1000));
  EXPECT_FALSE(Hub.Serve(20));
  EXPECT_EQ(R.Calls, 3);
}

TEST(Demultiplexor, HandlesSignalledTogetherAreDispatchedLowestFirstOnePerServe) {
  TSingleThreadHub Hub;
  TEvents Ev(2);
  TCallLog Log;
  Hub.AddEvent(Ev[0], &LogCall, &Log);
  Hub.AddEvent(Ev[1], &LogCall, &Log);
  os::SetEvent(Ev[1]);
  os::SetEvent(Ev[0]);
  Hub.Serve(0);  // the pulse that AddEvent left behind
  ASSERT_TRUE(Hub.Serve(1000));
  ASSERT_EQ(Log.Handles.size(), 1u);
  EXPECT_EQ(Log.Handles[0], Ev[0]);
  ASSERT_TRUE(Hub.Serve(1000));
  ASSERT_EQ(Log.Handles.size(), 2u);
  EXPECT_EQ(Log.Handles[1], Ev[1]);
}

TEST(Demultiplexor, AdmitsSixtyTwoHandlesAndRefusesMore) {
  TSingleThreadHub Hub;
  TEvents Ev(63);
  TCallLog Log;
  for (size_t I = 0; I < 62; ++I) ASSERT_TRUE(Hub.AddEvent(Ev[I], &LogCall, &Log)) << I;
  EXPECT_FALSE(Hub.AddEvent(Ev[62], &LogCall, &Log));
  os::SetEvent(Ev[62]);
  os::SetEvent(Ev[61]);
  Hub.Serve(0);
  ASSERT_TRUE(Hub.Serve(1000));
  ASSERT_EQ(Log.Handles.size(), 1u);
  EXPECT_EQ(Log.Handles[0], Ev[61]) << "the refused handle was not added";
}

TEST(Demultiplexor, SameHandleTwiceIsHeldTwiceButNotWithAnotherCallback) {
  TSingleThreadHub Hub;
  TEvents Ev(1, /*ManualReset=*/true);
  TCallLog Log, Other;
  EXPECT_TRUE(Hub.AddEvent(Ev[0], &LogCall, &Log));
  EXPECT_TRUE(Hub.AddEvent(Ev[0], &LogCall, &Log));
  try {
    Hub.AddEvent(Ev[0], &LogCall, &Other);
    FAIL() << "no error";
  } catch (const EHubError& E) {
    EXPECT_EQ(E.Message(),
              "Handle " + std::to_string(Ev[0]) + " already exists in demultiplexor queue");
  }
  os::SetEvent(Ev[0]);
  Hub.Serve(0);
  Hub.Serve(1000);
  Hub.Serve(1000);
  EXPECT_EQ(Log.Handles.size(), 2u);
  EXPECT_TRUE(Other.Handles.empty());
}

void Raise(THandle, void*, bool) { throw Exception("callback failed"); }

TEST(Demultiplexor, RaisingCallbackLeavesServeWithItsEntryRemoved) {
  TSingleThreadHub Hub;
  TEvents Ev(1, /*ManualReset=*/true);
  Hub.AddEvent(Ev[0], &Raise, nullptr);
  os::SetEvent(Ev[0]);
  Hub.Serve(0);
  EXPECT_THROW(Hub.Serve(1000), Exception);
  EXPECT_NE(GetCurrentHub(), &Hub);
  EXPECT_FALSE(Hub.Serve(20)) << "the entry went before its callback ran";
  EXPECT_EQ(Hub.ThreadId(), 0u) << "the serving claim was given back";
}

TEST(Demultiplexor, DefaultHubRefusesForeignThreads) {
  TSingleThreadHub* Other = nullptr;
  std::thread([&] { Other = DefHub(0); }).join();
  auto ExpectRefused = [](auto&& Call) {
    try {
      Call();
      ADD_FAILURE() << "no error";
    } catch (const EHubError& E) {
      EXPECT_EQ(E.Message(), "Def Hub must be serving inside owner thread");
    }
  };
  ExpectRefused([&] { Other->Serve(0); });
  ExpectRefused([&] { Other->Wait(0); });
  delete Other;
}

TEST(Demultiplexor, NonDefaultHubIsServedByOneThreadAtATime) {
  TSingleThreadHub Hub;
  TEvents Ev(1);
  struct TNested {
    TSingleThreadHub* Hub;
    bool Refused = false;
  } Nested{&Hub};
  Hub.AddEvent(
      Ev[0],
      [](THandle, void* Data, bool) {
        auto* N = static_cast<TNested*>(Data);
        std::thread([N] {
          try {
            N->Hub->Serve(0);
          } catch (const EHubError& E) {
            N->Refused = E.Message() == "Hub already serving by other thread";
          }
        }).join();
      },
      &Nested);
  os::SetEvent(Ev[0]);
  Hub.Serve(0);
  Hub.Serve(1000);
  EXPECT_TRUE(Nested.Refused);
}

TEST(Demultiplexor, WaitForChosenAnswersIgnoresPulses) {
  TSingleThreadHub Hub;
  TEvents Ev(1);
  TCallLog Log;
  Hub.AddEvent(Ev[0], &LogCall, &Log);
  std::thread([&] {
    Hub.Pulse();
    os::SetEvent(Ev[0]);
  }).join();
  using H = TSingleThreadHub;
  EXPECT_EQ(Hub.Wait(5000, H::Events({H::meEvent})), H::meEvent);
  EXPECT_EQ(Log.Handles.size(), 1u);
  EXPECT_EQ(Hub.Wait(30, H::Events({H::meEvent})), H::meWaitTimeout);
}

// The main thread of a windowed process waits for window input too, and
// pumps what arrives. gtest runs tests on the main thread.
TEST(Demultiplexor, WindowedMainThreadPumpsPostedMessages) {
  ASSERT_TRUE(os::IsMainThread());
  const bool Console = os::IsConsoleApp();
  os::SetConsoleApp(false);
  TSingleThreadHub Hub;
  ASSERT_TRUE(os::PostEmptyMessage(os::CurrentThreadId()));
  EXPECT_TRUE(Hub.Serve(5000));
  EXPECT_FALSE(os::HasPendingMessages()) << "the pump emptied the queue";
  const uint32_t Self = os::CurrentThreadId();
  std::thread Poster([Self] { os::PostEmptyMessage(Self); });
  Poster.join();
  EXPECT_TRUE(Hub.Serve(5000));
  EXPECT_FALSE(os::HasPendingMessages());
  EXPECT_FALSE(Hub.Serve(20)) << "nothing else arrived";
  os::SetConsoleApp(Console);
}

TEST(Demultiplexor, PulseFromAnotherThreadWakesServe) {
  TSingleThreadHub Hub;
  Hub.Serve(0);
  std::thread T([&] { Hub.Pulse(); });
  EXPECT_TRUE(Hub.Serve(INFINITE));
  T.join();
}

}  // namespace
}  // namespace green
