// Shared ownership of objects handed between greenlets. Every managed object
// has one global reference, kept in a process-wide table keyed by the
// object's address; each hub and greenlet hands out one local wrapper per
// object through its own collector.
#pragma once

#include <atomic>
#include <cstdint>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "base/Exception.h"
#include "base/Object.h"
#include "base/RefCounted.h"
#include "gc/PasMP.h"

namespace green {

template <class T>
class IGCPointer : public virtual IInterface {
 public:
  virtual T* GetValue() = 0;
  virtual int32_t GetRefCount() = 0;
};

using TGCTable = TPasMPHashTable<TObject*, RefPtr<IGCPointer<TObject>>>;

// The collector's unit: the table and its live flag.
class TGarbageCollectorUnit {
 public:
  TGarbageCollectorUnit();
  ~TGarbageCollectorUnit();
  TGarbageCollectorUnit(const TGarbageCollectorUnit&) = delete;
  TGarbageCollectorUnit& operator=(const TGarbageCollectorUnit&) = delete;
};
// Starts the unit on first use; it stops at process exit after every unit
// that called this during its own start-up.
TGarbageCollectorUnit& GarbageCollectorUnit();
// Creates the table, then marks it live (no-op when already started).
void GarbageCollectorStart();
// Clears the live flag, then frees the table. No other thread may use the
// collector meanwhile.
void GarbageCollectorStop();
bool GarbageCollectorTableLive();
// The table while the unit runs, else nullptr.
TGCTable* GarbageCollectorTable();

template <class T>
class TGCPointerImpl;

namespace gc_detail {
// Registration and removal of one address are serialised by a lock picked by
// the address's hash; a scope also defers table-state finalization until the
// lock is gone, since finalizing may release other objects.
class TStripeGuard {
 public:
  explicit TStripeGuard(const void* A);
  ~TStripeGuard();
  TStripeGuard(const TStripeGuard&) = delete;
  TStripeGuard& operator=(const TStripeGuard&) = delete;

 private:
  TPasMPThreadSafeHashTable::TDeferScope fDefer;
  TPasMPLockWord& fWord;
};
// Stores Global under A; the stripe of A is held.
void RegisterLocked(TObject* A, IGCPointer<TObject>* Global);
// The table's entry for A is Global (no count taken); stripe held.
bool EntryIs(TObject* A, IGCPointer<TObject>* Global);
// Registers a new global reference that already holds its first count.
void RegisterFirstLocked(TGCPointerImpl<TObject>* Global);
// Removes A's entries and appends the counts they owned; stripe held.
void Extract(TObject* A, std::vector<IGCPointer<TObject>*>& Out);
}  // namespace gc_detail

// The global reference: owns the object, frees it when destroyed.
template <class T>
class TGCPointerImpl : public TObject, public IGCPointer<T> {
 public:
  explicit TGCPointerImpl(T* Value)
      : FValue(Value), FIsObject(std::is_base_of_v<TObject, T>), FObject(AsObject(Value)) {
    GarbageCollectorUnit();
  }
  ~TGCPointerImpl() override { TFinalizer<T>::Fin(FValue); }

  int32_t _AddRef() override {
    int32_t N = FRefCount.fetch_add(1, std::memory_order_relaxed) + 1;
    if (N == 1 && FIsObject && FObject && GarbageCollectorTableLive()) {
      gc_detail::TStripeGuard Guard(FObject);
      gc_detail::RegisterLocked(FObject, Self());
    }
    return N;
  }
  int32_t _Release() override {
    for (;;) {
      int32_t N = FRefCount.load(std::memory_order_acquire);
      // Falling back to the table's own count is decided under the stripe,
      // where lookups that could revive the reference also run.
      if (N == 2 && FIsObject && FObject && GarbageCollectorTableLive()) return ReleaseToTable();
      if (!FRefCount.compare_exchange_weak(N, N - 1, std::memory_order_acq_rel)) continue;
      if (N == 1) delete this;
      return N - 1;
    }
  }
  T* GetValue() override { return FValue; }
  int32_t GetRefCount() override { return FRefCount.load(std::memory_order_relaxed); }

 private:
  friend void gc_detail::RegisterFirstLocked(TGCPointerImpl<TObject>* Global);

  int32_t ReleaseToTable() {
    std::vector<IGCPointer<TObject>*> Out;
    int32_t M;
    {
      gc_detail::TStripeGuard Guard(FObject);
      bool InTable = gc_detail::EntryIs(FObject, Self());
      bool Detached = FDetached.load(std::memory_order_acquire);
      M = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
      if (M == 1 && InTable) {
        gc_detail::Extract(FObject, Out);
        FDetached.store(true, std::memory_order_release);
      } else if (M == 1 && !Detached) {
        Assert(false, "GarbageCollector", 228);
      }
    }
    if (M == 0) delete this;
    for (IGCPointer<TObject>* P : Out) {
      if (P != Self()) {
        P->_Release();
      } else if (FRefCount.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        delete this;
        return 0;
      }
    }
    return M;
  }
  static TObject* AsObject(T* Value) {
    if constexpr (std::is_base_of_v<TObject, T>) return Value; else return nullptr;
  }
  IGCPointer<TObject>* Self() {
    if constexpr (std::is_same_v<T, TObject>) return this; else return nullptr;
  }

  T* FValue;
  bool FIsObject;
  TObject* FObject;
  std::atomic<int32_t> FRefCount{0};
  // Set once the entry has left the table with counts still held.
  std::atomic<bool> FDetached{false};
};

class TGarbageCollector : public TObject {
 public:
  class TLocalRefs;

  TGarbageCollector();
  ~TGarbageCollector() override;
  TGarbageCollector(const TGarbageCollector&) = delete;
  TGarbageCollector& operator=(const TGarbageCollector&) = delete;

  // The wrapper of this collector for A (nil for nil).
  RefPtr<IGCPointer<TObject>> SetValue(TObject* A);
  void SetValue(TObject* A, RefPtr<IGCPointer<TObject>>& Ref) { Ref = SetValue(A); }
  bool IsExists(TObject* A);
  // A is managed: the process-wide table has an entry for it.
  static bool ExistsInGlobal(TObject* A);
  // Detaches every wrapper; wrappers stay valid while referenced.
  void Clear();

 private:
  struct TStorage;
  TStorage* FStorage;
};

// The lock and map of a collector. Wrappers keep it alive, so that one
// released on another thread after the collector is gone touches valid memory.
struct TGarbageCollector::TStorage : public TInterfacedObject {
  TPasMPSpinLock Lock;
  std::unordered_map<TObject*, TLocalRefs*> Map;
};

class TGarbageCollector::TLocalRefs : public TObject, public IGCPointer<TObject> {
 public:
  TLocalRefs(TStorage* Container, RefPtr<IGCPointer<TObject>> GlobalRef);
  int32_t _AddRef() override { return FRefCount.fetch_add(1, std::memory_order_relaxed) + 1; }
  int32_t _Release() override;
  TObject* GetValue() override { return FGlobalRef->GetValue(); }
  int32_t GetRefCount() override { return FRefCount.load(std::memory_order_relaxed); }

  // A reference unless the count already fell to 0 (the wrapper is dying).
  bool TryAddRef();

 private:
  RefPtr<TStorage> FContainer;
  RefPtr<IGCPointer<TObject>> FGlobalRef;
  TObject* FValue;
  std::atomic<int32_t> FRefCount{0};
};

}  // namespace green
