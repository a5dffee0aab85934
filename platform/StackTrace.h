// The stack of another thread of the process, for reports such as a hub
// watchdog's. posix interrupts the thread with a signal and unwinds in the
// handler; 64-bit Windows suspends the thread and unwinds its context with
// the system's unwind tables; 32-bit Windows does not capture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace green::os {

// Whether CaptureThreadStack can answer at all on this platform.
bool CanCaptureThreadStacks();
// The return addresses of thread ThreadId (an id of CurrentThreadId, not
// the caller's own), innermost first, the interrupted instruction first of
// all. False, with Frames empty, where the platform cannot, or when the
// thread did not let itself be interrupted within TimeoutMs (it blocks the
// signal, or a sanitizer holds signals back). One capture at a time; the
// first call prepares what the unwinder needs, so that the handler only
// unwinds.
bool CaptureThreadStack(uint32_t ThreadId, std::vector<uintptr_t>& Frames, uint32_t TimeoutMs);
// One frame as text: "0x7f..12 Function+0x1a (module)", as much as the
// dynamic symbols tell; functions of hidden visibility show as module+offset.
std::string DescribeCodeAddress(uintptr_t Address);

}  // namespace green::os
