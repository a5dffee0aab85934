// The abstract interfaces that the hub, the greenlets and the gevents see of
// one another, and the types they share: greenlet states, callbacks, bound
// methods, the timeout convention.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <type_traits>

#include "base/Exception.h"
#include "base/RefCounted.h"
#include "gc/GarbageCollector.h"
#include "hub/HubBeat.h"
#include "platform/Kernel.h"
// INFINITE, and <windows.h>'s Yield undone.
#include "base/SystemMacros.h"

namespace green {

class TGevent;
class TCustomHub;

using THandle = os::Handle;

// Timeouts are unsigned milliseconds; INFINITE (0xFFFFFFFF, a macro shared
// with <windows.h>) means no limit, 0 do not wait.
static_assert(INFINITE == uint32_t{0xFFFFFFFF});

// Points in time and durations, in days, on a monotonic clock.
using TDateTime = double;
TDateTime Now();
// Milliseconds to a duration to add to Now(); INFINITE lies 100000 days ahead.
TDateTime TimeOut2Time(uint32_t TimeOut);
// A duration back to milliseconds: 0 below zero, INFINITE from INFINITE ms up.
uint32_t Time2TimeOut(TDateTime Value);

enum tGreenletState : uint8_t {
  gsReady,
  gsExecute,
  gsTerminated,
  gsKilled,
  gsException,
  gsSuspended,
  gsKilling,
};

// The states a greenlet ends in, and never leaves.
constexpr bool IsEndState(tGreenletState S) {
  return S == gsTerminated || S == gsKilled || S == gsException;
}

enum TIOOperation : uint8_t { ioNotSet = 0, ioRead = 1, ioWrite = 2 };

// A parameterless method bound to its object. Intf is the object's counted
// interface, recorded when the method is bound (nullptr for an object that
// is not counted): the hub keeps such an object alive until the task ran.
struct TTaskMethod {
  TObject* Data = nullptr;
  void (*Code)(TObject* Self) = nullptr;
  IInterface* Intf = nullptr;
  explicit operator bool() const { return Code != nullptr; }
  void operator()() const { Code(Data); }
};

// Binds a parameterless method: BindMethod<&TFoo::Run>(foo).
template <auto M, class C>
TTaskMethod BindMethod(C* Obj) {
  IInterface* Intf = nullptr;
  if constexpr (std::is_convertible_v<C*, IInterface*>) Intf = Obj;
  return {Obj, [](TObject* Self) { (static_cast<C*>(Self)->*M)(); }, Intf};
}

using TTaskProc = void (*)(void* Arg);

struct TExitCondition {
  TObject* Data = nullptr;
  bool (*Code)(TObject* Self) = nullptr;
  bool operator()() const { return Code(Data); }
};
template <auto M, class C>
TExitCondition BindCondition(C* Obj) {
  return {Obj, [](TObject* Self) -> bool { return (static_cast<C*>(Self)->*M)(); }};
}
using TExitConditionStatic = bool (*)();

using TIOCallback = void (*)(THandle Fd, TIOOperation Op, void* Data, int32_t ErrorCode,
                             uint32_t NumOfBytes);
using TEventCallback = void (*)(THandle Hnd, void* Data, bool Aborted);
using TInervalCallback = void (*)(THandle Id, void* Data);

struct TAnyAddress {
  void* AddrPtr = nullptr;
  int32_t AddrLen = 0;
};

GREEN_EXCEPTION(EHubError, Exception);

// A thread's event loop: tasks from any thread, hub-local objects, a
// collector, and waits on handles, timers and I/O completions.
class TCustomHub : public TObject {
 public:
  virtual TObject* HLS(const std::string& Key) = 0;
  virtual void HLS(const std::string& Key, TObject* Value) = 0;
  virtual RefPtr<IGCPointer<TObject>> GC(TObject* A) = 0;
  virtual void EnqueueTask(const TTaskMethod& Task) = 0;
  virtual void EnqueueTask(TTaskProc Task, void* Arg) = 0;
  virtual void Cancel(THandle Fd) = 0;
  virtual bool Write(THandle Fd, void* Buf, uint32_t Len, TIOCallback Cb, void* Data,
                     int64_t Offset = -1) = 0;
  virtual bool WriteTo(THandle Fd, void* Buf, uint32_t Len, const TAnyAddress& Addr,
                       TIOCallback Cb, void* Data) = 0;
  virtual bool Read(THandle Fd, void* Buf, uint32_t Len, TIOCallback Cb, void* Data,
                    int64_t Offset = -1) = 0;
  virtual bool ReadFrom(THandle Fd, void* Buf, uint32_t Len, const TAnyAddress& Addr,
                        TIOCallback Cb, void* Data) = 0;
  virtual THandle CreateTimer(TInervalCallback Cb, void* Data, uint32_t Interval) = 0;
  virtual void DestroyTimer(THandle Id) = 0;
  virtual THandle CreateTimeout(TInervalCallback Cb, void* Data, uint32_t Interval) = 0;
  virtual void DestroyTimeout(THandle Id) = 0;
  virtual bool AddEvent(THandle Ev, TEventCallback Cb, void* Data) = 0;
  virtual void RemEvent(THandle Ev) = 0;
  virtual bool Serve(uint32_t TimeOut) = 0;
  virtual void Pulse() = 0;
  virtual void LoopExit() = 0;
  virtual void Loop(const TExitCondition& Cond, uint32_t Timeout = INFINITE) = 0;
  virtual void Loop(TExitConditionStatic Cond, uint32_t Timeout = INFINITE) = 0;
  virtual void Switch() = 0;

  const std::string& Name() const { return FName; }
  void SetName(std::string Value) { FName = std::move(Value); }
  bool IsSuspended() const { return FIsSuspended; }
  void SetIsSuspended(bool Value) { FIsSuspended = Value; }
  // The hub's joiner (greenlets/Joiner.cpp), kept in its hub-local storage
  // and remembered here, so that binding a greenlet looks up no string.
  TObject* JoinerCache() const { return FJoinerCache.load(std::memory_order_acquire); }
  void SetJoinerCache(TObject* Value) { FJoinerCache.store(Value, std::memory_order_release); }
  // What a hub watchdog reads of the hub (hub/HubBeat.h).
  THubBeat& Beat() { return FBeat; }

 private:
  std::atomic<TObject*> FJoinerCache{nullptr};
  THubBeat FBeat;
  bool FIsSuspended = false;
  std::string FName;
};

class IGreenletProxy;

// A counted parameterless callable, run inside a greenlet.
class ISymmetricRoutine : public virtual IInterface {
 public:
  virtual void Invoke() = 0;
};
using TSymmetricRoutine = RefPtr<ISymmetricRoutine>;

// The shared handle of a greenlet.
class IRawGreenlet : public virtual IInterface {
 public:
  virtual uintptr_t GetUID() = 0;
  virtual RefPtr<IGreenletProxy> GetProxy() = 0;
  virtual void Switch() = 0;
  virtual void Yield() = 0;
  virtual void Kill() = 0;
  virtual void Suspend() = 0;
  virtual void Resume() = 0;
  // Takes ownership of E.
  virtual void Inject(Exception* E) = 0;
  virtual void Inject(const TSymmetricRoutine& Routine) = 0;
  virtual tGreenletState GetState() = 0;
  virtual Exception* GetException() = 0;
  virtual TObject* GetInstance() = 0;
  virtual TGevent* GetOnStateChanged() = 0;
  virtual TGevent* GetOnTerminate() = 0;
  virtual std::string GetName() = 0;
  virtual void SetName(const std::string& Value) = 0;
  virtual void Join(bool RaiseErrors = false) = 0;
  virtual void ReraiseException() = 0;
  virtual int32_t RefCount() = 0;
};

// The thread-safe handle of a greenlet: operations from any thread become
// tasks on the greenlet's hub.
class IGreenletProxy : public virtual IInterface {
 public:
  virtual void Pulse() = 0;
  virtual void DelayedSwitch() = 0;
  virtual void Resume() = 0;
  virtual void Suspend() = 0;
  virtual void Kill() = 0;
  virtual TCustomHub* GetHub() = 0;
  virtual tGreenletState GetState() = 0;
  virtual Exception* GetException() = 0;
  virtual TGevent* GetOnStateChanged() = 0;
  virtual TGevent* GetOnTerminate() = 0;
  virtual uintptr_t GetUID() = 0;
};

class TUniValue;

// Named values a greenlet inherits as a copy from its creator.
class IGreenEnvironment : public virtual IInterface {
 public:
  virtual void SetValue(const std::string& Name, TObject* Value) = 0;
  virtual TObject* GetValue(const std::string& Name) = 0;
  virtual void UnsetValue(const std::string& Name) = 0;
  virtual void Clear() = 0;
  virtual void SetIntValue(const std::string& Name, int32_t Value) = 0;
  virtual void SetStrValue(const std::string& Name, const std::string& Value) = 0;
  virtual void SetFloatValue(const std::string& Name, float Value) = 0;
  virtual void SetDoubleValue(const std::string& Name, double Value) = 0;
  virtual void SetInt64Value(const std::string& Name, int64_t Value) = 0;
  virtual int32_t GetIntValue(const std::string& Name) = 0;
  virtual std::string GetStrValue(const std::string& Name) = 0;
  virtual float GetFloatValue(const std::string& Name) = 0;
  virtual double GetDoubleValue(const std::string& Name) = 0;
  virtual int64_t GetInt64Value(const std::string& Name) = 0;
};

}  // namespace green
