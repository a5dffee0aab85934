#include "greenlets/GreenletImpl.h"

#include <algorithm>

#include "greenlets/GreenletThread.h"
#include "hub/Hub.h"

namespace green {

namespace {

class TRoutine : public TInterfacedObject, public ISymmetricRoutine {
 public:
  explicit TRoutine(std::function<void()> Fn) : FFn(std::move(Fn)) {}
  void Invoke() override { FFn(); }

 private:
  std::function<void()> FFn;
};

class TArgsRoutine : public TInterfacedObject, public ISymmetricArgsRoutine {
 public:
  explicit TArgsRoutine(std::function<void(const tTuple&)> Fn) : FFn(std::move(Fn)) {}
  void Invoke(const tTuple& Args) override { FFn(Args); }

 private:
  std::function<void(const tTuple&)> FFn;
};

// A transfer never writes past the thread's 20 slots.
void CheckTupleSize(const tTuple& Args) {
  if (Args.size() > MAX_TUPLE_SIZE)
    throw Exception(Format("Too many values for one transfer: %d (at most %d)",
                           static_cast<int>(Args.size()), static_cast<int>(MAX_TUPLE_SIZE)));
}

void Store(TGreenletThread& T, const tTuple& Args) {
  CheckTupleSize(Args);
  std::copy(Args.begin(), Args.end(), T.Tuple);
  T.TupleCount = Args.size();
}

tTuple Load(const TGreenletThread& T) { return tTuple(T.Tuple, T.Tuple + T.TupleCount); }

}  // namespace

TSymmetricRoutine MakeRoutine(std::function<void()> Fn) { return TSymmetricRoutine(new TRoutine(std::move(Fn))); }

TSymmetricArgsRoutine MakeArgsRoutine(std::function<void(const tTuple&)> Fn) {
  return TSymmetricArgsRoutine(new TArgsRoutine(std::move(Fn)));
}

RefPtr<IGCPointer<TObject>> GC(TObject* A) {
  if (TRawGreenletImpl* Current = TRawGreenletImpl::GetCurrent()) {
    if (Current->GetState() == gsKilling) return nullptr;
    return Current->GC().SetValue(A);
  }
  if (!HubInfrasctuctureEnable) return nullptr;
  return GetCurrentHub()->GC(A);
}

// ---- TGreenletImpl --------------------------------------------------------------

TGreenletImpl::TGreenletImpl(const TSymmetricRoutine& Routine) : FRoutine(Routine) {}

TGreenletImpl::TGreenletImpl(const TSymmetricArgsRoutine& Routine, const tTuple& Args)
    : FArgRoutine(Routine) {
  KeepArguments(Args);
}

TGreenletImpl::TGreenletImpl(TSymmetricArgsStatic Routine, const tTuple& Args)
    : FArgStaticRoutine(Routine) {
  KeepArguments(Args);
}

// Managed objects get a reference in the creating context now, and the
// greenlet's own collector adopts them when it starts.
void TGreenletImpl::KeepArguments(const tTuple& Args) {
  FArgsSz = std::min(Args.size(), MAX_TUPLE_SIZE);
  for (size_t I = 0; I < FArgsSz; ++I) {
    FArgs[I] = Args[I];
    if (Args[I].VType != TVarRec::vtObject || !Args[I].VObject) continue;
    TObject* Obj = Args[I].VObject;
    if (TGarbageCollector::ExistsInGlobal(Obj)) FSmartArgs[I] = green::GC(Obj);
    auto& List = ObjArguments();
    if (std::find(List.begin(), List.end(), Obj) == List.end()) List.push_back(Obj);
  }
}

void TGreenletImpl::Execute() {
  if (FRoutine) {
    FRoutine->Invoke();
    return;
  }
  const tTuple Args(FArgs, FArgs + FArgsSz);
  if (FArgRoutine)
    FArgRoutine->Invoke(Args);
  else if (FArgStaticRoutine)
    FArgStaticRoutine(Args);
}

tTuple TGreenletImpl::Switch(const tTuple& Args) {
  TGreenletThread& T = TGreenletThread::Get();
  Store(T, Args);
  T.TupleYield = false;
  return SwitchTuple();
}

// Values a yield left in the area are not passed on as switch arguments.
tTuple TGreenletImpl::SwitchTuple() {
  if (!SwitchBare()) return {};
  return Load(TGreenletThread::Get());
}


tTuple TGreenletImpl::YieldTuple() {
  TGreenletThread& T = TGreenletThread::Get();
  T.TupleYield = true;
  T.TupleCount = 0;
  TRawGreenletImpl* Current = GetCurrent();
  if (!Current) return {};
  Current->Yield();
  return Load(TGreenletThread::Get());
}

tTuple TGreenletImpl::Yield(const tTuple& Args) {
  TGreenletThread& T = TGreenletThread::Get();
  Store(T, Args);
  T.TupleYield = true;
  if (TRawGreenletImpl* Current = GetCurrent()) Current->Yield();
  return Load(TGreenletThread::Get());
}

// ---- TSymmetricImpl ------------------------------------------------------------------

TSymmetricImpl::TSymmetricImpl(const TSymmetricRoutine& Routine, TCustomHub* Hub)
    : FRoutine(Routine) {
  if (Hub) SetHub(Hub);
}

TSymmetricImpl::TSymmetricImpl(TSymmetricRoutineStatic Routine, TCustomHub* Hub)
    : FRoutineStatic(Routine) {
  if (Hub) SetHub(Hub);
}

TSymmetricImpl::TSymmetricImpl() = default;

void TSymmetricImpl::Execute() {
  if (FRoutine)
    FRoutine->Invoke();
  else if (FRoutineStatic)
    FRoutineStatic();
}

}  // namespace green
