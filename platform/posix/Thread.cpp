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

// The main thread's id is the process id; asked once, since every task pass
// of a hub asks whether it runs on the main thread.
bool IsMainThread() {
  static const uint32_t MainId = static_cast<uint32_t>(getpid());
  return CurrentThreadId() == MainId;
}

bool IsConsoleApp() { return ConsoleApp.load(std::memory_order_relaxed); }

void SetConsoleApp(bool Value) { ConsoleApp.store(Value, std::memory_order_relaxed); }

void YieldThread() { sched_yield(); }

}  // namespace green::os
