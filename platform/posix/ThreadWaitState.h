// Per-thread state of alertable waits: the completion routines queued to the
// thread, the descriptor that wakes its waits, its timers and its overlapped
// operations.
#pragma once

#include <cstdint>
#include <memory>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/Kernel.h"
#include "platform/posix/PendingIo.h"

namespace green::os {

struct TimerObject;

struct ThreadWaitState {
  uint32_t ThreadId = 0;
  // An eventfd, written when a routine is queued; -1 while the process had
  // no descriptor to spare for it (MakeWakeFd tries again at each
  // alertable wait, which fails until then).
  std::atomic<int> WakeFd{-1};
  // The thread's message queue: an eventfd counting posted messages, made
  // by the thread itself (under Lock) the first time it asks for messages.
  int MessageFd = -1;
  uint64_t StartTime = 0;  // tells a thread from a later one with the same id
  std::mutex Lock;  // guards everything below
  bool Adopted = false;  // the thread itself has taken this state up
  bool Exited = false;
  std::vector<std::pair<ApcProc, void*>> Apcs;
  std::vector<TimerObject*> Timers;  // binary heap on the due time

  IoQueue Io;  // has its own lock
  // What the thread's waits poll, kept between waits so that they need not
  // allocate; the thread's own.
  std::vector<pollfd> PollFds;
  std::vector<PendingIo*> PollOps;

  ~ThreadWaitState();
};

// Makes State's WakeFd if it has none yet; false with the last error when
// the process has no descriptor left for it.
bool MakeWakeFd(ThreadWaitState& State);

// The calling thread's state, created on first use and dropped at its exit;
// the main thread's stays until the process ends, so that static objects
// destroyed after the thread's thread_locals may still wait and cancel.
ThreadWaitState& ThisThreadWaitState();
std::shared_ptr<ThreadWaitState> ThisThreadWaitStateShared();
// The calling thread's state if it has one (and is not ending), else nullptr;
// never makes one.
ThreadWaitState* ThisThreadWaitStateIfAny();
// The state of another thread of this process (made for it when it has none
// yet), or nullptr when no such thread runs.
std::shared_ptr<ThreadWaitState> ThreadWaitStateOf(uint32_t ThreadId);
// The states of all threads that have one.
std::vector<std::shared_ptr<ThreadWaitState>> AllThreadWaitStates();

// Runs the thread's queued routines; true when any ran.
bool RunQueuedApcs(ThreadWaitState& State);

// Defined with the timers: the nearest due time (monotonic ns) or -1, and
// running the routines of due timers (true when any ran).
int64_t NextTimerDue(ThreadWaitState& State);
bool RunDueTimers(ThreadWaitState& State);
// At thread exit: its timers stop.
void DropTimers(ThreadWaitState& State);

}  // namespace green::os
