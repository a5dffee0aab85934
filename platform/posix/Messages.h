// The posix stand-in for a thread's message queue: posted empty messages
// counted in an eventfd of the thread's wait state, and the window
// toolkit's input source (platform/WindowInput.h) on the main thread.
#pragma once

#include <poll.h>

#include <cstddef>

namespace green::os {

struct ThreadWaitState;

// What a message-aware wait polls beside its objects.
struct MessageInput {
  pollfd Fds[2];
  size_t Count = 0;
  bool (*Pending)(void* Data) = nullptr;  // the toolkit's own queue
  void* Data = nullptr;

  bool PendingNow() const { return Pending && Pending(Data); }
};

// The calling thread's message descriptors, its queue made when it has none.
MessageInput MessageInputOf(ThreadWaitState& State);

}  // namespace green::os
