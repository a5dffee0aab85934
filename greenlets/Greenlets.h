// What application code uses: spawning symmetric greenlets and generators,
// joining with a timeout, sleeping and yielding from greenlets and from
// plain threads alike, threads with hubs of their own, and the collector.
//
// Defaults of the optional parameters: Join waits without limit and does
// not re-raise; TGreenThread::Kill blocks until the thread has ended.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "gevent/Gevent.h"
#include "green/detail/GenIterator.h"
#include "greenlets/Argument.h"
#include "greenlets/Generator.h"
#include "greenlets/GreenletImpl.h"
#include "hub/Hub.h"
// Declares Yield: <windows.h>'s Yield macro undone.
#include "base/SystemMacros.h"

namespace green {

// The calling thread's current greenlet, or nullptr on its root context.
TRawGreenletImpl* GetCurrent();
// True when every worker ended within Timeout. Greenlets of the calling
// thread's hub are driven by the join; others are watched.
bool Join(const std::vector<RefPtr<IRawGreenlet>>& Workers, uint32_t Timeout = INFINITE,
          bool RaiseErrors = false);
void GreenSleep(uint32_t aTimeOut);
// A report of every live greenlet of every hub in the process: a line per
// hub (its thread, or that it is not serving) and under it a line per
// greenlet with its address, class, name, state, what it waits on and how
// long ago it last switched away to wait. Any thread may ask at any time:
// it copies under the hubs' locks, never switches and never waits on a hub.
std::string DumpGreenlets();
// How the report writes an address.
std::string DumpAddress(const void* P);
// Inside a greenlet: back to whoever runs it. On the root context: one
// turn of the hub's loop, which may wait until there is work.
void Yield();

class TSymmetric {
 public:
  RefPtr<IRawGreenlet> Impl;

  static TSymmetric Create(const TSymmetricRoutine& Routine);
  static TSymmetric Create(TSymmetricRoutineStatic Routine);
  template <class F>
    requires std::is_invocable_v<F&>
  static TSymmetric Create(F&& Routine) {
    return TSymmetric{
        RefPtr<IRawGreenlet>(new TSymmetricFnImpl<std::decay_t<F>>(std::forward<F>(Routine)))};
  }
  // Creates and enters at once: returns after the body's first yield.
  template <class R>
  static TSymmetric Spawn(R&& Routine) {
    TSymmetric S = Create(std::forward<R>(Routine));
    S.Impl->Switch();
    return S;
  }

  void Run();
  void Kill() { Impl->Kill(); }
  void Join(bool RaiseErrors = false) { Impl->Join(RaiseErrors); }
  // A name for reports: TSymmetric::Spawn(...).SetName("reader").
  const TSymmetric& SetName(const std::string& Value) const {
    Impl->SetName(Value);
    return *this;
  }
  std::string GetName() const { return Impl->GetName(); }
  operator RefPtr<IRawGreenlet>() const { return Impl; }
  operator TGevent*() const { return Impl->GetOnTerminate(); }
};

// A symmetric greenlet whose routine takes two arguments captured at creation.
template <class T1, class T2>
class TSymmetric2 {
 public:
  using TImpl = TSymmetricImpl2<T1, T2>;
  RefPtr<IRawGreenlet> Impl;

  static TSymmetric2 Create(typename TImpl::TRoutine Routine, const T1& A1, const T2& A2) {
    return TSymmetric2{RefPtr<IRawGreenlet>(new TImpl(std::move(Routine), A1, A2))};
  }
  static TSymmetric2 Create(typename TImpl::TRoutineStatic Routine, const T1& A1, const T2& A2) {
    return TSymmetric2{RefPtr<IRawGreenlet>(new TImpl(Routine, A1, A2))};
  }
  template <class R>
  static TSymmetric2 Spawn(R&& Routine, const T1& A1, const T2& A2) {
    TSymmetric2 S = Create(std::forward<R>(Routine), A1, A2);
    S.Impl->Switch();
    return S;
  }

  void Run() {
    if (Impl->GetState() == gsReady) Impl->GetProxy()->Pulse();
  }
  void Kill() { Impl->Kill(); }
  void Join(bool RaiseErrors = false) { Impl->Join(RaiseErrors); }
  const TSymmetric2& SetName(const std::string& Value) const {
    Impl->SetName(Value);
    return *this;
  }
  std::string GetName() const { return Impl->GetName(); }
  operator RefPtr<IRawGreenlet>() const { return Impl; }
  operator TGevent*() const { return Impl->GetOnTerminate(); }
};

template <class T>
class TGenerator {
 public:
  RefPtr<TGeneratorImpl<T>> Impl;

  static TGenerator Create(const TSymmetricRoutine& Routine) {
    return TGenerator{MakeRef<TGeneratorImpl<T>>(Routine)};
  }
  template <class F>
    requires std::is_invocable_v<F&>
  static TGenerator Create(F&& Routine) {
    return Create(MakeRoutine(std::function<void()>(std::forward<F>(Routine))));
  }
  static TGenerator Create(const TSymmetricArgsRoutine& Routine, const tTuple& Args) {
    return TGenerator{MakeRef<TGeneratorImpl<T>>(Routine, Args)};
  }
  static TGenerator Create(TSymmetricArgsStatic Routine, const tTuple& Args) {
    return TGenerator{MakeRef<TGeneratorImpl<T>>(Routine, Args)};
  }

  void Setup(const tTuple& Args) { Impl->Setup(Args); }
  // A name for reports, given to the generator's greenlet.
  const TGenerator& SetName(const std::string& Value) const {
    Impl->Greenlet()->SetName(Value);
    return *this;
  }
  std::string GetName() const { return Impl->Greenlet()->GetName(); }
  TGenEnumerator<T> GetEnumerator() { return Impl->GetEnumerator(); }
  // Called inside the body.
  static void Yield(const T& Value) { TGeneratorImpl<T>::YieldValue(Value); }
  // Hands Value over without a copy; Value comes back holding the previous
  // value, whose storage the body may fill again.
  static void Yield(T&& Value) { TGeneratorImpl<T>::YieldValue(std::move(Value)); }

  // Range-for over the values.
  using iterator = detail::GenIterator<TGeneratorImpl<T>>;
  iterator begin() { return iterator(Impl.get()); }
  iterator end() { return iterator(); }
};

// Keeps an object alive under the calling context's collector.
template <class T>
class TSmartPointer {
 public:
  TSmartPointer() = default;
  TSmartPointer(T* Value) : FObjRef(GC(Value)) {}
  T* Get() const { return FObjRef ? static_cast<T*>(FObjRef->GetValue()) : nullptr; }
  operator T*() const { return Get(); }
  T* operator->() const { return Get(); }
  static constexpr bool IsClass() { return true; }

 private:
  RefPtr<IGCPointer<TObject>> FObjRef;
};

// Makes symmetric greenlets bound to one hub and starts them there.
class TSymmetricFactory {
 public:
  explicit TSymmetricFactory(TCustomHub* Hub) : FHub(Hub) {}
  TSymmetric Spawn(const TSymmetricRoutine& Routine);
  TSymmetric Spawn(TSymmetricRoutineStatic Routine);
  template <class F>
    requires std::is_invocable_v<F&>
  TSymmetric Spawn(F&& Routine) {
    return Spawn(MakeRoutine(std::function<void()>(std::forward<F>(Routine))));
  }
  TCustomHub* Hub() const { return FHub; }

 private:
  TCustomHub* FHub;
};

// An operating-system thread that runs its own hub until killed; the
// greenlets still bound to that hub are killed when its loop ends.
class TGreenThread : public TObject {
 public:
  TGreenThread();
  ~TGreenThread() override;
  TGreenThread(const TGreenThread&) = delete;
  TGreenThread& operator=(const TGreenThread&) = delete;

  void Kill(bool GreenBlock = true);
  TSymmetricFactory& Symmetrics() { return *FSymmetrics; }
  TGevent* OnTerminate() { return FOnTerminate.get(); }
  uint32_t ThreadId() const { return FThreadId; }

 private:
  void Execute();
  bool ExitCond();
  void DoAbort();

  RefPtr<TGevent> FOnTerminate;
  TSingleThreadHub* FHub = nullptr;
  std::unique_ptr<TSymmetricFactory> FSymmetrics;
  std::atomic<bool> FTerminated{false};
  uint32_t FThreadId = 0;
  std::mutex FStartLock;
  std::condition_variable FStarted;
  std::thread FThread;
};

}  // namespace green
