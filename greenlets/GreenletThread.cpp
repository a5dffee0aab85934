#include "greenlets/GreenletThread.h"

#include "greenlets/GreenletsImpl.h"

namespace green {

TGreenletThread& TGreenletThread::Get() {
  thread_local TGreenletThread state;
  return state;
}

os::Fiber TGreenletThread::EnsureRootFiber() {
  if (!RootFiber) RootFiber = os::ConvertThreadToFiber();
  return RootFiber;
}

bool TGreenletThread::PushCaller(TRawGreenletImpl* G) {
  if (CallerCount >= kMaxCallers) return false;
  Callers[CallerCount++] = G;
  return true;
}

void TGreenletThread::AfterSwitch() {
  if (PendingDelete && PendingDelete != Current) {
    TRawGreenletImpl* g = PendingDelete;
    PendingDelete = nullptr;
    g->Destroy();
  }
}

}  // namespace green
