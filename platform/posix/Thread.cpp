#include "platform/Thread.h"

#include <sched.h>
#include <unistd.h>

#include <atomic>

namespace green::os {

namespace {
std::atomic<bool> ConsoleApp{true};
}

uint32_t CurrentThreadId() {
  // The id never changes for a thread; ask the kernel once.
  thread_local const uint32_t Id = static_cast<uint32_t>(gettid());
  return Id;
}

bool IsMainThread() { return CurrentThreadId() == static_cast<uint32_t>(getpid()); }

bool IsConsoleApp() { return ConsoleApp.load(std::memory_order_relaxed); }

void SetConsoleApp(bool Value) { ConsoleApp.store(Value, std::memory_order_relaxed); }

void YieldThread() { sched_yield(); }

}  // namespace green::os
