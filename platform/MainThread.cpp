// The main thread's call queue: portable, no operating-system support needed.
#include "platform/MainThread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

#include "platform/Kernel.h"
#include "platform/Thread.h"

namespace green::os {

constinit std::atomic<size_t> MainThreadCallsPending{0};

namespace {

struct PendingCall {
  const std::function<void()>* Fn;
  std::exception_ptr Error;
  bool Done = false;
};

struct CallQueue {
  std::mutex Lock;
  std::condition_variable Queued;    // the main thread waits for calls
  std::condition_variable Finished;  // callers wait for their call to be run
  std::deque<PendingCall*> Calls;
  WakeHook Hook;
};

CallQueue& TheQueue() {
  static CallQueue* Q = new CallQueue;  // threads may call in during exit
  return *Q;
}

}  // namespace

WakeHook GetMainThreadWakeHook() {
  CallQueue& Q = TheQueue();
  std::lock_guard<std::mutex> Guard(Q.Lock);
  return Q.Hook;
}

void SetMainThreadWakeHook(WakeHook Hook) {
  CallQueue& Q = TheQueue();
  std::lock_guard<std::mutex> Guard(Q.Lock);
  Q.Hook = Hook;
}

void Synchronize(const std::function<void()>& Fn) {
  if (IsMainThread()) {
    Fn();
    return;
  }
  CallQueue& Q = TheQueue();
  PendingCall Call{&Fn, nullptr};
  WakeHook Hook;
  {
    std::lock_guard<std::mutex> Guard(Q.Lock);
    Q.Calls.push_back(&Call);
    MainThreadCallsPending.store(Q.Calls.size(), std::memory_order_release);
    Hook = Q.Hook;
  }
  Q.Queued.notify_one();
  Hook();  // outside the lock: the hook may do anything
  {
    std::unique_lock<std::mutex> Guard(Q.Lock);
    Q.Finished.wait(Guard, [&] { return Call.Done; });
  }
  if (Call.Error) std::rethrow_exception(Call.Error);
}

namespace {

// The main thread's turn at the queued calls: waits up to TimeoutMs for one,
// then runs all that are there.
bool RunCalls(CallQueue& Q, uint32_t TimeoutMs) {
  std::deque<PendingCall*> Calls;
  {
    std::unique_lock<std::mutex> Guard(Q.Lock);
    auto HasCalls = [&] { return !Q.Calls.empty(); };
    if (TimeoutMs == kInfinite) {
      Q.Queued.wait(Guard, HasCalls);
    } else if (TimeoutMs > 0) {
      Q.Queued.wait_for(Guard, std::chrono::milliseconds(TimeoutMs), HasCalls);
    }
    Calls.swap(Q.Calls);
    MainThreadCallsPending.store(0, std::memory_order_release);
  }
  for (PendingCall* Call : Calls) {
    try {
      (*Call->Fn)();
    } catch (...) {
      Call->Error = std::current_exception();
    }
    {
      std::lock_guard<std::mutex> Guard(Q.Lock);
      Call->Done = true;
    }
    Q.Finished.notify_all();
  }
  return !Calls.empty();
}

}  // namespace

// Every hub turn asks: the usual answer takes one load.
bool RunSynchronized(uint32_t TimeoutMs) {
  if (!IsMainThread()) return false;
  return RunCalls(TheQueue(), TimeoutMs);
}

}  // namespace green::os
