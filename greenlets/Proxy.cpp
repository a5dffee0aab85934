#include "gevent/Gevent.h"
#include "greenlets/GreenletsImpl.h"
#include "hub/Hub.h"

namespace green {

namespace {
bool Runnable(tGreenletState S) { return S == gsReady || S == gsExecute || S == gsKilling; }
}  // namespace

// The hub's task holds a counted reference: the proxy lives until it ran.
template <void (TGreenletProxyImpl::*M)()>
void TGreenletProxyImpl::Queue(TCustomHub* Hub) {
  Hub->EnqueueTask(BindMethod<M>(this));
}

TRawGreenletImpl* TGreenletProxyImpl::GetBase() {
  std::lock_guard<TReentrantLock> lock(FLock);
  return Base();
}

void TGreenletProxyImpl::SetBase(TRawGreenletImpl* Value) {
  std::lock_guard<TReentrantLock> lock(FLock);
  if (Value == Base()) return;
  FBase.store(Value, std::memory_order_release);
  if (Value) Value->GetOnStateChanged()->SetEvent();
}

void TGreenletProxyImpl::Pulse() {
  TRawGreenletImpl* direct = nullptr;
  {
    std::lock_guard<TReentrantLock> lock(FLock);
    if (!Base()) return;
    std::lock_guard<TReentrantLock> baseLock(Base()->FLock);
    TCustomHub* hub = Base()->FHub;
    if (!hub || !Runnable(Base()->GetState())) return;
    if (hub == GetCurrentHub())
      direct = Base();
    else
      Queue<&TGreenletProxyImpl::SwitchBase>(hub);
  }
  if (direct) direct->Switch();
}

void TGreenletProxyImpl::DelayedSwitch() {
  std::lock_guard<TReentrantLock> lock(FLock);
  if (!Base()) return;
  std::lock_guard<TReentrantLock> baseLock(Base()->FLock);
  if (Base()->FHub && Runnable(Base()->GetState()))
    Queue<&TGreenletProxyImpl::SwitchBase>(Base()->FHub);
}

void TGreenletProxyImpl::Resume() {
  std::lock_guard<TReentrantLock> lock(FLock);
  if (!Base()) return;
  if (TCustomHub* hub = Base()->GetHub()) Queue<&TGreenletProxyImpl::ResumeBase>(hub);
}

void TGreenletProxyImpl::Suspend() {
  std::lock_guard<TReentrantLock> lock(FLock);
  if (!Base()) return;
  std::lock_guard<TReentrantLock> baseLock(Base()->FLock);
  if (Base()->FHub) Queue<&TGreenletProxyImpl::SuspendBase>(Base()->FHub);
}

// On the greenlet's own hub the kill happens at once as well; the queued
// task then finds it finished and does nothing.
void TGreenletProxyImpl::Kill() {
  TRawGreenletImpl* direct = nullptr;
  {
    std::lock_guard<TReentrantLock> lock(FLock);
    if (!Base()) return;
    std::lock_guard<TReentrantLock> baseLock(Base()->FLock);
    TCustomHub* hub = Base()->FHub;
    if (!hub) return;
    if (hub == GetCurrentHub()) direct = Base();
    Queue<&TGreenletProxyImpl::KillBase>(hub);
  }
  if (direct) direct->Kill();
}

TCustomHub* TGreenletProxyImpl::GetHub() {
  std::lock_guard<TReentrantLock> lock(FLock);
  return Base() ? Base()->GetHub() : nullptr;
}

tGreenletState TGreenletProxyImpl::GetState() {
  std::lock_guard<TReentrantLock> lock(FLock);
  return Base() ? Base()->GetState() : gsTerminated;
}

Exception* TGreenletProxyImpl::GetException() {
  std::lock_guard<TReentrantLock> lock(FLock);
  return Base() ? Base()->GetException() : nullptr;
}

TGevent* TGreenletProxyImpl::GetOnStateChanged() {
  std::lock_guard<TReentrantLock> lock(FLock);
  return Base() ? Base()->GetOnStateChanged() : nullptr;
}

TGevent* TGreenletProxyImpl::GetOnTerminate() {
  std::lock_guard<TReentrantLock> lock(FLock);
  return Base() ? Base()->GetOnTerminate() : nullptr;
}

uintptr_t TGreenletProxyImpl::GetUID() {
  std::lock_guard<TReentrantLock> lock(FLock);
  return Base() ? Base()->GetUID() : 0;
}

void TGreenletProxyImpl::SwitchBase() {
  if (TRawGreenletImpl* base = GetBase()) base->Switch();
}
void TGreenletProxyImpl::ResumeBase() {
  if (TRawGreenletImpl* base = GetBase()) base->Resume();
}
void TGreenletProxyImpl::SuspendBase() {
  if (TRawGreenletImpl* base = GetBase()) base->Suspend();
}
void TGreenletProxyImpl::KillBase() {
  if (TRawGreenletImpl* base = GetBase()) base->Kill();
}

}  // namespace green
