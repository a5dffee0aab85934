// Handles that were closed: every call answers invalid-handle, and nothing
// reads the object that was freed.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/Error.h"
#include "platform/Kernel.h"

namespace green::os {
namespace {

TEST(Handle, EveryCallOnAClosedHandleAnswersInvalidHandle) {
  Handle Ev = CreateEvent(true, false);
  Handle Timer = CreateWaitableTimer(false);
  ASSERT_TRUE(CloseHandle(Ev));
  ASSERT_TRUE(CloseHandle(Timer));
  auto ExpectInvalid = [](bool Ok) {
    EXPECT_FALSE(Ok);
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  };
  ExpectInvalid(CloseHandle(Ev));
  ExpectInvalid(SetEvent(Ev));
  ExpectInvalid(ResetEvent(Ev));
  ExpectInvalid(CancelWaitableTimer(Timer));
  ExpectInvalid(SetWaitableTimer(Timer, -1, 0, [](void*, uint32_t, uint32_t) {}, nullptr));
  EXPECT_EQ(WaitForSingleObject(Ev, 0), kWaitFailed);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

#ifndef _WIN32
// Windows hands a closed handle's value to the next object; here a slot
// reused by a new object keeps answering invalid to the old handle.
TEST(Handle, ReusedSlotDoesNotAnswerToTheOldHandle) {
  Handle Old = CreateEvent(true, false);
  ASSERT_TRUE(CloseHandle(Old));
  std::vector<Handle> Fresh;
  for (int I = 0; I < 100; ++I) Fresh.push_back(CreateEvent(true, false));
  for (Handle H : Fresh) EXPECT_NE(H, Old);
  EXPECT_FALSE(SetEvent(Old));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  for (Handle H : Fresh) {
    EXPECT_EQ(WaitForSingleObject(H, 0), kWaitTimeout);
    EXPECT_TRUE(CloseHandle(H));
  }
}

// Handles fill slots in chunks of growing size: many at once each name
// their own object, the one signalled answers alone, and all close.
TEST(Handle, ManyHandlesAtOnceEachNameTheirOwnObject) {
  std::vector<Handle> Events;
  for (int I = 0; I < 900; ++I) {
    Events.push_back(CreateEvent(true, false));
    ASSERT_NE(Events.back(), kNoHandle) << I;
  }
  for (size_t I = 0; I < Events.size(); I += 97) {
    ASSERT_TRUE(SetEvent(Events[I]));
    for (size_t J = 0; J < Events.size(); ++J)
      ASSERT_EQ(WaitForSingleObject(Events[J], 0), J == I ? kWaitObject0 : kWaitTimeout) << J;
    ASSERT_TRUE(ResetEvent(Events[I]));
  }
  for (Handle H : Events) EXPECT_TRUE(CloseHandle(H));
}

// A wait keeps what it waits on: closing the handle under it is safe.
TEST(Handle, ClosingUnderAWaitLeavesTheWaitRunning) {
  Handle Ev = CreateEvent(false, false);
  std::atomic<bool> Waiting{false};
  uint32_t Answer = 0;
  std::thread Waiter([&] {
    Waiting = true;
    Answer = WaitForSingleObject(Ev, 200);
  });
  while (!Waiting) std::this_thread::yield();
  EXPECT_TRUE(CloseHandle(Ev));
  Waiter.join();
  EXPECT_TRUE(Answer == kWaitTimeout || Answer == kWaitFailed);
}
#endif

// Signalling and closing race: each call either works or answers invalid.
TEST(Handle, SignalAndCloseFromTwoThreads) {
  for (int Round = 0; Round < 200; ++Round) {
    Handle Ev = CreateEvent(false, false);
    std::atomic<bool> Go{false};
    std::thread Signaller([&] {
      while (!Go) std::this_thread::yield();
      for (int I = 0; I < 50; ++I) {
        if (!SetEvent(Ev)) {
          EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
          break;
        }
      }
    });
    Go = true;
    EXPECT_TRUE(CloseHandle(Ev));
    Signaller.join();
  }
}

}  // namespace
}  // namespace green::os
