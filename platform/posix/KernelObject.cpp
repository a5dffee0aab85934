#include "platform/posix/KernelObject.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/Error.h"

namespace green::os {

KernelObject::~KernelObject() {
  Magic = 0;
  if (Fd >= 0) close(Fd);
}

KernelObject* ObjectOf(Handle H) {
  auto* Object = reinterpret_cast<KernelObject*>(H);
  if (!Object || H % alignof(KernelObject) != 0 || Object->Magic != KernelObject::kAlive) {
    SetLastError(kErrorInvalidHandle);
    return nullptr;
  }
  return Object;
}

bool AcquireSignal(KernelObject& Object) {
  if (Object.ManualReset) return true;
  uint64_t Count;
  // A nonblocking read takes the whole count: one wait per signal, however
  // often it was set.
  return read(Object.Fd, &Count, sizeof Count) == sizeof Count;
}

bool CloseHandle(Handle H) {
  KernelObject* Object = ObjectOf(H);
  if (!Object) return false;
  if (Object->Kind == ObjectKind::Timer) {
    CloseTimer(*Object);
  } else {
    delete Object;
  }
  return true;
}

}  // namespace green::os
