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
  static const std::string key(GREEN_ENV);
  return key;
}
const std::string& JoinerKey() {
  static const std::string key(HUB_JOINER);
  return key;
}
}  // namespace

// ---- construction and destruction ------------------------------------------

TRawGreenletImpl::TRawGreenletImpl() {
  SetHub(GetCurrentHub());
  TGreenEnvironmentImpl* source = nullptr;
  if (TRawGreenletImpl* parent = GetCurrent()) {
    source = parent->FEnviron.get();
  } else if (TCustomHub* hub = GetHub()) {
    source = dynamic_cast<TGreenEnvironmentImpl*>(hub->HLS(EnvironKey()));
    if (!source) {
      source = new TGreenEnvironmentImpl;
      hub->HLS(EnvironKey(), source);
    }
  }
  // Shared until one side changes it (Environ); one holding values that
  // cannot be copied is copied now, as a later copy would lose them.
  if (!source)
    FEnviron = MakeRef<TGreenEnvironmentImpl>();
  else if (source->Shareable())
    FEnviron = RefPtr<TGreenEnvironmentImpl>(source);
  else
    FEnviron = source->Copy();
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
  const tGreenletState state = GetState();
  if (state == gsExecute || state == gsSuspended) Kill();
  SetHub(nullptr);
  FInjectException.reset();
  FSleepEv.reset();
  if (TGreenletProxyImpl* proxy = FProxy.exchange(nullptr)) {
    proxy->SetBase(nullptr);
    proxy->_Release();
  }
  FLS.reset();
  FGC.reset();
  FEnviron.reset();
  for (std::atomic<TGevent*>* slot : {&FOnStateChange, &FOnTerminate})
    if (TGevent* ev = slot->exchange(nullptr)) ev->_Release();
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
  int32_t n = DecRef();
  if (n != 0) return n;
  {
    std::lock_guard<TReentrantLock> lock(FLock);
    TCustomHub* hub = FHub;
    if (hub && !FForcingKill.load() && hub != GetCurrentHub()) {
      auto* token = new TKillToken(this);
      hub->EnqueueTask(BindMethod<&TKillToken::DoIt>(token));
      return 1;
    }
  }
  TGreenletThread& t = TGreenletThread::Get();
  if (t.Current == this) {
    t.PendingDelete = this;
    return 0;
  }
  Destroy();
  return 0;
}

// ---- accessors ------------------------------------------------------------

RefPtr<IGreenletProxy> TRawGreenletImpl::GetProxy() { return RefPtr<IGreenletProxy>(Proxy()); }

// Two threads may race to make it: the loser frees its own.
TGreenletProxyImpl* TRawGreenletImpl::Proxy() {
  TGreenletProxyImpl* proxy = FProxy.load(std::memory_order_acquire);
  if (proxy) return proxy;
  auto* made = new TGreenletProxyImpl(this);
  made->_AddRef();
  if (FProxy.compare_exchange_strong(proxy, made, std::memory_order_acq_rel)) return made;
  made->_Release();
  return proxy;
}

template <class TDue>
TGevent* TRawGreenletImpl::LazyGevent(std::atomic<TGevent*>& Slot, bool ManualReset, TDue Due) {
  TGevent* ev = Slot.load(std::memory_order_acquire);
  if (ev) return ev;
  auto* made = new TGevent(ManualReset, false);
  made->_AddRef();
  if (!Slot.compare_exchange_strong(ev, made, std::memory_order_seq_cst)) {
    made->_Release();
    return ev;
  }
  if (Due()) made->SetEvent();
  return made;
}

TGevent* TRawGreenletImpl::GetOnStateChanged() {
  return LazyGevent(FOnStateChange, false,
                    [this] { return FStateChanged.load(std::memory_order_seq_cst); });
}

TGevent* TRawGreenletImpl::GetOnTerminate() {
  return LazyGevent(FOnTerminate, true, [this] {
    const tGreenletState s = FState.load(std::memory_order_seq_cst);
    return s == gsTerminated || s == gsKilled || s == gsException;
  });
}

// The flag is stored once: a maker of the event that misses a later change
// still sees the flag, and an event made after that first store has been
// signalled by whoever stored it or by its maker.
void TRawGreenletImpl::SignalStateChange() {
  if (!FStateChanged.load(std::memory_order_relaxed))
    FStateChanged.store(true, std::memory_order_seq_cst);
  if (TGevent* ev = FOnStateChange.load(std::memory_order_seq_cst)) ev->SetEvent();
}

// The end state is stored (seq_cst) before this runs.
void TRawGreenletImpl::SignalTerminate() {
  if (TGevent* ev = FOnTerminate.load(std::memory_order_seq_cst)) ev->SetEvent();
}

// A shared environment is copied before it is handed out: the sharers
// never change it, so the copy reads a stable one.
TGreenEnvironmentImpl* TRawGreenletImpl::Environ() {
  if (!FEnviron->SoleReference()) FEnviron = FEnviron->Copy();
  return FEnviron.get();
}

std::string TRawGreenletImpl::GetName() {
  std::lock_guard<std::mutex> lock(FNameLock);
  return FName;
}

void TRawGreenletImpl::SetName(const std::string& Value) {
  std::lock_guard<std::mutex> lock(FNameLock);
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
  THubNews news;
  {
    std::lock_guard<TReentrantLock> lock(FLock);
    if (Hub == FHub) return;
    HubChanging(FHub, Hub);
    FHub = Hub;
    news = std::move(FHubNews);
  }
  if (news.Left) news.Left->SetEvent();
  if (news.Joined) news.Joined->SetEvent();
  FHubTriggers.RaiseAll();
  SignalStateChange();
  if (news.Sleep) news.Sleep->SetEvent();
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

// One exchange: a change signals once, whoever else changes the state at
// the same time (a kill marks it with a compare-exchange). With nobody
// listening the signal takes no lock (TGevent::FListeners).
void TRawGreenletImpl::SetState(tGreenletState Value) {
  if (FState.exchange(Value, std::memory_order_seq_cst) == Value) return;
  SignalStateChange();
}

// The hub remembers its joiner: a THub makes it in its constructor, before
// any other thread knows the hub.
TJoiner* TRawGreenletImpl::GetJoiner(TCustomHub* Hub) {
  if (TObject* cached = Hub->JoinerCache()) return static_cast<TJoiner*>(cached);
  auto* joiner = dynamic_cast<TJoiner*>(Hub->HLS(JoinerKey()));
  if (!joiner) {
    joiner = new TJoiner;
    Hub->HLS(JoinerKey(), joiner);
  }
  Hub->SetJoinerCache(joiner);
  return joiner;
}

}  // namespace green
