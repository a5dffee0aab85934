// The public headers first, then <windows.h>: from there on Yield() is that
// header's empty macro again, so the runtime's Yield is called with its name
// in parentheses, which the preprocessor leaves alone; INFINITE is one and
// the same. Built only for Windows; a broken header breaks the build.
#include "greenlets/Greenlets.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace green {
namespace {

TEST(WindowsHeaderLast, ParenthesisedYieldIsTheRuntimes) {
  std::vector<int> steps;
  TSymmetric s = TSymmetric::Spawn([&] {
    steps.push_back(1);
    (Yield)();
    steps.push_back(2);
    (green::Yield)();
    steps.push_back(3);
    (TRawGreenletImpl::GetCurrent()->Yield)();
    steps.push_back(4);
  });
  EXPECT_EQ(steps, std::vector<int>{1});
  EXPECT_TRUE(Join({s}, INFINITE, true));
  EXPECT_EQ(steps, (std::vector<int>{1, 2, 3, 4}));

  auto gen = TGenerator<int32_t>::Create([] {
    for (int32_t i = 1; i <= 3; ++i) (TGenerator<int32_t>::Yield)(i);
  });
  std::vector<int32_t> got;
  for (int32_t v : gen) got.push_back(v);
  EXPECT_EQ(got, (std::vector<int32_t>{1, 2, 3}));
}

TEST(WindowsHeaderLast, InfiniteMeansNoLimitToBoth) {
  static_assert(INFINITE == UINT32_MAX);
  HANDLE sys = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(::WaitForSingleObject(sys, INFINITE), WAIT_OBJECT_0);
  ::CloseHandle(sys);
  auto ev = MakeRef<TGevent>(true, true);
  EXPECT_EQ(ev->WaitFor(INFINITE), wrSignaled);
}

}  // namespace
}  // namespace green
