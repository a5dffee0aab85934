// Typed arguments captured when a greenlet is created, and the symmetric
// greenlet that runs a routine with two of them.
#pragma once

#include <functional>
#include <type_traits>

#include "base/Persistent.h"
#include "greenlets/GreenletImpl.h"

namespace green {

template <class T>
constexpr bool IsObjectType =
    std::is_pointer_v<T> && std::is_base_of_v<TObject, std::remove_pointer_t<T>>;

// A persistent object is copied, and the copy dies with the argument; any
// other managed object gets a reference in the creating context.
template <class T>
struct TArgument {
  T FValue{};
  bool FIsObject = false;
  TObject* FObject = nullptr;
  RefPtr<IGCPointer<TObject>> FSmartObj;
  bool FIsDynArr = false;

  TArgument(const T& Value, TRawGreenletImpl* Owner) {
    if constexpr (!IsObjectType<T>) {
      FValue = Value;
    } else {
      FIsObject = true;
      FObject = Value;
      if (auto* Persistent = dynamic_cast<TPersistent*>(FObject)) {
        TPersistent* Copy = Persistent->NewInstance();
        Copy->Assign(Persistent);
        FObject = Copy;
        FSmartObj = RefPtr<IGCPointer<TObject>>(new TGCPointerImpl<TObject>(Copy));
      } else if (FObject && TGarbageCollector::ExistsInGlobal(FObject)) {
        FSmartObj = GC(FObject);
      }
      FValue = static_cast<T>(FObject);
      if (Owner && FObject) {
        auto& List = Owner->ObjArguments();
        if (std::find(List.begin(), List.end(), FObject) == List.end()) List.push_back(FObject);
      }
    }
  }
  operator T() const { return FValue; }
};

template <class T1, class T2>
class TSymmetricImpl2 : public TRawGreenletImpl {
 public:
  using TRoutine = std::function<void(T1, T2)>;
  using TRoutineStatic = void (*)(T1, T2);

  TSymmetricImpl2(TRoutine Routine, const T1& Arg1, const T2& Arg2, TCustomHub* Hub = nullptr)
      : FArg1(Arg1, nullptr), FArg2(Arg2, nullptr), FRoutine(std::move(Routine)) {
    if (Hub) SetHub(Hub);
  }
  TSymmetricImpl2(TRoutineStatic Routine, const T1& Arg1, const T2& Arg2,
                  TCustomHub* Hub = nullptr)
      : FArg1(Arg1, nullptr), FArg2(Arg2, nullptr), FRoutineStatic(Routine) {
    if (Hub) SetHub(Hub);
  }

  void Execute() override {
    if (FRoutine)
      FRoutine(FArg1, FArg2);
    else if (FRoutineStatic)
      FRoutineStatic(FArg1, FArg2);
  }

 private:
  TArgument<T1> FArg1;
  TArgument<T2> FArg2;
  TRoutine FRoutine;
  TRoutineStatic FRoutineStatic = nullptr;
};

}  // namespace green
