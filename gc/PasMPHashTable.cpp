#include "gc/PasMPHashTable.h"

#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

namespace green {

// One cache line. Its users are published in per-thread hazard slots
// rather than counted in the state, so that lookups on several threads do
// not all write one cache line. Count and Deleted are changed by inserts and deletes
// without the table lock; the rest is fixed while the state is current.
struct alignas(PasMPCacheLineSize) TPasMPThreadSafeHashTableState {
  TPasMPThreadSafeHashTableState* Previous = nullptr;
  TPasMPThreadSafeHashTableState* Next = nullptr;
  uint32_t Version = 0;
  uint32_t Size = 0;
  uint32_t Mask = 0;
  uint32_t LogSize = 0;
  std::atomic<uint32_t> Count{0};
  // Deleted slots; they count against the grow limit so that an empty slot
  // always ends a probe walk.
  std::atomic<uint32_t> Deleted{0};
  unsigned char* Items = nullptr;
};
static_assert(sizeof(TPasMPThreadSafeHashTableState) == PasMPCacheLineSize);

namespace {

enum : int32_t { SlotEmpty = 0, SlotUsed = 1, SlotDeleted = -1 };

// The slot header; the item follows at offset 16. Its lock word follows
// the reader-writer protocol with upgrades and downgrades, which no scoped
// guard expresses; what runs under it only copies keys and takes counts,
// and cannot throw: replaced and removed items leave the slot as bytes and
// are released after the lock is gone. Seq is odd while a writer changes
// the slot: lookups that take no count read the slot without writing to it
// and try again when Seq moved meanwhile.
struct TSlotHeader {
  TPasMPLockWord Lock;
  std::atomic<int32_t> State;
  std::atomic<uint32_t> Hash;
  std::atomic<uint32_t> Seq;
};
static_assert(sizeof(TSlotHeader) <= 16);

TSlotHeader& Header(unsigned char* Slot) { return *reinterpret_cast<TSlotHeader*>(Slot); }

// Brackets a change of a slot whose lock is held for writing. What changes
// inside is stored with release order, so that it never shows before the
// odd Seq, and read with acquire order, so that the read of Seq after it
// stays after it: no fences, which ThreadSanitizer cannot follow.
class TSlotChange {
 public:
  explicit TSlotChange(TSlotHeader& H) noexcept : fH(H) {
    fH.Seq.store(fH.Seq.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  ~TSlotChange() {
    fH.Seq.store(fH.Seq.load(std::memory_order_relaxed) + 1, std::memory_order_release);
  }
  TSlotChange(const TSlotChange&) = delete;
  TSlotChange& operator=(const TSlotChange&) = delete;

 private:
  TSlotHeader& fH;
};

struct TProbe {
  uint32_t Start, Step, Mask, Index;
  TProbe(uint32_t H, uint32_t LogSize, uint32_t M)
      : Start((LogSize ? H >> (32 - LogSize) : 0) & M), Step((2 * H + 1) & M), Mask(M), Index(Start) {}
  // False once the walk is back at its start.
  bool Next() {
    Index = (Index + Step) & Mask;
    return Index != Start;
  }
};

// Which table states each thread is using. Records are never freed. A
// thread holds one only while it uses a state and hands it back when its
// outermost use ends, so nothing depends on a thread-exit hook (destructors
// of thread_local objects crash the thread exit of 32-bit mingw programs).
struct alignas(PasMPCacheLineSize) THazardRecord {
  static constexpr int Depth = 4;
  std::atomic<const void*> Slots[Depth] = {};
  std::atomic<bool> InUse{true};
  THazardRecord* Next = nullptr;
};
std::atomic<THazardRecord*> gHazards{nullptr};

bool Claim(THazardRecord* R) {
  bool Free = false;
  return R->InUse.compare_exchange_strong(Free, true, std::memory_order_acquire);
}

THazardRecord* TakeRecord() {
  for (THazardRecord* R = gHazards.load(std::memory_order_acquire); R; R = R->Next)
    if (Claim(R)) return R;
  auto* R = new THazardRecord;
  R->Next = gHazards.load(std::memory_order_relaxed);
  while (!gHazards.compare_exchange_weak(R->Next, R, std::memory_order_release)) {
  }
  return R;
}

// Plain thread-locals keep the hot path free of lazy-initialisation calls.
// The record a thread used last is tried first: nobody else claims it while
// the thread runs, so taking it costs one uncontended exchange.
constinit thread_local THazardRecord* tRecord = nullptr;  // held while tDepth > 0
constinit thread_local THazardRecord* tLastRecord = nullptr;
constinit thread_local int tDepth = 0;

THazardRecord* ClaimRecord() {
  if (tLastRecord && Claim(tLastRecord)) return tLastRecord;
  return tLastRecord = TakeRecord();
}

bool Hazarded(const void* State) {
  for (THazardRecord* R = gHazards.load(std::memory_order_acquire); R; R = R->Next) {
    for (auto& Slot : R->Slots) {
      if (Slot.load(std::memory_order_seq_cst) == State) return true;
    }
  }
  return false;
}

// A small item buffer, so that released items can be finalized after the
// slot lock is gone.
class TItemBuffer {
 public:
  explicit TItemBuffer(size_t Size) : fHeap(Size > sizeof(fLocal) ? Size : 0) {}
  void* Data() { return fHeap.empty() ? static_cast<void*>(fLocal) : fHeap.data(); }

 private:
  alignas(16) unsigned char fLocal[64];
  std::vector<unsigned char> fHeap;
};

}  // namespace

// States retired on a thread inside a defer scope, finalized at its end.
// The list exists only while it holds states: no thread-exit destructor.
using TPasMPRetiredStates =
    std::vector<std::pair<TPasMPThreadSafeHashTable*, TPasMPThreadSafeHashTableState*>>;
static constinit thread_local int tDeferDepth = 0;
static constinit thread_local TPasMPRetiredStates* tRetired = nullptr;

TPasMPThreadSafeHashTable::TDeferScope::TDeferScope() noexcept { ++tDeferDepth; }

TPasMPThreadSafeHashTable::TDeferScope::~TDeferScope() {
  if (--tDeferDepth > 0) return;
  while (tRetired) {
    auto [table, state] = tRetired->back();
    tRetired->pop_back();
    if (tRetired->empty()) {
      delete tRetired;
      tRetired = nullptr;
    }
    table->FinalizeState(state);
  }
}

TPasMPThreadSafeHashTable::TPasMPThreadSafeHashTable(size_t KeySize, size_t ValueSize)
    : fKeySize(KeySize),
      fItemSize(KeySize + ValueSize),
      fInternalItemSize((fItemSize + 16 + PasMPCacheLineSize - 1) & ~(PasMPCacheLineSize - 1)),
      fGrowLoadFactor(97),
      fVersion(0) {
  size_t Want = 4096 / fInternalItemSize;
  if (Want < 16) Want = 16;
  uint32_t Log = 0;
  while ((size_t{1} << Log) < Want) ++Log;
  fFirstState = NewState(Log, 0);
  fLastState.store(fFirstState, std::memory_order_release);
}

TPasMPThreadSafeHashTable::~TPasMPThreadSafeHashTable() { DestroyStates(); }

void TPasMPThreadSafeHashTable::DestroyStates() {
  while (TState* S = fFirstState) {
    fFirstState = S->Next;
    FinalizeState(S);
  }
  fLastState.store(nullptr, std::memory_order_relaxed);
}

TPasMPThreadSafeHashTableState* TPasMPThreadSafeHashTable::NewState(uint32_t LogSize,
                                                                   uint32_t Version) {
  auto S = std::make_unique<TState>();
  S->Version = Version;
  S->LogSize = LogSize;
  S->Size = 1u << LogSize;
  S->Mask = S->Size - 1;
  size_t Bytes = size_t{S->Size} * fInternalItemSize;
  S->Items = static_cast<unsigned char*>(::operator new(Bytes, std::align_val_t{PasMPCacheLineSize}));
  std::memset(S->Items, 0, Bytes);
  for (uint32_t I = 0; I < S->Size; ++I) new (Slot(S.get(), I)) TSlotHeader{{0}, {SlotEmpty}, {0}, {0}};
  return S.release();
}

unsigned char* TPasMPThreadSafeHashTable::Slot(const TState* State, uint32_t Index) const noexcept {
  return State->Items + size_t{Index} * fInternalItemSize;
}

uint32_t TPasMPThreadSafeHashTable::GrowLimit(const TState* State) const noexcept {
  return static_cast<uint32_t>((uint64_t{State->Size} * fGrowLoadFactor) >> 7);
}

TPasMPThreadSafeHashTableState* TPasMPThreadSafeHashTable::AcquireState() {
  // Nesting happens only through item operations, which do not re-enter.
  if (tDepth >= THazardRecord::Depth) std::abort();
  if (tDepth == 0) tRecord = ClaimRecord();
  std::atomic<const void*>& Slot = tRecord->Slots[tDepth++];
  TState* S = fLastState.load(std::memory_order_seq_cst);
  for (;;) {
    // Published before it is checked again: a reclaimer that unlinked the
    // state first sees the slot, or this thread sees the new state.
    Slot.store(S, std::memory_order_seq_cst);
    TState* Again = fLastState.load(std::memory_order_seq_cst);
    if (Again == S) return S;
    S = Again;
  }
}

void TPasMPThreadSafeHashTable::ReleaseState(TState* State) {
  tRecord->Slots[--tDepth].store(nullptr, std::memory_order_release);
  if (tDepth == 0) {
    tRecord->InUse.store(false, std::memory_order_release);
    tRecord = nullptr;
  }
  if (fRetired.load(std::memory_order_seq_cst) > 0) Reclaim();
}

void TPasMPThreadSafeHashTable::Reclaim() {
  TState* Gone = nullptr;
  {
    std::lock_guard<TPasMPMultipleReaderSingleWriterSpinLock> Lock(fLock);
    TState* Current = fLastState.load(std::memory_order_relaxed);
    for (TState* S = fFirstState; S && S != Current;) {
      TState* Next = S->Next;
      if (!Hazarded(S)) {
        if (S->Previous) S->Previous->Next = S->Next; else fFirstState = S->Next;
        S->Next->Previous = S->Previous;
        fRetired.fetch_sub(1, std::memory_order_relaxed);
        S->Next = Gone;
        Gone = S;
      }
      S = Next;
    }
  }
  // Finalizing releases values, which may come back into this table.
  while (TState* S = Gone) {
    Gone = S->Next;
    if (tDeferDepth > 0) {
      if (!tRetired) tRetired = new TPasMPRetiredStates;
      tRetired->emplace_back(this, S);
    } else {
      FinalizeState(S);
    }
  }
}

void TPasMPThreadSafeHashTable::FinalizeState(TState* State) {
  for (uint32_t I = 0; I < State->Size; ++I) {
    unsigned char* Cell = Slot(State, I);
    if (Header(Cell).State.load(std::memory_order_acquire) == SlotUsed) FinalizeItem(ItemOf(Cell));
  }
  ::operator delete(State->Items, std::align_val_t{PasMPCacheLineSize});
  delete State;
}

uint32_t TPasMPThreadSafeHashTable::Size() {
  TState* S = AcquireState();
  uint32_t N = S->Size;
  ReleaseState(S);
  return N;
}

uint32_t TPasMPThreadSafeHashTable::Count() {
  TState* S = AcquireState();
  uint32_t N = S->Count.load(std::memory_order_relaxed);
  ReleaseState(S);
  return N;
}

template <class F>
bool TPasMPThreadSafeHashTable::WalkUsed(TState* State, uint32_t Hash, F Visit) {
  TProbe P(Hash, State->LogSize, State->Mask);
  do {
    unsigned char* Cell = Slot(State, P.Index);
    TSlotHeader& Hd = Header(Cell);
    int32_t St = Hd.State.load(std::memory_order_acquire);
    if (St == SlotEmpty) return false;
    if (St == SlotUsed && Hd.Hash.load(std::memory_order_relaxed) == Hash && Visit(Cell))
      return true;
  } while (P.Next());
  return false;
}

bool TPasMPThreadSafeHashTable::GetKeyValueRaw(const void* Key, void* Value, bool Counted) {
  if (fOptimisticReads && (!Counted || fPlainValues)) return PeekKeyValueRaw(Key, Value);
  uint32_t H = HashKey(Key);
  TState* S = AcquireState();
  bool Found = WalkUsed(S, H, [&](unsigned char* Slot) {
    TSlotHeader& Hd = Header(Slot);
    bool Match = false;
    PasMPAcquireRead(Hd.Lock);
    if (Hd.State.load(std::memory_order_relaxed) == SlotUsed &&
        Hd.Hash.load(std::memory_order_relaxed) == H && CompareKey(Key, ItemOf(Slot))) {
      Match = true;
      if (Value && Counted) {
        GetValue(ItemOf(Slot), Value);
      } else if (Value) {
        std::memcpy(Value, static_cast<unsigned char*>(ItemOf(Slot)) + fKeySize, fItemSize - fKeySize);
      }
    }
    PasMPReleaseRead(Hd.Lock);
    return Match;
  });
  ReleaseState(S);
  return Found;
}

// Reads the slot between two equal even values of its Seq, so that key and
// value are of one item; the walk's state and hash checks are repeated
// inside for the same reason.
bool TPasMPThreadSafeHashTable::PeekKeyValueRaw(const void* Key, void* Value) {
  uint32_t H = HashKey(Key);
  TState* S = AcquireState();
  bool Found = WalkUsed(S, H, [&](unsigned char* Slot) {
    TSlotHeader& Hd = Header(Slot);
    for (;;) {
      const uint32_t Before = Hd.Seq.load(std::memory_order_acquire);
      if (Before & 1) {
        TPasMP::Relax();
        continue;
      }
      bool Match = Hd.State.load(std::memory_order_acquire) == SlotUsed &&
                   Hd.Hash.load(std::memory_order_acquire) == H && PeekItem(Key, ItemOf(Slot), Value);
      if (Hd.Seq.load(std::memory_order_relaxed) == Before) return Match;
    }
  });
  ReleaseState(S);
  return Found;
}

TPasMPThreadSafeHashTable::TClaim TPasMPThreadSafeHashTable::ClaimSlot(
    TState* State, uint32_t Index, int32_t Expected, const void* Key, const void* Value,
    uint32_t Hash) {
  TSlotHeader& Hd = Header(Slot(State, Index));
  PasMPAcquireRead(Hd.Lock);
  if (Hd.State.load(std::memory_order_relaxed) != Expected) {
    PasMPReleaseRead(Hd.Lock);
    return TClaim::Taken;
  }
  PasMPReadToWrite(Hd.Lock);
  // The upgrade lets other upgraders in between: look again.
  if (Hd.State.load(std::memory_order_relaxed) != Expected) {
    PasMPReleaseWrite(Hd.Lock);
    return TClaim::Taken;
  }
  void* Item = ItemOf(Slot(State, Index));
  {
    TSlotChange Change(Hd);
    Hd.Hash.store(Hash, std::memory_order_release);
    InitializeItem(Item);
    SetKey(Item, Key);
    SetValue(Item, Value);
    Hd.State.store(SlotUsed, std::memory_order_release);
  }
  State->Count.fetch_add(1, std::memory_order_relaxed);
  if (Expected == SlotDeleted) State->Deleted.fetch_sub(1, std::memory_order_relaxed);
  PasMPWriteToRead(Hd.Lock);
  PasMPReleaseRead(Hd.Lock);
  return TClaim::Done;
}

bool TPasMPThreadSafeHashTable::ReplaceInSlot(TState* State, uint32_t Index, const void* Key,
                                              const void* Value, uint32_t Hash, void* Old) {
  unsigned char* Cell = Slot(State, Index);
  TSlotHeader& Hd = Header(Cell);
  PasMPAcquireRead(Hd.Lock);
  if (Hd.State.load(std::memory_order_relaxed) != SlotUsed ||
      Hd.Hash.load(std::memory_order_relaxed) != Hash || !CompareKey(Key, ItemOf(Cell))) {
    PasMPReleaseRead(Hd.Lock);
    return false;
  }
  PasMPReadToWrite(Hd.Lock);
  bool Same = Hd.State.load(std::memory_order_relaxed) == SlotUsed &&
              Hd.Hash.load(std::memory_order_relaxed) == Hash && CompareKey(Key, ItemOf(Cell));
  if (Same) {
    // The old item leaves as bytes; the caller finalizes it after the state
    // is released, since its release may re-enter.
    std::memcpy(Old, ItemOf(Cell), fItemSize);
    TSlotChange Change(Hd);
    InitializeItem(ItemOf(Cell));
    SetKey(ItemOf(Cell), Key);
    SetValue(ItemOf(Cell), Value);
  }
  PasMPReleaseWrite(Hd.Lock);
  return Same;
}

bool TPasMPThreadSafeHashTable::InsertIntoState(TState* State, const void* Key, const void* Value,
                                                uint32_t Hash, void* Old, bool& Replaced) {
  int64_t LastDeleted = -1;
  TProbe P(Hash, State->LogSize, State->Mask);
  do {
    TSlotHeader& Hd = Header(Slot(State, P.Index));
    int32_t St = Hd.State.load(std::memory_order_acquire);
    if (St == SlotDeleted) {
      LastDeleted = P.Index;
      continue;
    }
    if (St == SlotEmpty) {
      if (ClaimSlot(State, P.Index, SlotEmpty, Key, Value, Hash) == TClaim::Done) return true;
      St = Hd.State.load(std::memory_order_acquire);
    }
    if (St == SlotUsed && Hd.Hash.load(std::memory_order_relaxed) == Hash &&
        ReplaceInSlot(State, P.Index, Key, Value, Hash, Old)) {
      Replaced = true;
      return true;
    }
  } while (P.Next());
  if (LastDeleted >= 0 &&
      ClaimSlot(State, static_cast<uint32_t>(LastDeleted), SlotDeleted, Key, Value, Hash) == TClaim::Done)
    return true;
  TProbe Again(Hash, State->LogSize, State->Mask);
  do {
    TSlotHeader& Hd = Header(Slot(State, Again.Index));
    if (Hd.State.load(std::memory_order_acquire) == SlotDeleted &&
        ClaimSlot(State, Again.Index, SlotDeleted, Key, Value, Hash) == TClaim::Done)
      return true;
  } while (Again.Next());
  return false;
}

bool TPasMPThreadSafeHashTable::SetKeyValueRaw(const void* Key, const void* Value) {
  uint32_t H = HashKey(Key);
  for (;;) {
    TState* S = AcquireState();
    uint32_t Version = S->Version;
    uint32_t Used = S->Count.load(std::memory_order_relaxed) + S->Deleted.load(std::memory_order_relaxed);
    TItemBuffer Old(fItemSize);
    bool Replaced = false;
    bool Done = Used < GrowLimit(S) && InsertIntoState(S, Key, Value, H, Old.Data(), Replaced);
    ReleaseState(S);
    if (Replaced) FinalizeItem(Old.Data());
    if (!Done) {
      Grow();
      continue;
    }
    if (fVersion.load(std::memory_order_seq_cst) == Version) return true;
  }
}

// The state is given back after the resize lock: giving it back may
// finalize retired states, whose items may come back into this table.
void TPasMPThreadSafeHashTable::Grow() {
  TState* Old;
  {
    std::lock_guard<TPasMPMultipleReaderSingleWriterSpinLock> Resize(fResizeLock);
    Old = AcquireState();
    try {
      Replace(Old);
    } catch (...) {
      ReleaseState(Old);
      throw;
    }
  }
  ReleaseState(Old);
}

// The new state is allocated before anything changes, so that an
// allocation that fails leaves the table as it was.
void TPasMPThreadSafeHashTable::Replace(TState* Old) {
  const uint32_t Limit = GrowLimit(Old);
  const uint32_t Count = Old->Count.load(std::memory_order_relaxed);
  if (Count + Old->Deleted.load(std::memory_order_relaxed) < Limit) return;
  // Below the limit only deleted slots crowd the state: rebuild it at the
  // same size, which drops them.
  TState* S = NewState(Count >= Limit ? Old->LogSize + 1 : Old->LogSize, Old->Version + 1);
  fVersion.store(Old->Version + 1, std::memory_order_seq_cst);
  std::lock_guard<TPasMPMultipleReaderSingleWriterSpinLock> Lock(fLock);
  uint32_t Copied = 0;
  for (uint32_t I = 0; I < Old->Size; ++I) {
    unsigned char* From = Slot(Old, I);
    TSlotHeader& Hd = Header(From);
    PasMPAcquireRead(Hd.Lock);
    if (Hd.State.load(std::memory_order_relaxed) == SlotUsed) {
      uint32_t H = Hd.Hash.load(std::memory_order_relaxed);
      TProbe P(H, S->LogSize, S->Mask);
      while (Header(Slot(S, P.Index)).State.load(std::memory_order_relaxed) != SlotEmpty) P.Next();
      unsigned char* To = Slot(S, P.Index);
      Header(To).Hash.store(H, std::memory_order_relaxed);
      InitializeItem(ItemOf(To));
      CopyItem(ItemOf(From), ItemOf(To));
      Header(To).State.store(SlotUsed, std::memory_order_relaxed);
      ++Copied;
    }
    PasMPReleaseRead(Hd.Lock);
  }
  S->Count.store(Copied, std::memory_order_relaxed);
  S->Previous = Old;
  Old->Next = S;
  fLastState.store(S, std::memory_order_seq_cst);
  // No longer current; retired when its last user leaves.
  fRetired.fetch_add(1, std::memory_order_seq_cst);
}

bool TPasMPThreadSafeHashTable::DeleteKeyRaw(const void* Key, TItemSink Sink, void* Ctx) {
  uint32_t H = HashKey(Key);
  bool Any = false;
  for (;;) {
    TState* S = AcquireState();
    uint32_t Version = S->Version;
    TItemBuffer Gone(fItemSize);
    bool Found = WalkUsed(S, H, [&](unsigned char* Slot) {
      TSlotHeader& Hd = Header(Slot);
      bool Match = false;
      PasMPAcquireRead(Hd.Lock);
      if (Hd.State.load(std::memory_order_relaxed) == SlotUsed && CompareKey(Key, ItemOf(Slot))) {
        PasMPReadToWrite(Hd.Lock);
        if (Hd.State.load(std::memory_order_relaxed) == SlotUsed && CompareKey(Key, ItemOf(Slot))) {
          // The item leaves the slot as bytes; it is finalized after the lock.
          std::memcpy(Gone.Data(), ItemOf(Slot), fItemSize);
          TSlotChange Change(Hd);
          Hd.State.store(SlotDeleted, std::memory_order_release);
          S->Count.fetch_sub(1, std::memory_order_relaxed);
          S->Deleted.fetch_add(1, std::memory_order_relaxed);
          Match = true;
        }
        PasMPReleaseWrite(Hd.Lock);
      } else {
        PasMPReleaseRead(Hd.Lock);
      }
      return Match;
    });
    ReleaseState(S);
    if (Found) {
      Any = true;
      Sink(this, Ctx, Gone.Data());
    }
    if (fVersion.load(std::memory_order_seq_cst) == Version) return Any;
  }
}

}  // namespace green
