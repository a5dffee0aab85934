// Fibers: create, switch, delete, many at once, exceptions inside them, and
// what a stack overflow does.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Error.h"
#include "platform/Fiber.h"
#include "support/LiveFibers.h"

namespace green::os {
namespace {

struct PingPong {
  Fiber Main = nullptr;
  Fiber Self = nullptr;
  int Steps = 0;
  Fiber SeenCurrent = nullptr;
};

[[noreturn]] void PingProc(void* Arg) {
  auto* P = static_cast<PingPong*>(Arg);
  for (;;) {
    P->SeenCurrent = GetCurrentFiber();
    ++P->Steps;
    SwitchToFiber(P->Main);
  }
}

TEST(Fiber, ConvertIsIdempotentAndCurrentFollowsSwitches) {
  Fiber Main = ConvertThreadToFiber();
  ASSERT_NE(Main, nullptr);
  EXPECT_EQ(ConvertThreadToFiber(), Main);
  EXPECT_EQ(GetCurrentFiber(), Main);

  PingPong P;
  P.Main = Main;
  P.Self = CreateFiber(64 * 1024, PingProc, &P);
  ASSERT_NE(P.Self, nullptr);
  EXPECT_EQ(P.Steps, 0) << "a fiber must not run before the first switch";
  for (int I = 1; I <= 3; ++I) {
    SwitchToFiber(P.Self);
    EXPECT_EQ(P.Steps, I);
    EXPECT_EQ(P.SeenCurrent, P.Self);
    EXPECT_EQ(GetCurrentFiber(), Main);
  }
  DeleteFiber(P.Self);
}

TEST(Fiber, UnconvertedThreadHasNoCurrentFiber) {
  // win32: GetCurrentFiber() of the system answers garbage here; the layer
  // must answer nullptr all the same.
  Fiber Seen = reinterpret_cast<Fiber>(1);
  Fiber Converted = nullptr;
  Fiber AfterConvert = nullptr;
  std::thread T([&] {
    Seen = GetCurrentFiber();
    Converted = ConvertThreadToFiber();
    AfterConvert = GetCurrentFiber();
    ConvertFiberToThread();
  });
  T.join();
  EXPECT_EQ(Seen, nullptr);
  EXPECT_NE(Converted, nullptr);
  EXPECT_EQ(AfterConvert, Converted);
}

struct Chain {
  Fiber Main = nullptr;
  std::vector<Fiber> Fibers;
  std::vector<int> Ran;

  // Also when an assertion leaves the test early: later tests need the
  // address space for their threads.
  ~Chain() { Free(); }
  void Free() {
    for (Fiber F : Fibers) DeleteFiber(F);
    Fibers.clear();
  }
};

struct ChainArg {
  Chain* C;
  int Index;
};

[[noreturn]] void ChainProc(void* Arg) {
  auto* A = static_cast<ChainArg*>(Arg);
  for (;;) {
    ++A->C->Ran[A->Index];
    // Each fiber passes control to the next, the last back to the thread.
    size_t Next = static_cast<size_t>(A->Index) + 1;
    SwitchToFiber(Next < A->C->Fibers.size() ? A->C->Fibers[Next] : A->C->Main);
  }
}

#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer keeps about 1 MiB of its own state per fiber and runs out
// of memory long before the fibers do; the full count runs in every other
// build.
constexpr int kLiveFibers = 1000;
#else
constexpr int kLiveFibers = 10000;
#endif

TEST(Fiber, TenThousandLiveFibers) {
  // The runtime keeps this many greenlets alive at once. Creation stops at
  // the first refusal, so a platform narrower than Windows (32-bit Wine)
  // shows how many it holds; every fiber made must still run and be freed.
  constexpr int kTarget = kLiveFibers;
  Chain C;
  C.Main = ConvertThreadToFiber();
  C.Fibers.reserve(kTarget);
  C.Ran.assign(kTarget, 0);
  std::vector<ChainArg> Args(kTarget);
  uint32_t Refusal = kErrorSuccess;
  for (int I = 0; I < kTarget; ++I) {
    Args[I] = {&C, I};
    Fiber F = CreateFiber(16 * 1024, ChainProc, &Args[I]);
    if (!F) {
      Refusal = GetLastError();
      break;
    }
    C.Fibers.push_back(F);
  }
  const int Created = static_cast<int>(C.Fibers.size());
  test::ReportLiveFibers("fibers", Created, kTarget);
  RecordProperty("fibers_created", Created);
  for (int Round = 1; Round <= 2 && Created > 0; ++Round) {
    SwitchToFiber(C.Fibers[0]);
    for (int I = 0; I < Created; ++I) ASSERT_EQ(C.Ran[I], Round) << "fiber " << I;
  }
  C.Free();
  EXPECT_GE(Created, test::RequiredLiveFibers(kTarget))
      << "refused at fiber " << Created << ": " << SysErrorMessage(Refusal);
  if (Created < kTarget) {
    EXPECT_NE(Refusal, kErrorSuccess) << "a refusal sets the last error";
  }
}

TEST(Fiber, CreateAndDeleteManyTimesReusesStacks) {
  // Stacks are recycled; a recycled stack must start a fresh fiber.
  Fiber Main = ConvertThreadToFiber();
  for (int I = 0; I < 2000; ++I) {
    PingPong P;
    P.Main = Main;
    P.Self = CreateFiber(16 * 1024, PingProc, &P);
    ASSERT_NE(P.Self, nullptr);
    SwitchToFiber(P.Self);
    ASSERT_EQ(P.Steps, 1);
    DeleteFiber(P.Self);
  }
}

struct StackUse {
  Fiber Main = nullptr;
  size_t Bytes = 0;
  unsigned Sum = 0;
};

[[noreturn]] void UseStackProc(void* Arg) {
  auto* U = static_cast<StackUse*>(Arg);
  // A large frame, written through so it is really touched.
  volatile unsigned char* Frame = static_cast<unsigned char*>(__builtin_alloca(U->Bytes));
  for (size_t I = 0; I < U->Bytes; I += 512) Frame[I] = static_cast<unsigned char>(I >> 9);
  for (size_t I = 0; I < U->Bytes; I += 512) U->Sum += Frame[I];
  SwitchToFiber(U->Main);
  std::abort();
}

TEST(Fiber, AskedStackIsUsable) {
  StackUse U;
  U.Main = ConvertThreadToFiber();
  U.Bytes = 48 * 1024;
  Fiber F = CreateFiber(64 * 1024, UseStackProc, &U);
  ASSERT_NE(F, nullptr);
  SwitchToFiber(F);
  unsigned Expected = 0;
  for (size_t I = 0; I < U.Bytes; I += 512) Expected += static_cast<unsigned char>(I >> 9);
  EXPECT_EQ(U.Sum, Expected);
  DeleteFiber(F);
}

struct Thrower {
  Fiber Main = nullptr;
  std::string Caught;
  int Rounds = 0;
};

[[noreturn]] void ThrowProc(void* Arg) {
  auto* T = static_cast<Thrower*>(Arg);
  for (;;) {
    try {
      // Switching away inside a try block must not disturb the handler
      // search that happens after the switch back.
      SwitchToFiber(T->Main);
      throw std::runtime_error("inside fiber " + std::to_string(++T->Rounds));
    } catch (const std::exception& E) {
      T->Caught = E.what();
    }
  }
}

TEST(Fiber, ExceptionsThrownAndCaughtInsideAFiber) {
  Thrower T;
  T.Main = ConvertThreadToFiber();
  Fiber F = CreateFiber(64 * 1024, ThrowProc, &T);
  ASSERT_NE(F, nullptr);
  SwitchToFiber(F);  // enters the try block and comes back
  for (int I = 1; I <= 3; ++I) {
    // The thread's own stack throws too, between the fiber's throws.
    try {
      throw std::logic_error("on thread");
    } catch (const std::logic_error&) {
    }
    SwitchToFiber(F);
    EXPECT_EQ(T.Caught, "inside fiber " + std::to_string(I));
  }
  DeleteFiber(F);
}

#ifndef _WIN32
// Far deeper than any fiber stack; volatile so the recursion is not folded.
volatile int RecursionLimit = 1 << 30;

int Recurse(int Depth) {
  volatile char Pad[1024];
  std::memset(const_cast<char*>(Pad), Depth & 0xFF, sizeof Pad);
  if (Depth >= RecursionLimit) return 0;
  return Recurse(Depth + 1) + Pad[Depth % sizeof Pad];
}

[[noreturn]] void OverflowProc(void* Arg) {
  Recurse(static_cast<int>(reinterpret_cast<std::intptr_t>(Arg)));
  std::abort();
}
#endif

TEST(FiberDeathTest, StackOverflowFaults) {
#ifdef _WIN32
  // Windows raises EXCEPTION_STACK_OVERFLOW, which gtest's death tests cannot
  // observe portably; the guard page is the system's own there.
  GTEST_SKIP() << "posix only";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        ConvertThreadToFiber();
        Fiber F = CreateFiber(16 * 1024, OverflowProc, nullptr);
        SwitchToFiber(F);
      },
      "");
#endif
}

}  // namespace
}  // namespace green::os
