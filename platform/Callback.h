// Routines that the system calls back (completion routines, timer routines,
// I/O completion routines, window procedures) run between frames of the
// system's own. On 32-bit Windows an exception that unwinds through such a
// frame ends the process, so none may leave one. The contract, the same on
// both backends:
// - every such routine runs inside RunSystemCallback, which catches
//   everything and keeps the first exception for the calling thread;
// - once a routine has failed, the routines that the same wait would still
//   run are held back, in order, for the thread's next alertable wait;
// - the wait (or message pump) that called the system raises the kept
//   exception on the caller's side of the system call, and only there.
#pragma once

#include <exception>
#include <functional>
#include <utility>

namespace green::os {

// True while an exception kept from a routine of this thread waits to be
// raised; loops that run routines stop taking new ones then.
bool CallbackFailed() noexcept;

namespace detail {
void KeepCallbackFailure(std::exception_ptr Error) noexcept;
void HoldBack(std::function<void()> Routine) noexcept;
}  // namespace detail

// Runs Fn as a routine called by the system. Never throws.
template <class F>
void RunSystemCallback(F&& Fn) noexcept {
  if (CallbackFailed()) {
    detail::HoldBack(std::function<void()>(std::forward<F>(Fn)));
    return;
  }
  try {
    Fn();
  } catch (...) {
    detail::KeepCallbackFailure(std::current_exception());
  }
}

// For alertable waits, before they ask the system: runs the routines that an
// earlier failure held back, stopping at a new failure. True when any ran;
// the wait then answers completion without waiting.
bool RunHeldBackCallbacks();

// Raises, once, the exception that a routine of this thread kept; nothing
// when none did. Waits call it after the system call returned.
void RaiseCallbackFailure();

}  // namespace green::os
