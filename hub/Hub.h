// The hub: one event loop per thread. THub keeps the task queue that any
// thread may append to, the hub-local objects and the hub's collector;
// TSingleThreadHub adds the kernel wait over handles, timers and I/O.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <initializer_list>
#include <vector>

#include "gc/GarbageCollector.h"
#include "hub/GInterfaces.h"
#include "hub/HubEvents.h"
#include "hub/HubFiles.h"
#include "hub/HubTimeouts.h"
#include "platform/MainThread.h"
#include "platform/Thread.h"

namespace green {

class TLocalStorage;
class TWaitDescr;

class THub : public TCustomHub {
 public:
  enum TTaskKind : uint8_t { tkMethod = 0, tkIntfMethod = 1, tkProc = 2 };

  struct TTask {
    TTaskKind Kind = tkMethod;
    TTaskMethod Method;
    RefPtr<IInterface> Intf;  // keeps a counted method object alive until the task ran
    TTaskProc Proc = nullptr;
    void* Arg = nullptr;

    void Init(const TTaskMethod& M);
    void Init(IInterface* I, const TTaskMethod& M);
    void Init(TTaskProc P, void* A);
  };

  THub();
  ~THub() override;

  TObject* HLS(const std::string& Key) override;
  void HLS(const std::string& Key, TObject* Value) override;
  RefPtr<IGCPointer<TObject>> GC(TObject* A) override;
  void EnqueueTask(const TTaskMethod& Task) override;
  void EnqueueTask(TTaskProc Task, void* Arg) override;
  void Pulse() override {}
  void LoopExit() override;
  void Loop(const TExitCondition& Cond, uint32_t Timeout = INFINITE) override;
  void Loop(TExitConditionStatic Cond, uint32_t Timeout = INFINITE) override;
  void Switch() override;

  // One task pass on the hub's thread; true when it ran anything.
  bool ServeTaskQueue();
  // Runs Tasks in order; a task that raises ends the run.
  static void RunTasks(std::vector<TTask>& Tasks);
  virtual void AfterSwap() {}

  void Lock() { FLock.lock(); }
  void Unlock() { FLock.unlock(); }
  // True on the thread that serves this hub now: a task it posts to the
  // hub goes on the hub's own ready list, with no lock and no pulse.
  virtual bool OnOwnThread() const { return false; }
  // Takes D, the descriptor of a wait of a greenlet of this hub that waits
  // suspended, to resume the greenlet on the hub's next task pass, after the
  // tasks: the wake-up that a gevent signalled on the serving thread gives
  // its waiter. The list links the descriptors themselves and keeps the
  // gevent's reference: no task, no lock, no count changes, no indirect
  // call. False off the serving thread, where the caller keeps D.
  bool ResumeSoon(RefPtr<TWaitDescr>& D);
  // Discards every queued task without running it, also those that arrive
  // while the discarded ones are released.
  void Clean();
  static void GetAddresses(const TTaskMethod& Task, TObject*& Obj, void*& Code);

 protected:
  template <class Cond>
  void LoopWhile(const Cond& Done, uint32_t Timeout);
  void Append(TTask&& Task);
  // What a hub being destroyed does first, while all of it is still there:
  // the queued tasks are discarded (a discarded kill token finishes its
  // greenlet, whose clean-up may use the hub's timers and handles), then
  // the bound greenlets are detached from it.
  void Retire();

 private:
  // Runs the resumes queued before the call; later ones wait for the next pass.
  void RunResumes();
  // Resumes the greenlet of a descriptor of the list, if that is still due.
  void ResumeWaiter(RefPtr<TWaitDescr> D);
  // The tasks of one pass, other threads' first; true when it ran any.
  bool RunQueuedTasks(bool Accumulated);

  std::vector<TTask> FQueue;       // spare capacity for the next batch
  std::vector<TTask> FAccumQueue;  // where new tasks arrive, from any thread
  // Set with the first task in FAccumQueue: a task pass that finds it clear
  // takes no lock. One that appears meanwhile has pulsed the hub.
  std::atomic<bool> FAccumPending{false};
  // The ready list: tasks posted on the thread that serves the hub (see
  // OnOwnThread), and the spare capacity for its next batch. Only that
  // thread touches them; a serve passes them to the next serving thread
  // through the hub's claim.
  std::vector<TTask> FReady;
  std::vector<TTask> FReadySpare;
  // The waits whose greenlets to resume (ResumeSoon), linked through their
  // descriptors; like the ready list, only the serving thread touches it.
  TWaitDescr* FResumeHead = nullptr;
  TWaitDescr* FResumeTail = nullptr;
  bool FLoopExit = false;
  std::mutex FLock;
  std::unique_ptr<TLocalStorage> FLS;
  std::unique_ptr<TGarbageCollector> FGC;
};

class TSingleThreadHub : public THub {
 public:
  enum TMultiplexorEvent : uint8_t {
    meError = 0,
    meEvent = 1,
    meSync = 2,
    meIO = 3,
    meWinMsg = 4,
    meTimer = 5,
    meWaitTimeout = 6,
  };
  using TMultiplexorEvents = uint8_t;  // bit n stands for the event n
  static constexpr TMultiplexorEvents ALL_EVENTS = 0x7F;
  static constexpr TMultiplexorEvents Events(std::initializer_list<TMultiplexorEvent> List) {
    TMultiplexorEvents S = 0;
    for (auto E : List) S |= static_cast<TMultiplexorEvents>(1u << E);
    return S;
  }

  TSingleThreadHub();
  ~TSingleThreadHub() override;

  void Cancel(THandle Fd) override;
  bool Write(THandle Fd, void* Buf, uint32_t Len, TIOCallback Cb, void* Data,
             int64_t Offset = -1) override;
  bool WriteTo(THandle Fd, void* Buf, uint32_t Len, const TAnyAddress& Addr, TIOCallback Cb,
               void* Data) override;
  bool Read(THandle Fd, void* Buf, uint32_t Len, TIOCallback Cb, void* Data,
            int64_t Offset = -1) override;
  bool ReadFrom(THandle Fd, void* Buf, uint32_t Len, const TAnyAddress& Addr, TIOCallback Cb,
                void* Data) override;
  THandle CreateTimer(TInervalCallback Cb, void* Data, uint32_t Interval) override;
  void DestroyTimer(THandle Id) override;
  THandle CreateTimeout(TInervalCallback Cb, void* Data, uint32_t Interval) override;
  void DestroyTimeout(THandle Id) override;
  bool AddEvent(THandle Ev, TEventCallback Cb, void* Data) override;
  void RemEvent(THandle Ev) override;
  bool Serve(uint32_t TimeOut) override;
  void Pulse() override;

  virtual TMultiplexorEvent ServeMultiplexor(uint32_t TimeOut);
  TMultiplexorEvent Wait(uint32_t TimeOut, TMultiplexorEvents Events = 0,
                         bool ProcessWinMsg = true);
  void SetTriggerFlag(bool TimerFlag, bool IOFlag);
  void SetupEnviron();
  static void WakeUpThread(void* Self);

  uint32_t ThreadId() const { return FThreadId; }
  bool OnOwnThread() const override {
    return FThreadId.load(std::memory_order_relaxed) == os::CurrentThreadId();
  }
  bool IsDef() const { return FIsDef; }
  // Unique for the process's life, unlike the address: with IsLiveHub
  // (HubList.h), whoever keeps a pointer to the hub learns that it went.
  uint64_t Serial() const { return FSerial; }
  const TFiles* ReadFiles() const { return FReadFiles.get(); }
  const TFiles* WriteFiles() const { return FWriteFiles.get(); }

 protected:
  // Arms one of the hub's kernel timers to call back with Tuple; false when
  // the system refuses. Tests make it fail to see what a refusal leaves.
  virtual bool ArmWaitableTimer(THandle Timer, int64_t DueTime, int32_t Period,
                                TTimeoutTuple* Tuple);

 private:
  friend TSingleThreadHub* DefHub(uint32_t ThreadID);
  friend void FinalizeDefHubList();
  friend void ForgetDefHub(TSingleThreadHub* Hub);

  bool ServeHard(uint32_t TimeOut);
  bool ServeAsDefHub(uint32_t TimeOut);
  // The rest of a serve whose first task pass ran nothing: the kernel wait
  // and the passes after it.
  bool ServeWaiting(uint32_t TimeOut);
  // Ownership check, environment and main-thread wake hook of a serve or
  // wait; the returned guard undoes them.
  class TServeClaim;
  class TWakeHookScope;
  TMultiplexorEvent ProcessMultiplexorAnswer(uint32_t Answer);
  THandle StartTimer(TInervalCallback Cb, void* Data, uint32_t Interval, int32_t Period);

  std::unique_ptr<TEvents> FEvents;
  std::unique_ptr<TFiles> FReadFiles;
  std::unique_ptr<TFiles> FWriteFiles;
  std::unique_ptr<TTimeouts> FTimeouts;
  os::WakeHook FWakeMainThread;
  std::atomic<uint32_t> FThreadId{0};
  bool FTimerFlag = false;
  bool FIOFlag = false;
  bool FIsDef = false;
  bool FProcessWinMsg = false;
  THandle FSyncEvent = os::kNoHandle;
  uint64_t FSerial = 0;
  bool (TSingleThreadHub::*FServeRoutine)(uint32_t) = &TSingleThreadHub::ServeHard;
};

// The calling thread's current hub: the hub of the running task pass or
// callback, otherwise the thread's default hub.
TCustomHub* GetCurrentHub();
// The calling thread's current hub, as GetCurrentHub, but never made for
// the asking: nullptr when the thread has none yet. For code that only
// tidies up (a destructor), which must not fail where a hub cannot be made.
TCustomHub* GetCurrentHubIfAny();
// The default hub of a thread (0: the calling thread), created on first
// request; nullptr after the hub unit has shut down.
TSingleThreadHub* DefHub(uint32_t ThreadID = 0);
// The calling thread's default hub when it has one; never creates it.
TSingleThreadHub* OwnDefHubIfAny();
void FinalizeDefHubList();
// Removes a default hub that is being destroyed from the registry.
void ForgetDefHub(TSingleThreadHub* Hub);
// True between the hub unit's start-up and shut-down.
extern bool HubInfrasctuctureEnable;

// Sets the thread's current hub for a scope and restores it, also when an
// exception passes.
class TCurrentHubScope {
 public:
  explicit TCurrentHubScope(TCustomHub* Hub);
  ~TCurrentHubScope();
  TCurrentHubScope(const TCurrentHubScope&) = delete;
  TCurrentHubScope& operator=(const TCurrentHubScope&) = delete;

 private:
  TCustomHub* FSaved;
};
// Clears the calling thread's current hub (a hub being destroyed).
void ClearCurrentHub();

}  // namespace green
