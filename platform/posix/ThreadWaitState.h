// Per-thread state of alertable waits: the completion routines queued to the
// thread, the descriptor that wakes its waits, and its timers.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/Kernel.h"

namespace green::os {

struct TimerObject;

struct ThreadWaitState {
  uint32_t ThreadId = 0;
  int WakeFd = -1;  // an eventfd, written when a routine is queued
  uint64_t StartTime = 0;  // tells a thread from a later one with the same id
  std::mutex Lock;  // guards everything below
  bool Adopted = false;  // the thread itself has taken this state up
  bool Exited = false;
  std::vector<std::pair<ApcProc, void*>> Apcs;
  std::vector<TimerObject*> Timers;  // binary heap on the due time

  ~ThreadWaitState();
};

// The calling thread's state, created on first use and dropped at its exit.
ThreadWaitState& ThisThreadWaitState();
std::shared_ptr<ThreadWaitState> ThisThreadWaitStateShared();

// Runs the thread's queued routines; true when any ran.
bool RunQueuedApcs(ThreadWaitState& State);

// Defined with the timers: the nearest due time (monotonic ns) or -1, and
// running the routines of due timers (true when any ran).
int64_t NextTimerDue(ThreadWaitState& State);
bool RunDueTimers(ThreadWaitState& State);
// At thread exit: its timers stop.
void DropTimers(ThreadWaitState& State);

}  // namespace green::os
