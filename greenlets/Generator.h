// Generators: a greenlet body delivers one value per Yield, and the caller
// walks the values with MoveNext or a range-for. The body may wait on
// events between values; MoveNext then waits for its next state change.
#pragma once

#include <type_traits>
#include <utility>

#include "gevent/Gevent.h"
#include "greenlets/Argument.h"
#include "greenlets/GreenletImpl.h"
// Declares Yield: <windows.h>'s Yield macro undone.
#include "base/SystemMacros.h"

namespace green {

template <class T>
class TGeneratorImpl;

template <class T>
class TGenEnumerator {
 public:
  explicit TGenEnumerator(TGeneratorImpl<T>* Gen) : FGen(Gen) {}
  const T& Current() const { return FGen->FCurrent; }
  bool MoveNext() { return FGen->MoveNext(); }
  void Reset() { FGen->Reset(); }

 private:
  RefPtr<TGeneratorImpl<T>> FGen;
};

template <class T>
class IGenerator : public virtual IInterface {
 public:
  virtual TGenEnumerator<T> GetEnumerator() = 0;
  virtual void Setup(const tTuple& Args) = 0;
};

template <class T>
class TGeneratorImpl : public TInterfacedObject, public IGenerator<T> {
 public:
  class TGenGreenletImpl : public TGreenletImpl {
   public:
    template <class... A>
    explicit TGenGreenletImpl(A&&... Args) : TGreenletImpl(std::forward<A>(Args)...) {
      SetGeneratorTag(&kTag);
    }
    TGeneratorImpl* FGen = nullptr;
  };

  explicit TGeneratorImpl(const TSymmetricRoutine& Routine) { Init(new TGenGreenletImpl(Routine)); }
  TGeneratorImpl(const TSymmetricArgsRoutine& Routine, const tTuple& Args) {
    Init(new TGenGreenletImpl(Routine, Args));
  }
  TGeneratorImpl(TSymmetricArgsStatic Routine, const tTuple& Args) {
    Init(new TGenGreenletImpl(Routine, Args));
  }
  // The body is cut off from this object before it is killed, so that a
  // kill that lands later on another thread never reaches a gone generator.
  ~TGeneratorImpl() override {
    FGreenlet->FGen = nullptr;
    FGreenlet->Kill();
  }

  TGenEnumerator<T> GetEnumerator() override { return TGenEnumerator<T>(this); }
  void Setup(const tTuple& Args) override { FGreenlet->Switch(Args); }

  bool MoveNext() {
    FGreenlet->SwitchBare();
    for (;;) {
      switch (FGreenlet->GetState()) {
        case gsExecute:
          return FYieldExists;
        case gsSuspended:
          FGreenlet->GetOnStateChanged()->WaitFor(INFINITE);
          break;
        default:
          return false;
      }
    }
  }

  void Reset() {
    FYieldExists = false;
    FGreenlet->Kill();
  }

  // Called inside the body: hands Value to the walker and waits for the
  // next MoveNext.
  static tTuple Yield(const T& Value) {
    TGenGreenletImpl* Greenlet = Hand(Value);
    if (!Greenlet) return {};
    tTuple Received = Greenlet->YieldTuple();
    Handed(Greenlet);
    return Received;
  }
  // Yield that hands Value over without a copy; Value comes back holding
  // the previous value, whose storage the body may fill again.
  static tTuple Yield(T&& Value) {
    TGenGreenletImpl* Greenlet = Hand(std::move(Value));
    if (!Greenlet) return {};
    tTuple Received = Greenlet->YieldTuple();
    Handed(Greenlet);
    return Received;
  }
  // Yield for a body that ignores what the next switch passes.
  static void YieldValue(const T& Value) {
    if (TGenGreenletImpl* Greenlet = Hand(Value)) {
      Greenlet->YieldBare();
      Handed(Greenlet);
    }
  }
  static void YieldValue(T&& Value) {
    if (TGenGreenletImpl* Greenlet = Hand(std::move(Value))) {
      Greenlet->YieldBare();
      Handed(Greenlet);
    }
  }

  const T& Current() const { return FCurrent; }
  TGenGreenletImpl* Greenlet() const { return FGreenlet.get(); }

 private:
  friend class TGenEnumerator<T>;

  // Makes Value the walker's current one; nullptr when the caller is not a
  // generator's body, which has then only yielded (when it is a greenlet).
  template <class V>
  static TGenGreenletImpl* Hand(V&& Value) {
    TRawGreenletImpl* Current = TRawGreenletImpl::GetCurrent();
    if (!Current) return nullptr;
    auto* Greenlet = Current->GeneratorTag() == &kTag ? static_cast<TGenGreenletImpl*>(Current)
                                                      : nullptr;
    if (!Greenlet || !Greenlet->FGen) {
      Current->Yield();
      return nullptr;
    }
    TGeneratorImpl* Gen = Greenlet->FGen;
    Gen->FYieldExists = true;
    Gen->GarbageCollect(Value);
    if constexpr (std::is_rvalue_reference_v<V&&>) {
      using std::swap;
      swap(Gen->FCurrent, Value);
    } else {
      Gen->FCurrent = Value;
    }
    return Greenlet;
  }
  // Back in the body after a walker's switch.
  static void Handed(TGenGreenletImpl* Greenlet) {
    if (Greenlet->FGen) Greenlet->FGen->FYieldExists = false;
  }

  void Init(TGenGreenletImpl* G) {
    FGreenlet = RefPtr<TGenGreenletImpl>(G);
    FGreenlet->FGen = this;
  }
  // Keeps the newly yielded object alive and lets go of the previous one.
  void GarbageCollect(const T& New) {
    if constexpr (IsObjectType<T>) FSmartPtr = GC(New);
  }

  // One per value type: the tag of its generators' bodies.
  static constexpr char kTag = 0;

  RefPtr<TGenGreenletImpl> FGreenlet;
  T FCurrent{};
  bool FYieldExists = false;
  RefPtr<IGCPointer<TObject>> FSmartPtr;
};

}  // namespace green
