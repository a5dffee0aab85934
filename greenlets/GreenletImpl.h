// Greenlet flavours that run routines: TGreenletImpl (a routine with tagged
// arguments, exchanging tuples of values on switch and yield) and
// TSymmetricImpl (a parameterless routine), with the routine types.
#pragma once

#include <functional>
#include <typeinfo>
#include <utility>

#include "greenlets/GreenletsImpl.h"
#include "greenlets/VarRec.h"
// Declares Yield: <windows.h>'s Yield macro undone.
#include "base/SystemMacros.h"

namespace green {

// The most values a greenlet keeps as arguments and one transfer carries.
constexpr size_t MAX_TUPLE_SIZE = 20;

using TSymmetricRoutineStatic = void (*)();

class ISymmetricArgsRoutine : public virtual IInterface {
 public:
  virtual void Invoke(const tTuple& Args) = 0;
};
using TSymmetricArgsRoutine = RefPtr<ISymmetricArgsRoutine>;
using TSymmetricArgsStatic = void (*)(const tTuple& Args);

// Counted routines made from any callable.
TSymmetricRoutine MakeRoutine(std::function<void()> Fn);
TSymmetricArgsRoutine MakeArgsRoutine(std::function<void(const tTuple&)> Fn);

class IGreenlet : public virtual IRawGreenlet {
 public:
  using IRawGreenlet::Switch;
  using IRawGreenlet::Yield;
  // Enters the greenlet; answers what it yields.
  virtual tTuple SwitchTuple() = 0;
  virtual tTuple Switch(const tTuple& Args) = 0;
  // Leaves the current greenlet; answers what the next switch into it passes.
  virtual tTuple YieldTuple() = 0;
  virtual tTuple Yield(const tTuple& Args) = 0;
};

class TGreenletImpl : public TRawGreenletImpl, public IGreenlet {
 public:
  explicit TGreenletImpl(const TSymmetricRoutine& Routine);
  TGreenletImpl(const TSymmetricArgsRoutine& Routine, const tTuple& Args);
  TGreenletImpl(TSymmetricArgsStatic Routine, const tTuple& Args);

  using TRawGreenletImpl::Switch;
  using TRawGreenletImpl::Yield;
  tTuple SwitchTuple() override;
  tTuple Switch(const tTuple& Args) override;
  tTuple YieldTuple() override;
  tTuple Yield(const tTuple& Args) override;
  // SwitchTuple and YieldTuple for callers that take no values back, as a
  // generator's walk: nothing is copied out of the transfer area. False when
  // the greenlet may not run. Inline: a generator's step is little else.
  bool SwitchBare() {
    TGreenletThread& T = TGreenletThread::Get();
    if (T.TupleYield) T.TupleCount = 0;
    const tGreenletState S = GetState();
    if (S != gsReady && S != gsExecute) {
      T.TupleCount = 0;
      return false;
    }
    SwitchDirect();
    return true;
  }
  void YieldBare() {
    TGreenletThread& T = TGreenletThread::Get();
    T.TupleYield = true;
    T.TupleCount = 0;
    if (TRawGreenletImpl* Current = T.Current) Current->YieldDirect();
  }

  void Execute() override;

 private:
  void KeepArguments(const tTuple& Args);

  TSymmetricRoutine FRoutine;
  TSymmetricArgsRoutine FArgRoutine;
  TSymmetricArgsStatic FArgStaticRoutine = nullptr;
  TVarRec FArgs[MAX_TUPLE_SIZE];
  RefPtr<IGCPointer<TObject>> FSmartArgs[MAX_TUPLE_SIZE];
  size_t FArgsSz = 0;
};

class TSymmetricImpl : public TRawGreenletImpl {
 public:
  TSymmetricImpl(const TSymmetricRoutine& Routine, TCustomHub* Hub = nullptr);
  TSymmetricImpl(TSymmetricRoutineStatic Routine, TCustomHub* Hub = nullptr);
  void Execute() override;

 protected:
  // For a flavour that runs a routine of its own.
  TSymmetricImpl();

 private:
  TSymmetricRoutine FRoutine;
  TSymmetricRoutineStatic FRoutineStatic = nullptr;
};

// A symmetric greenlet that holds its callable in place, so that the two
// are one block: what TSymmetric makes of a lambda.
template <class F>
class TSymmetricFnImpl final : public TSymmetricImpl {
 public:
  template <class G>
  explicit TSymmetricFnImpl(G&& Fn) : FFn(std::forward<G>(Fn)) {}
  void Execute() override { FFn(); }
  const char* ReportedClass() const override { return typeid(TSymmetricImpl).name(); }

 private:
  F FFn;
};

// The shared-ownership handle of the public GC, in the calling context.
RefPtr<IGCPointer<TObject>> GC(TObject* A);

}  // namespace green
