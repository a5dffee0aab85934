// Many greenlets suspended in one wait at once, released by one signal.
#include <gtest/gtest.h>

#include <vector>

#include "gevent/Gevent.h"
#include "hub/Hub.h"
#include "support/TestGreenlet.h"

namespace green {
namespace {

// ThreadSanitizer keeps about a megabyte of state per fiber.
#if defined(__SANITIZE_THREAD__)
constexpr int kGreenlets = 1000;
#else
constexpr int kGreenlets = 10000;
#endif

TEST(Scale, TenThousandGreenletsWaitOnOneGevent) {
  auto ev = MakeRef<TGevent>(true, false);
  int woken = 0;
  std::vector<RefPtr<test::TLambdaGreenlet>> greenlets;
  greenlets.reserve(kGreenlets);
  for (int i = 0; i < kGreenlets; ++i) {
    greenlets.push_back(test::Spawn([&] {
      if (ev->WaitFor(INFINITE) == wrSignaled) ++woken;
    }));
    greenlets.back()->Switch();
  }
  EXPECT_EQ(ev->WaiterCount(), static_cast<size_t>(kGreenlets));
  ev->SetEvent();
  const TDateTime deadline = Now() + TimeOut2Time(60000);
  while (woken < kGreenlets && Now() < deadline) DefHub(0)->Serve(1000);
  EXPECT_EQ(woken, kGreenlets);
  for (auto& g : greenlets) EXPECT_EQ(g->GetState(), gsTerminated);
}

}  // namespace
}  // namespace green
