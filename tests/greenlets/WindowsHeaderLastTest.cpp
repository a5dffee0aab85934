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
  std::vector<int> Steps;
  TSymmetric S = TSymmetric::Spawn([&] {
    Steps.push_back(1);
    (Yield)();
    Steps.push_back(2);
    (green::Yield)();
    Steps.push_back(3);
    (TRawGreenletImpl::GetCurrent()->Yield)();
    Steps.push_back(4);
  });
  EXPECT_EQ(Steps, std::vector<int>{1});
  EXPECT_TRUE(Join({S}, INFINITE, true));
  EXPECT_EQ(Steps, (std::vector<int>{1, 2, 3, 4}));

  auto Gen = TGenerator<int32_t>::Create([] {
    for (int32_t I = 1; I <= 3; ++I) (TGenerator<int32_t>::Yield)(I);
  });
  std::vector<int32_t> Got;
  for (int32_t V : Gen) Got.push_back(V);
  EXPECT_EQ(Got, (std::vector<int32_t>{1, 2, 3}));
}

TEST(WindowsHeaderLast, InfiniteMeansNoLimitToBoth) {
  static_assert(INFINITE == UINT32_MAX);
  HANDLE Sys = ::CreateEventW(nullptr, TRUE, TRUE, nullptr);
  ASSERT_NE(Sys, nullptr);
  EXPECT_EQ(::WaitForSingleObject(Sys, INFINITE), WAIT_OBJECT_0);
  ::CloseHandle(Sys);
  auto Ev = MakeRef<TGevent>(true, true);
  EXPECT_EQ(Ev->WaitFor(INFINITE), wrSignaled);
}

}  // namespace
}  // namespace green
