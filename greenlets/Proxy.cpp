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
  std::lock_guard<TReentrantLock> Lock(FLock);
  return FBase;
}

void TGreenletProxyImpl::SetBase(TRawGreenletImpl* Value) {
  std::lock_guard<TReentrantLock> Lock(FLock);
  if (Value == FBase) return;
  FBase = Value;
  if (Value) Value->GetOnStateChanged()->SetEvent();
}

void TGreenletProxyImpl::Pulse() {
  TRawGreenletImpl* Direct = nullptr;
  {
    std::lock_guard<TReentrantLock> Lock(FLock);
    if (!FBase) return;
    std::lock_guard<TReentrantLock> BaseLock(FBase->FLock);
    TCustomHub* Hub = FBase->FHub;
    if (!Hub || !Runnable(FBase->GetState())) return;
    if (Hub == GetCurrentHub())
      Direct = FBase;
    else
      Queue<&TGreenletProxyImpl::SwitchBase>(Hub);
  }
  if (Direct) Direct->Switch();
}

void TGreenletProxyImpl::DelayedSwitch() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  if (!FBase) return;
  std::lock_guard<TReentrantLock> BaseLock(FBase->FLock);
  if (FBase->FHub && Runnable(FBase->GetState()))
    Queue<&TGreenletProxyImpl::SwitchBase>(FBase->FHub);
}

void TGreenletProxyImpl::Resume() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  if (!FBase) return;
  if (TCustomHub* Hub = FBase->GetHub()) Queue<&TGreenletProxyImpl::ResumeBase>(Hub);
}

void TGreenletProxyImpl::Suspend() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  if (!FBase) return;
  std::lock_guard<TReentrantLock> BaseLock(FBase->FLock);
  if (FBase->FHub) Queue<&TGreenletProxyImpl::SuspendBase>(FBase->FHub);
}

// On the greenlet's own hub the kill happens at once as well; the queued
// task then finds it finished and does nothing.
void TGreenletProxyImpl::Kill() {
  TRawGreenletImpl* Direct = nullptr;
  {
    std::lock_guard<TReentrantLock> Lock(FLock);
    if (!FBase) return;
    std::lock_guard<TReentrantLock> BaseLock(FBase->FLock);
    TCustomHub* Hub = FBase->FHub;
    if (!Hub) return;
    if (Hub == GetCurrentHub()) Direct = FBase;
    Queue<&TGreenletProxyImpl::KillBase>(Hub);
  }
  if (Direct) Direct->Kill();
}

TCustomHub* TGreenletProxyImpl::GetHub() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  return FBase ? FBase->GetHub() : nullptr;
}

tGreenletState TGreenletProxyImpl::GetState() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  return FBase ? FBase->GetState() : gsTerminated;
}

Exception* TGreenletProxyImpl::GetException() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  return FBase ? FBase->GetException() : nullptr;
}

TGevent* TGreenletProxyImpl::GetOnStateChanged() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  return FBase ? FBase->GetOnStateChanged() : nullptr;
}

TGevent* TGreenletProxyImpl::GetOnTerminate() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  return FBase ? FBase->GetOnTerminate() : nullptr;
}

uintptr_t TGreenletProxyImpl::GetUID() {
  std::lock_guard<TReentrantLock> Lock(FLock);
  return FBase ? FBase->GetUID() : 0;
}

void TGreenletProxyImpl::SwitchBase() {
  if (TRawGreenletImpl* Base = GetBase()) Base->Switch();
}
void TGreenletProxyImpl::ResumeBase() {
  if (TRawGreenletImpl* Base = GetBase()) Base->Resume();
}
void TGreenletProxyImpl::SuspendBase() {
  if (TRawGreenletImpl* Base = GetBase()) Base->Suspend();
}
void TGreenletProxyImpl::KillBase() {
  if (TRawGreenletImpl* Base = GetBase()) Base->Kill();
}

}  // namespace green
