// Posted messages and the toolkit's input source: what the main thread's
// message-aware wait watches besides its objects, and what PumpMessages
// hands out.
#include "platform/posix/Messages.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>

#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/Thread.h"
#include "platform/WindowInput.h"
#include "platform/posix/ThreadWaitState.h"

namespace green::os {

namespace {

// Set and read on the main thread only.
WindowInputSource TheSource;

// The calling thread's queue, made on first use as a message call makes it
// on Windows; -1 when no descriptor is left.
int OwnQueue(ThreadWaitState& State) {
  if (State.MessageFd >= 0) return State.MessageFd;
  const int Fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  std::lock_guard<std::mutex> Guard(State.Lock);
  State.MessageFd = Fd;
  return Fd;
}

// The source applies to the main thread alone.
const WindowInputSource* SourceFor() { return IsMainThread() && TheSource ? &TheSource : nullptr; }

bool Readable(int Fd) {
  pollfd P{Fd, POLLIN, 0};
  return poll(&P, 1, 0) == 1 && (P.revents & POLLIN);
}

}  // namespace

void SetWindowInputSource(const WindowInputSource& Source) { TheSource = Source; }
WindowInputSource GetWindowInputSource() { return TheSource; }

MessageInput MessageInputOf(ThreadWaitState& State) {
  MessageInput Input;
  const int Queue = OwnQueue(State);
  if (Queue >= 0) Input.Fds[Input.Count++] = {Queue, POLLIN, 0};
  if (const WindowInputSource* Source = SourceFor()) {
    Input.Fds[Input.Count++] = {Source->Fd, POLLIN, 0};
    Input.Pending = Source->Pending;
    Input.Data = Source->Data;
  }
  return Input;
}

bool PostEmptyMessage(uint32_t ThreadId) {
  std::shared_ptr<ThreadWaitState> State = ThreadWaitStateOf(ThreadId);
  if (!State) {
    SetLastError(kErrorInvalidParameter);  // no such thread
    return false;
  }
  if (ThreadId == CurrentThreadId()) OwnQueue(*State);
  int Fd;
  {
    std::lock_guard<std::mutex> Guard(State->Lock);
    Fd = State->Exited ? -1 : State->MessageFd;
  }
  // A thread that never asked for messages has no queue to post to.
  if (Fd < 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  const uint64_t One = 1;
  return write(Fd, &One, sizeof One) == sizeof One;
}

bool HasPendingMessages() {
  const MessageInput Input = MessageInputOf(ThisThreadWaitState());
  if (Input.PendingNow()) return true;
  for (size_t I = 0; I < Input.Count; ++I)
    if (Readable(Input.Fds[I].fd)) return true;
  return false;
}

// Posted messages have no window to go to: taking them is handling them.
void PumpMessages() {
  ThreadWaitState& State = ThisThreadWaitState();
  uint64_t Count;
  if (State.MessageFd >= 0) (void)!read(State.MessageFd, &Count, sizeof Count);
  if (const WindowInputSource* Source = SourceFor()) Source->Dispatch(Source->Data);
}

}  // namespace green::os
