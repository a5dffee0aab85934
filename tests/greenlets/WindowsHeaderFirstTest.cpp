// <windows.h> first, then the public headers, as a Windows program using the
// runtime includes them: the runtime's INFINITE is the system's, the empty
// Win16 Yield() macro is undone, and everything is spelt as without it.
// Built only for Windows; a broken header breaks the build.
#include <windows.h>

#include "greenlets/Greenlets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace green {
namespace {

TEST(WindowsHeaderFirst, YieldIsTheRuntimesAgain) {
  std::vector<int> Steps;
  TSymmetric S = TSymmetric::Spawn([&] {
    Steps.push_back(1);
    Yield();  // were it still the macro, step 2 would run inside Spawn
    Steps.push_back(2);
    green::Yield();
    Steps.push_back(3);
    TRawGreenletImpl::GetCurrent()->Yield();
    Steps.push_back(4);
  });
  EXPECT_EQ(Steps, std::vector<int>{1});
  EXPECT_TRUE(Join({S}, INFINITE, true));
  EXPECT_EQ(Steps, (std::vector<int>{1, 2, 3, 4}));

  auto Gen = TGenerator<int32_t>::Create([] {
    for (int32_t I = 1; I <= 3; ++I) TGenerator<int32_t>::Yield(I);
  });
  std::vector<int32_t> Got;
  for (int32_t V : Gen) Got.push_back(V);
  EXPECT_EQ(Got, (std::vector<int32_t>{1, 2, 3}));
}

TEST(WindowsHeaderFirst, InfiniteMeansNoLimitToBoth) {
  static_assert(INFINITE == UINT32_MAX);
  HANDLE Sys = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(Sys, nullptr);
  auto Ev = MakeRef<TGevent>(true, false);
  TSymmetric S = TSymmetric::Spawn([&] {
    EXPECT_EQ(Ev->WaitFor(INFINITE), wrSignaled);
    ::SetEvent(Sys);
  });
  Ev->SetEvent();  // the gevent's own, beside the system's SetEvent
  EXPECT_TRUE(Join({S}, INFINITE, true));
  EXPECT_EQ(::WaitForSingleObject(Sys, INFINITE), WAIT_OBJECT_0);
  ::CloseHandle(Sys);
}

}  // namespace
}  // namespace green
