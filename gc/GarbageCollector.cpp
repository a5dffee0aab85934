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
  TGCTable* Table = GarbageCollectorTable();
  if (!Table) return RefPtr<IGCPointer<TObject>>(new TGCPointerImpl<TObject>(A));
  gc_detail::TStripeGuard Guard(A);
  RefPtr<IGCPointer<TObject>> Global;
  if (Table->GetKeyValue(A, Global)) return Global;
  auto* Impl = new TGCPointerImpl<TObject>(A);
  gc_detail::RegisterFirstLocked(Impl);
  RefPtr<IGCPointer<TObject>> Owner = RefPtr<IGCPointer<TObject>>::adopt(Impl);
  Assert(Table->SetKeyValue(A, Owner), "GarbageCollector", 145);
  return Owner;
}

}  // namespace

namespace gc_detail {

TStripeGuard::TStripeGuard(const void* A) : fWord(StripeOf(A)) { PasMPSpinAcquire(fWord); }
TStripeGuard::~TStripeGuard() { PasMPSpinRelease(fWord); }

void RegisterLocked(TObject* A, IGCPointer<TObject>* Global) {
  TGCTable* Table = GarbageCollectorTable();
  if (!Table) return;
  Assert(!Table->ContainsKey(A), "GarbageCollector", 212);
  Assert(Table->SetKeyValue(A, RefPtr<IGCPointer<TObject>>(Global)), "GarbageCollector", 145);
}

void RegisterFirstLocked(TGCPointerImpl<TObject>* Global) {
  // The first count is taken without the registering _AddRef: this thread
  // already holds the stripe.
  Global->FRefCount.store(1, std::memory_order_relaxed);
  RegisterLocked(Global->FObject, Global);
}

bool EntryIs(TObject* A, IGCPointer<TObject>* Global) {
  TGCTable* Table = GarbageCollectorTable();
  IGCPointer<TObject>* Stored = nullptr;
  return Table && Table->PeekValue(A, Stored) && Stored == Global;
}

void Extract(TObject* A, std::vector<IGCPointer<TObject>*>& Out) {
  TGCTable* Table = GarbageCollectorTable();
  if (!Table) return;
  auto Sink = [&Out](IGCPointer<TObject>* P) {
    if (P) Out.push_back(P);
  };
  Table->ExtractKey(A, Sink);
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
  int32_t N = FRefCount.load(std::memory_order_relaxed);
  while (N > 0) {
    if (FRefCount.compare_exchange_weak(N, N + 1, std::memory_order_acq_rel)) return true;
  }
  return false;
}

int32_t TGarbageCollector::TLocalRefs::_Release() {
  int32_t N = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (N != 0) return N;
  {
    std::lock_guard<TPasMPSpinLock> Lock(FContainer->Lock);
    auto It = FContainer->Map.find(FValue);
    if (It != FContainer->Map.end() && It->second == this) FContainer->Map.erase(It);
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
  std::lock_guard<TPasMPSpinLock> Lock(FStorage->Lock);
  FStorage->Map.clear();
}

bool TGarbageCollector::IsExists(TObject* A) {
  std::lock_guard<TPasMPSpinLock> Lock(FStorage->Lock);
  return FStorage->Map.count(A) != 0;
}

bool TGarbageCollector::ExistsInGlobal(TObject* A) {
  TGCTable* Table = GarbageCollectorTable();
  return A && Table && Table->ContainsKey(A);
}

RefPtr<IGCPointer<TObject>> TGarbageCollector::SetValue(TObject* A) {
  if (!A) return nullptr;
  auto Existing = [this, A]() -> TLocalRefs* {
    auto It = FStorage->Map.find(A);
    return It != FStorage->Map.end() && It->second->TryAddRef() ? It->second : nullptr;
  };
  TLocalRefs* Found;
  {
    std::lock_guard<TPasMPSpinLock> Lock(FStorage->Lock);
    Found = Existing();
  }
  if (Found) return RefPtr<IGCPointer<TObject>>::adopt(Found);

  // The map's insertion may throw; the wrapper is then released, which
  // takes the lock again.
  auto* Wrapper = new TLocalRefs(FStorage, AcquireGlobal(A));
  RefPtr<IGCPointer<TObject>> Result(Wrapper);
  {
    std::lock_guard<TPasMPSpinLock> Lock(FStorage->Lock);
    Found = Existing();
    if (!Found) FStorage->Map[A] = Wrapper;
  }
  if (Found) return RefPtr<IGCPointer<TObject>>::adopt(Found);
  return Result;
}

}  // namespace green
