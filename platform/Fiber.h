// Fibers: cooperative contexts with their own stacks, switched explicitly on
// one thread. win32 uses the system's fibers; posix uses Boost.Context on
// mmap'ed stacks with a guard page below each, so an overflow faults.
#pragma once

#include <cstddef>

#if !defined(_WIN32)
#include "platform/posix/FiberSwitch.h"
#endif

namespace green::os {

using Fiber = void*;
// A fiber's start routine. It must never return: a fiber ends by switching
// away for the last time and being deleted from another fiber.
using FiberProc = void (*)(void* Arg);

// The calling thread's own fiber (its original stack), created on first call
// and the same on every later call from that thread.
Fiber ConvertThreadToFiber();
// Undoes ConvertThreadToFiber; the thread must be running on its own fiber.
void ConvertFiberToThread();
// A new fiber that runs Proc(Arg) when first switched to. StackSize is the
// usable stack in bytes (rounded up to whole pages). nullptr when the system
// refuses; the last error tells why.
Fiber CreateFiber(size_t StackSize, FiberProc Proc, void* Arg);
// Saves the running fiber and continues To. The caller must be a fiber
// (ConvertThreadToFiber or a created fiber) of the same thread.
#if defined(_WIN32) || defined(GREEN_FIBER_SWITCH_OUT_OF_LINE)
void SwitchToFiber(Fiber To);
#else
inline void SwitchToFiber(Fiber To) { detail::SwitchFiber(static_cast<detail::FiberHead*>(To)); }
#endif
// Frees a fiber that is not running.
void DeleteFiber(Fiber F);
// The fiber running on the calling thread, or nullptr when the thread was
// never converted.
#if defined(_WIN32)
Fiber GetCurrentFiber();
#else
inline Fiber GetCurrentFiber() { return detail::CurrentFiber; }
#endif

}  // namespace green::os
