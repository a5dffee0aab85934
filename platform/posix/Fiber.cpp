// Fibers on Boost.Context: a switch is one jump_fcontext (FiberSwitch.h);
// the fiber we left is handed over in transfer_t::data so its context can be
// stored.
#include "platform/Fiber.h"

#include <boost/context/detail/fcontext.hpp>

#include <cstdio>
#include <cstdlib>
#include <new>

#include "platform/Error.h"
#include "platform/posix/Sanitizers.h"
#include "platform/posix/StackPool.h"

#if defined(GREEN_ASAN)
#include <sanitizer/common_interface_defs.h>
#endif
#if defined(GREEN_TSAN)
#include <sanitizer/tsan_interface.h>
#endif

namespace green::os {

namespace detail {
thread_local constinit FiberHead* CurrentFiber = nullptr;
}  // namespace detail

namespace {

namespace ctx = boost::context::detail;
using detail::CurrentFiber;

struct FiberRecord : detail::FiberHead {
  Stack OwnStack;                     // empty for a thread's own fiber
  FiberProc Proc = nullptr;
  void* Arg = nullptr;
  // Bounds of the stack for ASan; learnt on the first switch away for a
  // thread's own fiber.
  const void* StackBottom = nullptr;
  size_t StackSize = 0;
#if defined(GREEN_TSAN)
  void* Tsan = nullptr;
#endif
};

// Frees a thread's own fiber when the thread ends still converted.
struct ThreadFiberOwner {
  FiberRecord* Record = nullptr;
  ~ThreadFiberOwner() { delete Record; }
};

thread_local ThreadFiberOwner ThreadFiber;

FiberRecord* Current() { return static_cast<FiberRecord*>(CurrentFiber); }

// A created fiber's record lives at the top of its own stack, above what the
// fiber may use: creating one allocates nothing once the pool has stacks.
constexpr size_t kRecordSpace = (sizeof(FiberRecord) + 63) / 64 * 64;

#if defined(GREEN_ASAN)
inline void StartSwitch(void** FakeStack, const FiberRecord* To) {
  __sanitizer_start_switch_fiber(FakeStack, To->StackBottom, To->StackSize);
}
inline void FinishSwitch(void* FakeStack, FiberRecord* From) {
  __sanitizer_finish_switch_fiber(FakeStack, &From->StackBottom, &From->StackSize);
}
#else
inline void StartSwitch(void**, const FiberRecord*) {}
inline void FinishSwitch(void*, FiberRecord*) {}
#endif

// Runs on the new fiber's stack; From.data is the fiber that started it.
[[noreturn]] void Entry(ctx::transfer_t From) {
  auto* Prev = static_cast<FiberRecord*>(From.data);
  Prev->Context = From.fctx;
  FinishSwitch(nullptr, Prev);
  FiberRecord* Self = Current();
  Self->Proc(Self->Arg);
  std::fputs("green: a fiber's start routine returned; fibers must switch away for good\n",
             stderr);
  std::abort();
}

}  // namespace

Fiber ConvertThreadToFiber() {
  if (!ThreadFiber.Record) {
    auto* F = new FiberRecord;
#if defined(GREEN_TSAN)
    F->Tsan = __tsan_get_current_fiber();
#endif
    ThreadFiber.Record = F;
    CurrentFiber = F;
  }
  return ThreadFiber.Record;
}

void ConvertFiberToThread() {
  if (!ThreadFiber.Record || CurrentFiber != ThreadFiber.Record) return;
  delete ThreadFiber.Record;
  ThreadFiber.Record = nullptr;
  CurrentFiber = nullptr;
}

Fiber CreateFiber(size_t StackSize, FiberProc Proc, void* Arg) {
  if (!Proc) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  Stack S = AcquireStack(StackSize);
  if (S.Base && S.Usable() - kRecordSpace < StackSize) {
    ReleaseStack(S);
    S = AcquireStack(StackSize + kRecordSpace);
  }
  if (!S.Base) return nullptr;
  char* Top = static_cast<char*>(S.Top()) - kRecordSpace;
  auto* F = new (Top) FiberRecord;
  F->OwnStack = S;
  F->Proc = Proc;
  F->Arg = Arg;
  F->StackBottom = S.Bottom();
  F->StackSize = S.Usable() - kRecordSpace;
  F->Context = ctx::make_fcontext(Top, F->StackSize, Entry);
#if defined(GREEN_TSAN)
  F->Tsan = __tsan_create_fiber(0);
#endif
  return F;
}

#if defined(GREEN_FIBER_SWITCH_OUT_OF_LINE)
void SwitchToFiber(Fiber To) {
  auto* Target = static_cast<FiberRecord*>(To);
  FiberRecord* Self = Current();
  if (Target == Self) return;
  CurrentFiber = Target;
  void* FakeStack = nullptr;
  StartSwitch(&FakeStack, Target);
#if defined(GREEN_TSAN)
  __tsan_switch_to_fiber(Target->Tsan, 0);
#endif
  ctx::transfer_t From = ctx::jump_fcontext(Target->Context, Self);
  // Back on Self: store where the fiber that switched here resumes.
  auto* Prev = static_cast<FiberRecord*>(From.data);
  Prev->Context = From.fctx;
  FinishSwitch(FakeStack, Prev);
}
#endif

void DeleteFiber(Fiber F) {
  auto* Record = static_cast<FiberRecord*>(F);
  if (!Record || Record == CurrentFiber) return;
  if (Record == ThreadFiber.Record) return;  // ConvertFiberToThread owns it
#if defined(GREEN_TSAN)
  __tsan_destroy_fiber(Record->Tsan);
#endif
  const Stack S = Record->OwnStack;
  Record->~FiberRecord();
  ReleaseStack(S);
}

}  // namespace green::os
