#include "greenlets/GreenletThread.h"

#include "greenlets/GreenletsImpl.h"

namespace green {

constinit thread_local TGreenletThread TGreenletThread::This;

void TGreenletThread::DestroyPending() {
  TRawGreenletImpl* G = PendingDelete;
  PendingDelete = nullptr;
  G->Destroy();
}

}  // namespace green
