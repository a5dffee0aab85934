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
  std::vector<int> steps;
  TSymmetric s = TSymmetric::Spawn([&] {
    steps.push_back(1);
    Yield();  // were it still the macro, step 2 would run inside Spawn
    steps.push_back(2);
    green::Yield();
    steps.push_back(3);
    TRawGreenletImpl::GetCurrent()->Yield();
    steps.push_back(4);
  });
  EXPECT_EQ(steps, std::vector<int>{1});
  EXPECT_TRUE(Join({s}, INFINITE, true));
  EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4}));

  auto gen = TGenerator<int32_t>::Create([] {
    for (int32_t i = 1; i <= 3; ++i) TGenerator<int32_t>::Yield(i);
  });
  std::vector<int32_t> got;
  for (int32_t v : gen) got.push_back(v);
  EXPECT_EQ(got, (std::vector<int32_t>{1, 2, 3}));
}

TEST(WindowsHeaderFirst, InfiniteMeansNoLimitToBoth) {
  static_assert(INFINITE == UINT32_MAX);
  HANDLE sys = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(sys, nullptr);
  auto ev = MakeRef<TGevent>(true, false);
  TSymmetric s = TSymmetric::Spawn([&] {
    EXPECT_EQ(ev->WaitFor(INFINITE), wrSignaled);
    ::SetEvent(sys);
  });
  ev->SetEvent();  // the gevent's own, beside the system's SetEvent
  EXPECT_TRUE(Join({s}, INFINITE, true));
  EXPECT_EQ(::WaitForSingleObject(sys, INFINITE), WAIT_OBJECT_0);
  ::CloseHandle(sys);
}

}  // namespace
}  // namespace green
