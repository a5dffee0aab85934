// Greenlets: green threads on fibers. TRawGreenletImpl is the base of every
// flavour: state machine, switching and yielding, kill and injection, hub
// binding and deferred destruction. Beside it live the proxy that other
// threads use, the per-hub joiner, trigger lists and the kill token.
#pragma once

#include <atomic>
#include <memory>
#include <unordered_map>
#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

#include "base/BlockCache.h"
#include "gc/GarbageCollector.h"
#include "gevent/ReentrantLock.h"
#include "greenlets/GreenletThread.h"
#include "greenlets/WaitNote.h"
#include "hub/GInterfaces.h"
#include "hub/HubBeat.h"
#include "platform/Fiber.h"
// Declares Yield: <windows.h>'s Yield macro undone.
#include "base/SystemMacros.h"

namespace green {

class TGevent;
class TWaitDescr;
class TLocalStorage;
class TGreenEnvironmentImpl;
class TGreenletProxyImpl;
class TJoiner;
struct TGreenletRow;

// Hub-local keys.
extern const char* const GREEN_ENV;
extern const char* const HUB_JOINER;

// An ordered list of bound callbacks, matched by their code.
struct TTriggers {
  std::vector<TTaskMethod> FCollection;

  bool Find(const TTaskMethod& Cb, size_t& Index) const;
  void OnCb(const TTaskMethod& Cb);
  void OffCb(const TTaskMethod& Cb);
  // Calls every callback in order; one that raises stops the walk.
  void RaiseAll() const;
};

class TRawGreenletImpl : public TInterfacedObject, public virtual IRawGreenlet {
 public:
  GREEN_BLOCK_CACHED
  // The kill signal raised inside a greenlet; code inside must let it pass.
  GREEN_EXCEPTION(AExit, EAbort);
  GREEN_EXCEPTION(ESelfSwitch, Exception);

  TRawGreenletImpl();
  ~TRawGreenletImpl() override;

  int32_t _AddRef() override { return TInterfacedObject::_AddRef(); }
  int32_t _Release() override;

  // IRawGreenlet
  uintptr_t GetUID() override { return reinterpret_cast<uintptr_t>(this); }
  RefPtr<IGreenletProxy> GetProxy() override;
  void Switch() override;
  void Yield() override;
  void Kill() override;
  void Suspend() override;
  void Resume() override;
  void Inject(Exception* E) override;
  void Inject(const TSymmetricRoutine& Routine) override;
  // A live greenlet that a kill has marked reads as gsKilling.
  tGreenletState GetState() override {
    const tGreenletState S = FState.load(std::memory_order_acquire);
    if (FKillMarked.load(std::memory_order_relaxed)) [[unlikely]]
      return S == gsExecute || S == gsSuspended ? gsKilling : S;
    return S;
  }
  Exception* GetException() override { return FException.get(); }
  TObject* GetInstance() override { return this; }
  TGevent* GetOnStateChanged() override;
  TGevent* GetOnTerminate() override;
  std::string GetName() override;
  void SetName(const std::string& Value) override;
  void Join(bool RaiseErrors = false) override;
  void ReraiseException() override;
  int32_t RefCount() override { return GetRefCount(); }

  // Switch, Resume and Yield with their common case inline, for a
  // generator's steps and a gevent's wake-ups: the fiber jump is then in
  // the caller's own code, so that no return through a frame of the other
  // fiber's call chain follows it (the processor's return prediction misses
  // on each such return). Anything out of the common case goes the long
  // way, through Switch or Yield.
  void SwitchDirect() {
    TGreenletThread& T = TGreenletThread::Get();
    TRawGreenletImpl* Saved = T.Current;
    const tGreenletState State = TRawGreenletImpl::GetState();
    if (Saved == this || !FContext || (!Saved && !T.RootFiber) ||
        (State != gsReady && State != gsExecute) ||
        T.CallerCount + 1 >= TGreenletThread::kMaxCallers ||
        HubWatchOn.load(std::memory_order_relaxed)) [[unlikely]] {
      Switch();
      return;
    }
    T.EnterFrom(this, Saved);  // the check above leaves it room
    T.Current = this;
    os::SwitchToFiber(FContext);
    BackIn(T, Saved);
  }
  // Resume for a wake-up on the greenlet's own hub and thread.
  void ResumeDirect() {
    if (TRawGreenletImpl::GetState() != gsSuspended) return;
    SetState(gsExecute);
    if (TGreenletThread::Get().Current != this) SwitchDirect();
  }
  void YieldDirect() {
    TGreenletThread& T = TGreenletThread::Get();
    TRawGreenletImpl* Caller = T.CallerCount > 0 ? T.Callers[T.CallerCount - 1] : nullptr;
    const os::Fiber Target = Caller ? Caller->FContext : T.RootFiber;
    if (T.Current != this || T.CallerCount == 0 || !Target ||
        (Caller && Caller->GetState() != gsExecute)) [[unlikely]] {
      Yield();
      return;
    }
    --T.CallerCount;
    os::SwitchToFiber(Target);
    T.AfterSwitch();
    ContextSetup();
  }

  // The greenlet's body.
  virtual void Execute() = 0;
  // Stack bytes of the greenlet's fiber.
  virtual size_t GetStackSize() { return 16384; }
  // Called by SetHub under FLock before the new hub is stored: moves the
  // greenlet from Origin's joiner to Dest's, and takes what SetHub
  // announces once the lock is left.
  virtual void HubChanging(TCustomHub* Origin, TCustomHub* Dest);

  static TRawGreenletImpl* GetCurrent();
  // Leaves the running greenlet for the thread's root context, which runs
  // Proc (when set) once it has control again.
  static void Switch2RootContext(const TTaskMethod* Proc);
  static TJoiner* GetJoiner(TCustomHub* Hub);
  static void ClearContexts() {}

  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }
  TCustomHub* GetHub();
  void SetHub(TCustomHub* Hub);
  void Sleep(uint32_t TimeOut);
  // Made on first use, on the greenlet's own thread: most greenlets never
  // use either.
  TGarbageCollector& GC();
  TLocalStorage& GLS();
  TLocalStorage& Context() { return GLS(); }
  // The greenlet's own environment: one shared with its parent since the
  // spawn is copied here first, so don't keep the pointer across a spawn.
  TGreenEnvironmentImpl* Environ();
  // Runs what was injected while the greenlet was away; inline, since a
  // switch back checks it every time and finds nothing almost always.
  void ContextSetup() {
    if (FInjectException || FInjectRoutine) RunInjected();
  }

  // Objects handed in as arguments; the greenlet's collector adopts the
  // managed ones when it starts.
  std::vector<TObject*>& ObjArguments() { return FObjArguments; }
  TTriggers& KillTriggers() { return FKillTriggers; }
  // The descriptor of the greenlet's last gevent wait, kept for the next
  // one; only the greenlet itself touches it.
  RefPtr<TWaitDescr>& SpareWait() { return FSpareWait; }
  TTriggers& HubTriggers() { return FHubTriggers; }
  // What the greenlet waits on; written by the greenlet, read by anyone.
  TWaitNote& WaitNote() { return FWaitNote; }
  // Tells a generator's body from other greenlets without typeid: the
  // address of a tag of the generator's value type, nullptr otherwise.
  const void* GeneratorTag() const { return FGeneratorTag; }

 protected:
  // Only the running thread stores the state (see FState). An end state is
  // stored seq_cst: GetOnTerminate pairs with it. With nobody listening the
  // signal takes no lock (TGevent::FListeners). Inline: a wake-up sets the
  // state twice.
  void SetState(tGreenletState Value) {
    if (FState.load(std::memory_order_relaxed) == Value) return;
    if (IsEndState(Value))
      FState.store(Value, std::memory_order_seq_cst);
    else
      FState.store(Value, std::memory_order_release);
    SignalStateChange();
  }
  void SetGeneratorTag(const void* Tag) { FGeneratorTag = Tag; }
  // The (mangled) class that reports name; noted at the first entry.
  virtual const char* ReportedClass() const { return typeid(*this).name(); }

 private:
  friend class TKillToken;
  friend class TGreenletProxyImpl;
  friend struct TGreenletThread;
  friend class TJoiner;

  static void EnterProcFiber(void* Self);
  // Back in Saved (nullptr: the root) after a switch: the root runs its
  // procedure, if one was left for it.
  static void BackIn(TGreenletThread& T, TRawGreenletImpl* Saved) {
    T.Current = Saved;
    T.AfterSwitch();
    if (!Saved && T.RootProc) [[unlikely]]
      RunRootProc();
  }
  static void RunRootProc();
  [[noreturn]] void EnterProc();
  void EnsureFiber() {
    if (!FContext) CreateOwnFiber();
  }
  void CreateOwnFiber();
  // The proxy, made on first use; it holds a reference of the greenlet's.
  TGreenletProxyImpl* Proxy();
  // Publishes the event in Slot (made when absent), then signals it when
  // Due() says that an emission it missed would have signalled it. The
  // emitting side stores what Due reads, then loads Slot, both seq_cst:
  // one side always sees the other, so no signal is lost.
  template <class TDue>
  TGevent* LazyGevent(std::atomic<TGevent*>& Slot, bool ManualReset, TDue Due);
  // The flag is stored once: a maker of the event that misses a later
  // change still sees the flag, and an event made after that first store
  // has been signalled by whoever stored it or by its maker.
  void SignalStateChange() {
    if (!FStateChanged.load(std::memory_order_relaxed)) [[unlikely]]
      FStateChanged.store(true, std::memory_order_seq_cst);
    if (TGevent* Ev = FOnStateChange.load(std::memory_order_seq_cst)) SignalEvent(Ev);
  }
  static void SignalEvent(TGevent* Ev);
  void SignalTerminate();
  void RunInjected();
  void Destroy();
  void TakeSleepEvent();

  // What a hub change announces once FLock is left: the joiners' update
  // events and the event of a sleep in progress, which the change ends.
  struct THubNews {
    RefPtr<TGevent> Left, Joined, Sleep;
  };

  os::Fiber FContext = nullptr;
  std::unique_ptr<Exception> FInjectException;
  TSymmetricRoutine FInjectRoutine;
  std::unique_ptr<Exception> FException;
  // The links of the joiner that lists this greenlet, changed under that
  // joiner's lock; any joiner may ask whether it is the one.
  std::atomic<TJoiner*> FJoinedTo{nullptr};
  TRawGreenletImpl* FJoinPrev = nullptr;
  TRawGreenletImpl* FJoinNext = nullptr;
  std::unique_ptr<TLocalStorage> FLS;
  std::unique_ptr<TGarbageCollector> FGC;
  // Made on first use (most greenlets never need them), then kept for the
  // greenlet's life; each holds one reference. See LazyGevent.
  std::atomic<TGevent*> FOnStateChange{nullptr};
  std::atomic<TGevent*> FOnTerminate{nullptr};
  // Set by the first state or hub change: a state-change event made after
  // it starts signalled, as it would be had it been there all along.
  std::atomic<bool> FStateChanged{false};
  // Written only by the thread that runs the greenlet: a wake-up changes it
  // twice, with a store each, where an exchange would cost a locked
  // instruction. A kill from any thread sets FKillMarked instead, which
  // GetState shows as gsKilling while the greenlet lives.
  std::atomic<tGreenletState> FState{gsReady};
  std::atomic<bool> FKillMarked{false};
  std::atomic<TGreenletProxyImpl*> FProxy{nullptr};
  TReentrantLock FLock;
  TTriggers FKillTriggers;
  TTriggers FHubTriggers;
  // Changed under FLock; read without it.
  std::atomic<TCustomHub*> FHub{nullptr};
  std::string FName;
  RefPtr<TGreenEnvironmentImpl> FEnviron;
  RefPtr<TGevent> FSleepEv;  // guarded by FLock
  THubNews FHubNews;         // guarded by FLock
  std::vector<TObject*> FObjArguments;
  std::atomic<bool> FForcingKill{false};
  RefPtr<TWaitDescr> FSpareWait;
  // For reports from other threads: the name under a lock of its own,
  // which nests inside every other, and the class, noted at the first
  // entry (from then on the object is complete).
  std::mutex FNameLock;
  std::atomic<const char*> FClassName{nullptr};
  TWaitNote FWaitNote;
  const void* FGeneratorTag = nullptr;
};

inline TRawGreenletImpl* TRawGreenletImpl::GetCurrent() { return TGreenletThread::Get().Current; }

// The handle any thread may use: operations become tasks on the
// greenlet's hub. Outlives its greenlet; then it does nothing.
class TGreenletProxyImpl : public TInterfacedObject, public IGreenletProxy {
 public:
  explicit TGreenletProxyImpl(TRawGreenletImpl* Base) : FBase(Base) {}

  void Pulse() override;
  void DelayedSwitch() override;
  void Resume() override;
  void Suspend() override;
  void Kill() override;
  TCustomHub* GetHub() override;
  tGreenletState GetState() override;
  Exception* GetException() override;
  TGevent* GetOnStateChanged() override;
  TGevent* GetOnTerminate() override;
  uintptr_t GetUID() override;

  TRawGreenletImpl* GetBase();
  void SetBase(TRawGreenletImpl* Value);
  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }

  // Task bodies, run by the hub on its own thread.
  void SwitchBase();
  void ResumeBase();
  void SuspendBase();
  void KillBase();

 private:
  // Queues one of the task bodies; the task holds a reference to the proxy.
  template <void (TGreenletProxyImpl::*M)()>
  void Queue(TCustomHub* Hub);

  TRawGreenletImpl* FBase;
  TReentrantLock FLock;
};

// The greenlets bound to one hub, so that its owner can kill them all.
class TJoiner : public TObject {
 public:
  TJoiner();
  ~TJoiner() override;

  void Append(TRawGreenletImpl* G);
  void Remove(TRawGreenletImpl* G);
  // Append and Remove for a caller that holds G's lock: they only change
  // the list and hand back the update event to set once that lock is left
  // (nullptr when nothing changed). The joiner's lock is taken inside a
  // greenlet's, never the other way round.
  [[nodiscard]] RefPtr<TGevent> Link(TRawGreenletImpl* G);
  [[nodiscard]] RefPtr<TGevent> Unlink(TRawGreenletImpl* G);
  bool Find(TRawGreenletImpl* G, size_t& Index);
  // Detaches every listed greenlet from its hub.
  void Clear();
  void KillAll();
  size_t Count();
  TGevent* OnUpdate() { return FOnUpdate.get(); }
  // Appends a row for every listed greenlet: a copy made under the lock,
  // reading only what other threads may read (Dump.cpp).
  void Describe(std::vector<TGreenletRow>& Out);

 private:
  // In order of joining, linked through the greenlets themselves, so that
  // joining and leaving allocate nothing and take constant time; every
  // greenlet leaves its hub's joiner when it is destroyed.
  TRawGreenletImpl* FHead = nullptr;
  TRawGreenletImpl* FTail = nullptr;
  size_t FCount = 0;
  // Takes G off the list; false when it was not there.
  bool Erase(TRawGreenletImpl* G);
  // Takes the first listed greenlet that a reference can be had to off the
  // list, with that reference; nullptr when there is none.
  RefPtr<TRawGreenletImpl> TakeFirst();
  RefPtr<TGevent> FOnUpdate;
  TReentrantLock FLock;
};

// Finishes a greenlet on its own hub's thread after its last reference was
// dropped on another thread.
class TKillToken : public TInterfacedObject {
 public:
  explicit TKillToken(TRawGreenletImpl* Killing);
  ~TKillToken() override;
  void DoIt();

 private:
  void Finish();
  TRawGreenletImpl* FKilling;
};

}  // namespace green
