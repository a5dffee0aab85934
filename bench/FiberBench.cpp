// A platform fiber switch round trip against a bare jump_fcontext round trip,
// the least a switch on this hardware can cost.
#include <benchmark/benchmark.h>

#include <vector>

#include "platform/Fiber.h"

#ifndef _WIN32
#include <boost/context/detail/fcontext.hpp>
#endif

namespace green::os {
namespace {

[[noreturn]] void BounceBack(void* Arg) {
  for (;;) SwitchToFiber(*static_cast<Fiber*>(Arg));
}

// Thread to fiber and back.
void BM_FiberSwitch(benchmark::State& State) {
  Fiber Main = ConvertThreadToFiber();
  Fiber Other = CreateFiber(64 * 1024, BounceBack, &Main);
  for (auto _ : State) SwitchToFiber(Other);
  DeleteFiber(Other);
}
BENCHMARK(BM_FiberSwitch);

// The fair limit for an out-of-line API: the same round trip, but each side
// switches through a function that the compiler may not inline, as a
// greenlet's Switch and Yield are. The return after the jump then lands in a
// frame of the other side's call chain, which no out-of-line switch avoids.
[[gnu::noinline]] void SwitchOutOfLine(Fiber To) {
  SwitchToFiber(To);
  asm volatile("" ::: "memory");
}

[[noreturn]] void BounceBackOutOfLine(void* Arg) {
  for (;;) SwitchOutOfLine(*static_cast<Fiber*>(Arg));
}

void BM_FiberSwitchNoinline(benchmark::State& State) {
  Fiber Main = ConvertThreadToFiber();
  Fiber Other = CreateFiber(64 * 1024, BounceBackOutOfLine, &Main);
  for (auto _ : State) SwitchOutOfLine(Other);
  DeleteFiber(Other);
}
BENCHMARK(BM_FiberSwitchNoinline);

#ifndef _WIN32
namespace ctx = boost::context::detail;

[[noreturn]] void BounceRaw(ctx::transfer_t From) {
  for (;;) From = ctx::jump_fcontext(From.fctx, nullptr);
}

void BM_RawJumpFcontext(benchmark::State& State) {
  std::vector<char> Stack(64 * 1024);
  ctx::fcontext_t Other = ctx::make_fcontext(Stack.data() + Stack.size(), Stack.size(), BounceRaw);
  for (auto _ : State) Other = ctx::jump_fcontext(Other, nullptr).fctx;
}
BENCHMARK(BM_RawJumpFcontext);
#endif

}  // namespace
}  // namespace green::os
