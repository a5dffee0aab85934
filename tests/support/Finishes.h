// Runs a test body on a thread of its own, to tell a body that hangs (a
// lock left held makes its next taker spin for ever) from one that ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

namespace green::test {

// True when Body finished within TimeoutMs. A body that did not is left
// running; the failed test ends the program around it.
template <class F>
bool FinishesWithin(uint32_t TimeoutMs, F Body) {
  struct TState {
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
  };
  auto State = std::make_shared<TState>();
  std::thread Runner([State, Body]() mutable {
    Body();
    std::lock_guard<std::mutex> Lock(State->Lock);
    State->Finished = true;
    State->Done.notify_all();
  });
  std::unique_lock<std::mutex> Lock(State->Lock);
  const bool Finished = State->Done.wait_for(Lock, std::chrono::milliseconds(TimeoutMs),
                                             [&] { return State->Finished; });
  Lock.unlock();
  if (Finished)
    Runner.join();
  else
    Runner.detach();
  return Finished;
}

}  // namespace green::test
