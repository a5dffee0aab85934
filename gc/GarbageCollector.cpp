#include "gc/GarbageCollector.h"

#include <mutex>

namespace green {

namespace {

std::atomic<TGCTable*> gTable{nullptr};
std::atomic<bool> gTableLive{false};

struct alignas(PasMPCacheLineSize) TStripe {
  TPasMPLockWord Word{0};
};
constexpr uint32_t StripeCount = 64;
constinit TStripe gStripes[StripeCount];

TPasMPLockWord& StripeOf(const void* A) {
  return gStripes[PasMPHashPointer(A) & (StripeCount - 1)].Word;
}

// Finds or creates A's global reference, atomically with other threads that
// register A at the same time.
RefPtr<IGCPointer<TObject>> AcquireGlobal(TObject* A) {
  TGCTable* table = GarbageCollectorTable();
  if (!table) return RefPtr<IGCPointer<TObject>>(new TGCPointerImpl<TObject>(A));
  gc_detail::TStripeGuard guard(A);
  RefPtr<IGCPointer<TObject>> global;
  if (table->GetKeyValue(A, global)) return global;
  auto* impl = new TGCPointerImpl<TObject>(A);
  gc_detail::RegisterFirstLocked(impl);
  RefPtr<IGCPointer<TObject>> owner = RefPtr<IGCPointer<TObject>>::adopt(impl);
  Assert(table->SetKeyValue(A, owner), "GarbageCollector", 145);
  return owner;
}

}  // namespace

namespace gc_detail {

TStripeGuard::TStripeGuard(const void* A) : fWord(StripeOf(A)) { PasMPSpinAcquire(fWord); }
TStripeGuard::~TStripeGuard() { PasMPSpinRelease(fWord); }

void RegisterLocked(TObject* A, IGCPointer<TObject>* Global) {
  TGCTable* table = GarbageCollectorTable();
  if (!table) return;
  Assert(!table->ContainsKey(A), "GarbageCollector", 212);
  Assert(table->SetKeyValue(A, RefPtr<IGCPointer<TObject>>(Global)), "GarbageCollector", 145);
}

void RegisterFirstLocked(TGCPointerImpl<TObject>* Global) {
  // The first count is taken without the registering _AddRef: this thread
  // already holds the stripe.
  Global->FRefCount.store(1, std::memory_order_relaxed);
  RegisterLocked(Global->FObject, Global);
}

bool EntryIs(TObject* A, IGCPointer<TObject>* Global) {
  TGCTable* table = GarbageCollectorTable();
  IGCPointer<TObject>* stored = nullptr;
  return table && table->PeekValue(A, stored) && stored == Global;
}

void Extract(TObject* A, std::vector<IGCPointer<TObject>*>& Out) {
  TGCTable* table = GarbageCollectorTable();
  if (!table) return;
  auto sink = [&Out](IGCPointer<TObject>* P) {
    if (P) Out.push_back(P);
  };
  table->ExtractKey(A, sink);
}

}  // namespace gc_detail

// ---- unit ------------------------------------------------------------------

void GarbageCollectorStart() {
  if (gTable.load(std::memory_order_acquire)) return;
  gTable.store(new TGCTable, std::memory_order_release);
  gTableLive.store(true, std::memory_order_release);
}

void GarbageCollectorStop() {
  gTableLive.store(false, std::memory_order_seq_cst);
  delete gTable.exchange(nullptr, std::memory_order_acq_rel);
}

bool GarbageCollectorTableLive() { return gTableLive.load(std::memory_order_acquire); }

TGCTable* GarbageCollectorTable() {
  return gTableLive.load(std::memory_order_acquire) ? gTable.load(std::memory_order_acquire) : nullptr;
}

TGarbageCollectorUnit::TGarbageCollectorUnit() { GarbageCollectorStart(); }
TGarbageCollectorUnit::~TGarbageCollectorUnit() { GarbageCollectorStop(); }

TGarbageCollectorUnit& GarbageCollectorUnit() {
  static TGarbageCollectorUnit unit;
  return unit;
}

// ---- collector -------------------------------------------------------------

TGarbageCollector::TLocalRefs::TLocalRefs(TStorage* Container, RefPtr<IGCPointer<TObject>> GlobalRef)
    : FContainer(Container), FGlobalRef(std::move(GlobalRef)), FValue(FGlobalRef->GetValue()) {}

bool TGarbageCollector::TLocalRefs::TryAddRef() {
  int32_t n = FRefCount.load(std::memory_order_relaxed);
  while (n > 0) {
    if (FRefCount.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel)) return true;
  }
  return false;
}

int32_t TGarbageCollector::TLocalRefs::_Release() {
  int32_t n = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (n != 0) return n;
  {
    std::lock_guard<TPasMPSpinLock> lock(FContainer->Lock);
    auto it = FContainer->Map.find(FValue);
    if (it != FContainer->Map.end() && it->second == this) FContainer->Map.erase(it);
  }
  delete this;
  return 0;
}

TGarbageCollector::TGarbageCollector() : FStorage(new TStorage) {
  FStorage->_AddRef();
  GarbageCollectorUnit();
}

TGarbageCollector::~TGarbageCollector() {
  Clear();
  FStorage->_Release();
}

void TGarbageCollector::Clear() {
  std::lock_guard<TPasMPSpinLock> lock(FStorage->Lock);
  FStorage->Map.clear();
}

bool TGarbageCollector::IsExists(TObject* A) {
  std::lock_guard<TPasMPSpinLock> lock(FStorage->Lock);
  return FStorage->Map.count(A) != 0;
}

bool TGarbageCollector::ExistsInGlobal(TObject* A) {
  TGCTable* table = GarbageCollectorTable();
  return A && table && table->ContainsKey(A);
}

RefPtr<IGCPointer<TObject>> TGarbageCollector::SetValue(TObject* A) {
  if (!A) return nullptr;
  auto existing = [this, A]() -> TLocalRefs* {
    auto it = FStorage->Map.find(A);
    return it != FStorage->Map.end() && it->second->TryAddRef() ? it->second : nullptr;
  };
  TLocalRefs* found;
  {
    std::lock_guard<TPasMPSpinLock> lock(FStorage->Lock);
    found = existing();
  }
  if (found) return RefPtr<IGCPointer<TObject>>::adopt(found);

  // The map's insertion may throw; the wrapper is then released, which
  // takes the lock again.
  auto* wrapper = new TLocalRefs(FStorage, AcquireGlobal(A));
  RefPtr<IGCPointer<TObject>> result(wrapper);
  {
    std::lock_guard<TPasMPSpinLock> lock(FStorage->Lock);
    found = existing();
    if (!found) FStorage->Map[A] = wrapper;
  }
  if (found) return RefPtr<IGCPointer<TObject>>::adopt(found);
  return result;
}

}  // namespace green
