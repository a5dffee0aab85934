// Events are eventfds: signalled while the counter is non-zero.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/posix/Errno.h"
#include "platform/posix/KernelObject.h"

namespace green::os {

namespace {

KernelObject* EventOf(Handle H) {
  KernelObject* Object = ObjectOf(H);
  if (Object && Object->Kind != ObjectKind::Event) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  return Object;
}

}  // namespace

Handle CreateEvent(bool ManualReset, bool InitialState) {
  int Fd = eventfd(InitialState ? 1 : 0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (Fd < 0) {
    SetLastErrorFromErrno();
    return kNoHandle;
  }
  auto* Event = new KernelObject(ObjectKind::Event);
  Event->Fd = Fd;
  Event->ManualReset = ManualReset;
  return HandleOf(Event);
}

bool SetEvent(Handle Ev) {
  KernelObject* Event = EventOf(Ev);
  if (!Event) return false;
  uint64_t One = 1;
  // The counter cannot overflow in practice: waits and resets drain it.
  if (write(Event->Fd, &One, sizeof One) != sizeof One) {
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool ResetEvent(Handle Ev) {
  KernelObject* Event = EventOf(Ev);
  if (!Event) return false;
  uint64_t Count;
  (void)!read(Event->Fd, &Count, sizeof Count);  // EAGAIN: already reset
  return true;
}

}  // namespace green::os
