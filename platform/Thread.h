// Threads and the kind of process we run in.
#pragma once

#include <cstdint>

namespace green::os {

// The system's id of the calling thread; never 0.
uint32_t CurrentThreadId();
// True on the process's main thread (the one that ran start-up).
bool IsMainThread();
// A console process waits without looking at window messages. win32 reads
// the executable's subsystem; posix answers true until SetConsoleApp(false),
// which the windowed launcher calls.
bool IsConsoleApp();
void SetConsoleApp(bool Value);
// Yields the processor to another thread (a failed spin).
void YieldThread();

}  // namespace green::os
