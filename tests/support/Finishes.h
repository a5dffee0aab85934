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
  auto state = std::make_shared<TState>();
  std::thread runner([state, Body]() mutable {
    Body();
    std::lock_guard<std::mutex> lock(state->Lock);
    state->Finished = true;
    state->Done.notify_all();
  });
  std::unique_lock<std::mutex> lock(state->Lock);
  const bool finished = state->Done.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                                             [&] { return state->Finished; });
  lock.unlock();
  if (finished)
    runner.join();
  else
    runner.detach();
  return finished;
}

}  // namespace green::test
