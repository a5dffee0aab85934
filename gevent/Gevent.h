// The runtime's waitable event. Greenlets wait by suspending and yielding,
// plain threads by serving their hub; any thread signals. A gevent may wrap
// a kernel handle that the waiter's hub watches during the wait, and may be
// associated with other gevents whose outcomes it then collects.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/BlockCache.h"
#include "gc/PasMP.h"
#include "gevent/IndexSet.h"
#include "gevent/ReentrantLock.h"
#include "gevent/WaiterList.h"
#include "hub/Deadline.h"
#include "hub/GInterfaces.h"

namespace green {

class TRawGreenletImpl;

enum TWaitResult : uint8_t {
  wrSignaled = 0,
  wrTimeout = 1,
  wrAbandoned = 2,
  wrError = 3,
  wrIOCompletion = 4,
};

// A Boolean that any thread may read and write. One atomic word is all the
// locking a single Boolean needs; a padded spin lock would make every use
// pay for an aligned allocation.
class TMultiContextVar : public TInterfacedObject {
 public:
  bool GetActive() const { return FActive.load(std::memory_order_acquire); }
  void SetActive(bool Value) { FActive.store(Value, std::memory_order_release); }

 private:
  std::atomic<bool> FActive{false};
};

class IGevent : public virtual IInterface {
 public:
  virtual void SetEvent(bool Sync = false) = 0;
  virtual void ResetEvent() = 0;
  virtual TWaitResult WaitFor(uint32_t aTimeOut = INFINITE) = 0;
};

class TGevent;

// What an emitter holds of the gevent it is associated with.
class IAssociateRef : public virtual IInterface {
 public:
  using TIndexes = std::vector<int32_t>;
  virtual void ClearIndexes() = 0;
  virtual TIndexes GetIndexes() = 0;
  virtual void Lock() = 0;
  virtual void Unlock() = 0;
  virtual bool Emit(TWaitResult aResult, bool IsDestroyed, int32_t Index) = 0;
  virtual void SetOwner(TGevent* Value) = 0;
  virtual TGevent* GetOwner() = 0;
  // For std::lock_guard.
  void lock() { Lock(); }
  void unlock() { Unlock(); }
};

// The owner side of an association: what the emitters point to. It is
// also how the waiters of its gevent and the hubs watching the gevent's
// handle reach the gevent, since it outlives it: the gevent's destruction
// begins by clearing the owner, and waits for the short uses in progress.
class TAssociateRef : public TInterfacedObject, public IAssociateRef {
 public:
  GREEN_BLOCK_CACHED
  explicit TAssociateRef(TGevent* Owner) : FOwner(Owner) {}

  void ClearIndexes() override;
  TIndexes GetIndexes() override;
  void Lock() override { FLock.Acquire(); }
  void Unlock() override { FLock.Release(); }
  bool Emit(TWaitResult aResult, bool IsDestroyed, int32_t Index) override;
  // Clearing the owner returns once no use of it is in progress.
  void SetOwner(TGevent* Value) override;
  TGevent* GetOwner() override;
  bool FindIndex(int32_t Value);

  // The owner, kept from being destroyed for as long as the pin lives;
  // empty once its destruction has begun. A pinned use calls out to
  // nothing that could destroy the owner on the same thread.
  class TPin {
   public:
    explicit TPin(TAssociateRef& Ref) : FRef(Ref), FOwner(Ref.Pin()) {}
    ~TPin() {
      if (FOwner) FRef.FPins.fetch_sub(1, std::memory_order_release);
    }
    TPin(const TPin&) = delete;
    TPin& operator=(const TPin&) = delete;
    explicit operator bool() const { return FOwner != nullptr; }
    TGevent* operator->() const { return FOwner; }

   private:
    TAssociateRef& FRef;
    TGevent* FOwner;
  };

 private:
  TGevent* Pin();

  std::atomic<TGevent*> FOwner;  // written under FLock
  TReentrantLock FLock;
  TIndexes FIndexes;  // in order of first emission
  // Membership of FIndexes: a join associates thousands of emitters.
  TIndexSet FIndexSet;
  std::atomic<int32_t> FPins{0};
};

// One waiting context of one wait, or one association entry. A greenlet
// keeps the descriptor of its last wait and takes it up again for the next
// one when nobody else holds it any more: a wait then allocates nothing.
// An association entry is made for every worker of a join.
class TWaitDescr : public TInterfacedObject {
 public:
  GREEN_BLOCK_CACHED
  TWaitDescr(TCustomHub* Hub, TWaitResult Result);
  TWaitDescr(IAssociateRef* Associate, int32_t Tag);
  // Back to the state of a new waiter descriptor of Hub, keeping FProxy and
  // FContext; only while the caller holds the sole reference.
  void Renew(TCustomHub* Hub);

  RefPtr<IGreenletProxy> FProxy;
  TCustomHub* FHub = nullptr;
  TDeadline FTimeStop;
  std::atomic<TWaitResult> FResult{wrError};
  // Set by the wait's timer: its deadline has come, whatever the clock of
  // this thread says.
  std::atomic<bool> FTimeUp{false};
  // The destroyed mark of the wait, shared by the waiter and the gevent: set
  // by an emission of the gevent's destruction, read by the waiter and its
  // callbacks before they touch the gevent.
  std::atomic<bool> FEvDestroyed{false};
  // Set by an emission on the waiter's own thread that took this wait off
  // the gevent and consumed its signal for it: the waiter has nothing left
  // to do there, unless it ends without the signal (TWait::GiveBack).
  // Written and read on that one thread.
  bool FHandedOff = false;
  RefPtr<IAssociateRef> FAssociate;
  int32_t FTag = 0;
  TRawGreenletImpl* FContext = nullptr;
  // The gevent waited on, reached through its reference: the gevent may be
  // destroyed on another thread while the wait is still cleaning up.
  RefPtr<TAssociateRef> FGevent;
  // The link of the list of the hub that is to resume the waiter
  // (THub::ResumeSoon); only that hub's thread touches it.
  TWaitDescr* FResumeNext = nullptr;
};

class TGevent : public TInterfacedObject, public IGevent {
 public:
  GREEN_BLOCK_CACHED
  using TIndexes = IAssociateRef::TIndexes;

  explicit TGevent(bool ManualReset = false, bool InitialState = false);
  explicit TGevent(THandle Handle);
  ~TGevent() override;

  void SetEvent(bool Sync = false) override;
  void ResetEvent() override;
  TWaitResult WaitFor(uint32_t aTimeOut = INFINITE) override;
  // WaitFor with the deadline of a wait that began earlier.
  TWaitResult WaitUntil(const TDeadline& Deadline);

  void Lock() { FLock.Acquire(); }
  void Unlock() { FLock.Release(); }
  void lock() { Lock(); }
  void unlock() { Unlock(); }
  // Delivers an outcome to every registered waiter and association.
  void Emit(TWaitResult aResult, bool IsDestroyed, bool Sync);
  // This gevent collects Emitter's outcomes, recording Index; with
  // PassPending, also the signal Emitter holds already.
  void Associate(TGevent* Emitter, int32_t Index, bool PassPending = true);
  // Drops association entries whose owner is gone.
  void ClearEmptyDescr();
  // Waits for the first signalled of Events (nil entries skipped); Index
  // tells which, -1 when none.
  static TWaitResult WaitMultiple(const std::vector<TGevent*>& Events, int32_t& Index,
                                  uint32_t Timeout = INFINITE);

  bool IsSignaled() const { return FSignal.load(std::memory_order_acquire); }
  bool IsManualReset() const { return FManualReset; }
  THandle Handle() const { return FHandle; }
  IAssociateRef* AssociateRef() const { return FAssociateRef.get(); }
  // Consumes the signal of an auto-reset gevent; the caller holds the lock.
  void ClearSignal() { FSignal.store(false, std::memory_order_release); }
  size_t WaiterCount();

 private:
  class TWait;
  class TDescrList;
  TWaitResult GreenWaitEvent(TRawGreenletImpl* Current, const TDeadline& Deadline);
  TWaitResult ThreadWaitEvent(const TDeadline& Deadline);
  // The auto-reset step of a wait that did not end through destruction.
  TWaitResult Consume(TWaitResult Result);
  // Emit without the direct resumptions of Sync, which it leaves in Syncs:
  // a resumed greenlet may destroy this gevent.
  // Here is this thread's hub, or nullptr.
  // Store: the signal of aResult is still to be stored, under the lock.
  void Deliver(TWaitResult aResult, bool IsDestroyed, bool Sync, TCustomHub* Here,
               TDescrList& Syncs, bool Store);
  // The short ways of a signal to one listener. When it is a suspended
  // greenlet of Here, this thread's hub: its descriptor, to resume it by;
  // when it is an association entry: the entry, to Forward to; else nullptr.
  // Stored tells whether the signal is stored already; it is stored here
  // under the lock when it is not, unless it is handed off.
  RefPtr<TWaitDescr> HandOff(TCustomHub* Here, bool& Stored);
  void Forward(const RefPtr<TWaitDescr>& D);
  static void ResumeDirectly(TDescrList& Syncs);
  // Resumes the suspended waiter of D, of this thread's hub, on the hub's
  // next pass; the hub's list may take the reference.
  static void ResumeLater(RefPtr<TWaitDescr>& D);

  static void SwitchTimeout(THandle Id, void* Data);
  static void TimeoutCb(THandle Id, void* Data);
  // Data is the gevent's reference.
  static void SignalTimeout(THandle Id, void* Data, bool Aborted);

  RefPtr<TAssociateRef> FAssociateRef;
  THandle FHandle = os::kNoHandle;
  // Records the size of FWaiters after a change under FLock, for the
  // lock-free check of Emit.
  void CountListeners() { FListeners.store(FWaiters.size(), std::memory_order_release); }

  TWaiterList<TWaitDescr> FWaiters;
  TReentrantLock FLock;
  // The listeners: FWaiters' size. An emission that sees none stores the
  // signal, then checks that FLock is free and that there is still no
  // listener, and is done: no lock, no call. A registration holds FLock
  // while it checks the signal. Every claim of FLock and both sides' accesses
  // are sequentially consistent (Dekker): either the emission sees the lock
  // held, or a listener added under a lock it saw released, and delivers
  // under the lock; or the registration's check sees the signal (Register,
  // Associate). An emission that sees listeners stores the signal under the
  // lock instead, where a lone waiter takes it at once. Tests:
  // RegisterRacesSetEvent and AssociateRacesSetEvent in
  // tests/gevent/ListenerRaceTest.cpp.
  std::atomic<size_t> FListeners{0};
  std::atomic<bool> FSignal{false};
  bool FManualReset = false;
};


}  // namespace green
