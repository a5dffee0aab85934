// The exception kept by a failed system callback, and the routines held
// back behind it, per thread. Both live on the heap only while in use: a
// thread_local with a destructor crashes mingw's thread exit.
#include "platform/Callback.h"

#include <cstdio>
#include <cstdlib>
#include <deque>

namespace green::os {

namespace {

thread_local std::exception_ptr* Failure = nullptr;
thread_local std::deque<std::function<void()>>* HeldBack = nullptr;

// Losing a held-back routine would lose a completion and hang its waiter,
// and losing a failure would hide it: without memory, stop loudly.
[[noreturn]] void OutOfMemory() {
  std::fputs("green: no memory to keep a failed system callback\n", stderr);
  std::abort();
}

}  // namespace

bool CallbackFailed() noexcept { return Failure != nullptr; }

namespace detail {

void KeepCallbackFailure(std::exception_ptr Error) noexcept {
  if (Failure) return;
  try {
    Failure = new std::exception_ptr(std::move(Error));
  } catch (...) {
    OutOfMemory();
  }
}

void HoldBack(std::function<void()> Routine) noexcept {
  try {
    if (!HeldBack) HeldBack = new std::deque<std::function<void()>>;
    HeldBack->push_back(std::move(Routine));
  } catch (...) {
    OutOfMemory();
  }
}

}  // namespace detail

bool RunHeldBackCallbacks() {
  bool Ran = false;
  while (!Failure && HeldBack) {
    std::function<void()> Routine = std::move(HeldBack->front());
    HeldBack->pop_front();
    if (HeldBack->empty()) {
      delete HeldBack;
      HeldBack = nullptr;
    }
    Ran = true;
    RunSystemCallback(Routine);
  }
  return Ran;
}

void RaiseCallbackFailure() {
  if (!Failure) return;
  std::exception_ptr Error = std::move(*Failure);
  delete Failure;
  Failure = nullptr;
  std::rethrow_exception(Error);
}

}  // namespace green::os
