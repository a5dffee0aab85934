#include "greenlets/GreenletsImpl.h"
#include "hub/Deadline.h"
#include "hub/Hub.h"
#include "hub/HubList.h"
#include "platform/Error.h"
#include "platform/Thread.h"

namespace green {

TSingleThreadHub::TSingleThreadHub() {
  SetupEnviron();
  FSerial = RegisterHub(this, HLS(HUB_JOINER));
}

TSingleThreadHub::~TSingleThreadHub() {
  UnregisterHub(this);
  Retire();
  if (FEvents) FEvents->DeInitialize();
  FEvents.reset();
  // Timers first, so that the drain below runs none of their routines.
  if (FTimeouts) FTimeouts->Deinitialize();
  FTimeouts.reset();
  // Pending operations are cancelled, both tables before either drains (one
  // CancelIo ends both directions of a handle, and a live record would be
  // called back), and this thread's routines run before the records go;
  // records that other threads' routines still need outlive the hub
  // (TFiles::Deinitialize).
  if (FReadFiles) FReadFiles->CancelAll();
  if (FWriteFiles) FWriteFiles->CancelAll();
  DrainCancelled({FReadFiles.get(), FWriteFiles.get()});
  if (FReadFiles) FReadFiles->Deinitialize();
  if (FWriteFiles) FWriteFiles->Deinitialize();
  FReadFiles.reset();
  FWriteFiles.reset();
  if (FIsDef) ForgetDefHub(this);
  TRawGreenletImpl::ClearContexts();
  ClearCurrentHub();
}

// Other threads read FSyncEvent in Pulse: it is written once, here.
void TSingleThreadHub::SetupEnviron() {
  if (!FEvents) {
    FEvents = std::make_unique<TEvents>();
    FEvents->Initialize();
    FSyncEvent = FEvents->SyncEvent;
  }
  for (std::unique_ptr<TFiles>* Files : {&FReadFiles, &FWriteFiles}) {
    if (!*Files) *Files = std::make_unique<TFiles>();
    (*Files)->Initialize();
  }
  if (!FTimeouts) {
    FTimeouts = std::make_unique<TTimeouts>();
    FTimeouts->Initialize();
  }
}

void TSingleThreadHub::Pulse() { os::SetEvent(FSyncEvent); }

void TSingleThreadHub::WakeUpThread(void* Self) {
  os::SetEvent(static_cast<TSingleThreadHub*>(Self)->FEvents->SyncEvent);
}

void TSingleThreadHub::SetTriggerFlag(bool TimerFlag, bool IOFlag) {
  FTimerFlag = TimerFlag;
  FIOFlag = IOFlag;
}

bool TSingleThreadHub::AddEvent(THandle Ev, TEventCallback Cb, void* Data) {
  const bool Room = FEvents->FBufSize < TEvents::kMaxEntries;
  int32_t I;
  if (FEvents->Find(Ev, I) && (FEvents->FCb[I] != Cb || FEvents->FData[I] != Data))
    throw EHubError(Format("Handle %lld already exists in demultiplexor queue",
                           static_cast<long long>(Ev)));
  if (Room) {
    FEvents->Enqueue(Ev, Cb, Data, this);
    Pulse();
  }
  return Room;
}

void TSingleThreadHub::RemEvent(THandle Ev) { FEvents->Dequeue(Ev); }

// ---- the wait -------------------------------------------------------------

TSingleThreadHub::TMultiplexorEvent TSingleThreadHub::ServeMultiplexor(uint32_t TimeOut) {
  const uint32_t N = static_cast<uint32_t>(FEvents->FBufSize);
  const bool Plain = os::IsConsoleApp() || !os::IsMainThread();
  uint32_t Answer;
  {
    // Completion routines run inside the wait: a watchdog does not see them.
    THubPhaseScope Phase(Beat(), THubBeat::kWaiting);
    Answer = Plain ? os::WaitForMultipleObjects(N, FEvents->Buf(), TimeOut, true)
                   : os::MsgWaitForMultipleObjects(N, FEvents->Buf(), TimeOut);
  }
  TMultiplexorEvent Result;
  if (Answer == os::kWaitIoCompletion)
    Result = FTimerFlag ? meTimer : FIOFlag ? meIO : meError;
  else if (Answer == os::kWaitTimeout)
    Result = meWaitTimeout;
  else if (!Plain && Answer == N)
    Result = meWinMsg;
  else
    Result = ProcessMultiplexorAnswer(Answer);
  if (Result == meWinMsg && FProcessWinMsg) os::PumpMessages();
  return Result;
}

// Each signalled handle is reported once: its entry goes before its
// callback runs, so a callback that wants more calls AddEvent again.
TSingleThreadHub::TMultiplexorEvent TSingleThreadHub::ProcessMultiplexorAnswer(uint32_t Answer) {
  const uint32_t N = static_cast<uint32_t>(FEvents->FBufSize);
  if (Answer == os::kWaitFailed) {
    if (N == 0) throw EHubError("Events.Count = 0");
    throw EHubError(
        Format("IO.Serve with error: %s", os::SysErrorMessage(os::GetLastError()).c_str()));
  }
  if (Answer == os::kWaitObject0) return meSync;
  bool Aborted = false;
  uint32_t I = Answer;
  if (Answer >= os::kWaitAbandoned0 && Answer < os::kWaitAbandoned0 + N) {
    Aborted = true;
    I = Answer - os::kWaitAbandoned0;
  }
  if (I < 1 || I >= N) return meError;
  TEventTuple Tuple = FEvents->TupleByIndex(static_cast<int32_t>(I));
  FEvents->DequeueByIndex(static_cast<int32_t>(I));
  Tuple.Trigger(Aborted);
  return meEvent;
}

// ---- serving ----------------------------------------------------------------

// On the main thread, the hub's wake-up is the process's main-thread wake
// hook while it serves, so that calls posted for the main thread wake it.
class TSingleThreadHub::TWakeHookScope {
 public:
  explicit TWakeHookScope(TSingleThreadHub& Hub) : FHub(Hub) {
    if (!os::IsMainThread()) return;
    FHub.FWakeMainThread = os::GetMainThreadWakeHook();
    os::SetMainThreadWakeHook({&TSingleThreadHub::WakeUpThread, &FHub});
    FInstalled = true;
  }
  ~TWakeHookScope() {
    if (!FInstalled) return;
    os::SetMainThreadWakeHook(FHub.FWakeMainThread);
    FHub.FWakeMainThread = {};
  }

 private:
  TSingleThreadHub& FHub;
  bool FInstalled = false;
};

// What a serve or wait claims for its duration, given back on every exit.
class TSingleThreadHub::TServeClaim {
 public:
  explicit TServeClaim(TSingleThreadHub& Hub) : FHub(Hub), FHook(Claim(Hub)) {}
  ~TServeClaim() {
    if (!FHub.FIsDef) FHub.FThreadId = 0;
  }

 private:
  static TSingleThreadHub& Claim(TSingleThreadHub& Hub) {
    const uint32_t Me = os::CurrentThreadId();
    if (Hub.FIsDef) {
      if (Me != Hub.FThreadId) throw EHubError("Def Hub must be serving inside owner thread");
    } else {
      if (Hub.FThreadId != 0) throw EHubError("Hub already serving by other thread");
      Hub.FThreadId = Me;
    }
    Hub.SetupEnviron();
    return Hub;
  }

  TSingleThreadHub& FHub;
  TWakeHookScope FHook;
};

// A default hub skips the claim after its first serve, but on the main
// thread it still installs the wake hook for a serve that may wait:
// without it, a call posted for the main thread would wait until something
// else woke the hub. A serve that does not wait finds such calls anyway.
bool TSingleThreadHub::Serve(uint32_t TimeOut) {
  // Held from here to the end of the serve, but for its kernel wait.
  THubPhaseScope Phase(Beat(), THubBeat::kServing);
  if (FServeRoutine == &TSingleThreadHub::ServeAsDefHub) {
    if (TimeOut == 0) return ServeTaskQueue() || ServeWaiting(0);
    TWakeHookScope Hook(*this);
    return ServeAsDefHub(TimeOut);
  }
  return (this->*FServeRoutine)(TimeOut);
}

bool TSingleThreadHub::ServeHard(uint32_t TimeOut) {
  bool Result;
  {
    TServeClaim Claim(*this);
    Result = ServeAsDefHub(TimeOut);
  }
  if (FIsDef) FServeRoutine = &TSingleThreadHub::ServeAsDefHub;
  return Result;
}

bool TSingleThreadHub::ServeAsDefHub(uint32_t TimeOut) {
  return ServeTaskQueue() || ServeWaiting(TimeOut);
}

// The first pass ran nothing and took no time: the clock is read after it.
bool TSingleThreadHub::ServeWaiting(uint32_t TimeOut) {
  const TDeadline Deadline = TDeadline::After(TimeOut);
  for (;;) {
    FProcessWinMsg = true;
    TMultiplexorEvent Answer = ServeMultiplexor(Deadline.RemainingTimeOut());
    bool Result = Answer != meWaitTimeout || ServeTaskQueue();
    if (Result || Deadline.Passed()) return Result;
    if (ServeTaskQueue()) return true;
  }
}

TSingleThreadHub::TMultiplexorEvent TSingleThreadHub::Wait(uint32_t TimeOut,
                                                           TMultiplexorEvents Events,
                                                           bool ProcessWinMsg) {
  FProcessWinMsg = ProcessWinMsg;
  if (Events == 0) Events = ALL_EVENTS;
  TServeClaim Claim(*this);
  const TDeadline Deadline = TDeadline::After(TimeOut);
  TMultiplexorEvent Answer;
  bool TimedOut;
  do {
    Answer = ServeMultiplexor(Deadline.RemainingTimeOut());
    TimedOut = Deadline.Passed();
  } while (!TimedOut && !(Events & (1u << Answer)));
  return TimedOut ? meWaitTimeout : Answer;
}

}  // namespace green
