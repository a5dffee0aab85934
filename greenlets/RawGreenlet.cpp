#include <typeinfo>

#include "gevent/Gevent.h"
#include "greenlets/GreenletThread.h"
#include "greenlets/GreenletsImpl.h"
#include "greenlets/LocalStorage.h"
#include "hub/Hub.h"
#include "platform/Error.h"

namespace green {

const char* const GREEN_ENV = "D1C68A29-4293-43C5-8CA8-D0C5E8B854DF";
const char* const HUB_JOINER = "B2F22831-7AF8-4498-B0AE-278B1F2038F7";

namespace {
// The keys as strings made once: every greenlet looks both up in its hub.
const std::string& EnvironKey() {
  static const std::string Key(GREEN_ENV);
  return Key;
}
const std::string& JoinerKey() {
  static const std::string Key(HUB_JOINER);
  return Key;
}
}  // namespace

// ---- construction and destruction ------------------------------------------

TRawGreenletImpl::TRawGreenletImpl() {
  SetHub(GetCurrentHub());
  TGreenEnvironmentImpl* Source = nullptr;
  if (TRawGreenletImpl* Parent = GetCurrent()) {
    Source = Parent->FEnviron.get();
  } else if (TCustomHub* Hub = GetHub()) {
    Source = dynamic_cast<TGreenEnvironmentImpl*>(Hub->HLS(EnvironKey()));
    if (!Source) {
      Source = new TGreenEnvironmentImpl;
      Hub->HLS(EnvironKey(), Source);
    }
  }
  // Shared until one side changes it (Environ); one holding values that
  // cannot be copied is copied now, as a later copy would lose them.
  if (!Source)
    FEnviron = MakeRef<TGreenEnvironmentImpl>();
  else if (Source->Shareable())
    FEnviron = RefPtr<TGreenEnvironmentImpl>(Source);
  else
    FEnviron = Source->Copy();
}

// The fiber is made on first entry, when the flavour's stack size is known;
// a greenlet that never runs costs no stack.
void TRawGreenletImpl::CreateOwnFiber() {
  FClassName.store(ReportedClass(), std::memory_order_release);
  FContext = os::CreateFiber(GetStackSize(), &TRawGreenletImpl::EnterProcFiber, this);
  if (!FContext)
    throw Exception(Format("Cannot create the greenlet's fiber: %s",
                           os::SysErrorMessage(os::GetLastError()).c_str()));
}

TRawGreenletImpl::~TRawGreenletImpl() {
  const tGreenletState State = GetState();
  if (State == gsExecute || State == gsSuspended) Kill();
  SetHub(nullptr);
  FInjectException.reset();
  FSleepEv.reset();
  if (TGreenletProxyImpl* Proxy = FProxy.exchange(nullptr)) {
    Proxy->SetBase(nullptr);
    Proxy->_Release();
  }
  FLS.reset();
  FGC.reset();
  FEnviron.reset();
  for (std::atomic<TGevent*>* Slot : {&FOnStateChange, &FOnTerminate})
    if (TGevent* Ev = Slot->exchange(nullptr)) Ev->_Release();
  FException.reset();
  if (FContext) os::DeleteFiber(FContext);
  FContext = nullptr;
}

void TRawGreenletImpl::Destroy() { delete this; }

TGarbageCollector& TRawGreenletImpl::GC() {
  if (!FGC) FGC = std::make_unique<TGarbageCollector>();
  return *FGC;
}

TLocalStorage& TRawGreenletImpl::GLS() {
  if (!FLS) FLS = std::make_unique<TLocalStorage>();
  return *FLS;
}

// At zero: a greenlet of a foreign hub is finished on its own thread by a
// kill token; one whose own fiber is running is destroyed by the next
// context that gets control; any other is destroyed at once.
int32_t TRawGreenletImpl::_Release() {
  int32_t N = DecRef();
  if (N != 0) return N;
  {
    std::lock_guard<TReentrantLock> Lock(FLock);
    TCustomHub* Hub = FHub;
    if (Hub && !FForcingKill.load() && Hub != GetCurrentHub()) {
      auto* Token = new TKillToken(this);
      Hub->EnqueueTask(BindMethod<&TKillToken::DoIt>(Token));
      return 1;
    }
  }
  TGreenletThread& T = TGreenletThread::Get();
  if (T.Current == this) {
    T.PendingDelete = this;
    return 0;
  }
  Destroy();
  return 0;
}

// ---- accessors ------------------------------------------------------------

RefPtr<IGreenletProxy> TRawGreenletImpl::GetProxy() { return RefPtr<IGreenletProxy>(Proxy()); }

// Two threads may race to make it: the loser frees its own.
TGreenletProxyImpl* TRawGreenletImpl::Proxy() {
  TGreenletProxyImpl* Proxy = FProxy.load(std::memory_order_acquire);
  if (Proxy) return Proxy;
  auto* Made = new TGreenletProxyImpl(this);
  Made->_AddRef();
  if (FProxy.compare_exchange_strong(Proxy, Made, std::memory_order_acq_rel)) return Made;
  Made->_Release();
  return Proxy;
}

template <class TDue>
TGevent* TRawGreenletImpl::LazyGevent(std::atomic<TGevent*>& Slot, bool ManualReset, TDue Due) {
  TGevent* Ev = Slot.load(std::memory_order_acquire);
  if (Ev) return Ev;
  auto* Made = new TGevent(ManualReset, false);
  Made->_AddRef();
  if (!Slot.compare_exchange_strong(Ev, Made, std::memory_order_seq_cst)) {
    Made->_Release();
    return Ev;
  }
  if (Due()) Made->SetEvent();
  return Made;
}

TGevent* TRawGreenletImpl::GetOnStateChanged() {
  return LazyGevent(FOnStateChange, false,
                    [this] { return FStateChanged.load(std::memory_order_seq_cst); });
}

TGevent* TRawGreenletImpl::GetOnTerminate() {
  return LazyGevent(FOnTerminate, true,
                    [this] { return IsEndState(FState.load(std::memory_order_seq_cst)); });
}

void TRawGreenletImpl::SignalEvent(TGevent* Ev) { Ev->SetEvent(); }

// The end state is stored (seq_cst) before this runs.
void TRawGreenletImpl::SignalTerminate() {
  if (TGevent* Ev = FOnTerminate.load(std::memory_order_seq_cst)) Ev->SetEvent();
}

// A shared environment is copied before it is handed out: the sharers
// never change it, so the copy reads a stable one.
TGreenEnvironmentImpl* TRawGreenletImpl::Environ() {
  if (!FEnviron->SoleReference()) FEnviron = FEnviron->Copy();
  return FEnviron.get();
}

std::string TRawGreenletImpl::GetName() {
  std::lock_guard<std::mutex> Lock(FNameLock);
  return FName;
}

void TRawGreenletImpl::SetName(const std::string& Value) {
  std::lock_guard<std::mutex> Lock(FNameLock);
  FName = Value;
}

TCustomHub* TRawGreenletImpl::GetHub() { return FHub.load(std::memory_order_acquire); }

// HubChanging and the store happen in one step under FLock, so that the
// greenlet is always listed by the joiner of the hub it names, however
// many threads move it at once. What the change sets off runs after the
// lock is left, in HubChanging's order (joiners' signals, triggers, the
// state change, the end of a sleep): signalling a gevent wakes its waiters
// through their proxies, whose locks come before a greenlet's (a sleeping
// greenlet's own proxy is one of them), so doing it under FLock could
// deadlock with a Pulse. Ending the sleep by signalling its event rather
// than freeing it also ends a sleep that has not registered its wait yet.
void TRawGreenletImpl::SetHub(TCustomHub* Hub) {
  THubNews News;
  {
    std::lock_guard<TReentrantLock> Lock(FLock);
    if (Hub == FHub) return;
    HubChanging(FHub, Hub);
    FHub = Hub;
    News = std::move(FHubNews);
  }
  if (News.Left) News.Left->SetEvent();
  if (News.Joined) News.Joined->SetEvent();
  FHubTriggers.RaiseAll();
  SignalStateChange();
  if (News.Sleep) News.Sleep->SetEvent();
}

// The joiners' locks are leaves: they are taken inside FLock and nothing
// is called while they are held.
void TRawGreenletImpl::HubChanging(TCustomHub* Origin, TCustomHub* Dest) {
  if (HubInfrasctuctureEnable) {
    if (Origin) FHubNews.Left = GetJoiner(Origin)->Unlink(this);
    if (Dest) FHubNews.Joined = GetJoiner(Dest)->Link(this);
  }
  FHubNews.Sleep = std::move(FSleepEv);
}

// The hub remembers its joiner: a THub makes it in its constructor, before
// any other thread knows the hub.
TJoiner* TRawGreenletImpl::GetJoiner(TCustomHub* Hub) {
  if (TObject* Cached = Hub->JoinerCache()) return static_cast<TJoiner*>(Cached);
  auto* Joiner = dynamic_cast<TJoiner*>(Hub->HLS(JoinerKey()));
  if (!Joiner) {
    Joiner = new TJoiner;
    Hub->HLS(JoinerKey(), Joiner);
  }
  Hub->SetJoinerCache(Joiner);
  return Joiner;
}

}  // namespace green
