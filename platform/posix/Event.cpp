// Events are eventfds: signalled while the counter is non-zero.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <memory>

#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/posix/Errno.h"
#include "platform/posix/KernelObject.h"

namespace green::os {

Handle CreateEvent(bool ManualReset, bool InitialState) {
  int Fd = eventfd(InitialState ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (Fd < 0) {
    SetLastErrorFromErrno();
    return kNoHandle;
  }
  auto Event = std::make_shared<KernelObject>(ObjectKind::Event);
  Event->Fd = Fd;
  Event->ManualReset = ManualReset;
  return AddObject(std::move(Event));
}

bool SignalEventObject(KernelObject& Event) {
  uint64_t One = 1;
  // The counter cannot overflow in practice: waits and resets drain it.
  if (write(Event.Fd, &One, sizeof One) != sizeof One) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

void ResetEventObject(KernelObject& Event) {
  uint64_t Count;
  (void)!read(Event.Fd, &Count, sizeof Count);  // EAGAIN: already reset
}

bool SetEvent(Handle Ev) {
  ObjectRef Event = ObjectOf(Ev, ObjectKind::Event);
  return Event && SignalEventObject(*Event);
}

bool ResetEvent(Handle Ev) {
  ObjectRef Event = ObjectOf(Ev, ObjectKind::Event);
  if (!Event) return false;
  ResetEventObject(*Event);
  return true;
}

}  // namespace green::os
