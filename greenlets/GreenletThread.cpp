#include "greenlets/GreenletThread.h"

#include "greenlets/GreenletsImpl.h"

namespace green {

constinit thread_local TGreenletThread TGreenletThread::This;

void TGreenletThread::DestroyPending() {
  TRawGreenletImpl* g = PendingDelete;
  PendingDelete = nullptr;
  g->Destroy();
}

}  // namespace green
