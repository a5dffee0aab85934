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

bool Claim(THazardRecord* r) {
  bool free = false;
  return r->InUse.compare_exchange_strong(free, true, std::memory_order_acquire);
}

THazardRecord* TakeRecord() {
  for (THazardRecord* r = gHazards.load(std::memory_order_acquire); r; r = r->Next)
    if (Claim(r)) return r;
  auto* r = new THazardRecord;
  r->Next = gHazards.load(std::memory_order_relaxed);
  while (!gHazards.compare_exchange_weak(r->Next, r, std::memory_order_release)) {
  }
  return r;
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
  for (THazardRecord* r = gHazards.load(std::memory_order_acquire); r; r = r->Next) {
    for (auto& slot : r->Slots) {
      if (slot.load(std::memory_order_seq_cst) == State) return true;
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
  size_t want = 4096 / fInternalItemSize;
  if (want < 16) want = 16;
  uint32_t log = 0;
  while ((size_t{1} << log) < want) ++log;
  fFirstState = NewState(log, 0);
  fLastState.store(fFirstState, std::memory_order_release);
}

TPasMPThreadSafeHashTable::~TPasMPThreadSafeHashTable() { DestroyStates(); }

void TPasMPThreadSafeHashTable::DestroyStates() {
  while (TState* s = fFirstState) {
    fFirstState = s->Next;
    FinalizeState(s);
  }
  fLastState.store(nullptr, std::memory_order_relaxed);
}

TPasMPThreadSafeHashTableState* TPasMPThreadSafeHashTable::NewState(uint32_t LogSize,
                                                                   uint32_t Version) {
  auto s = std::make_unique<TState>();
  s->Version = Version;
  s->LogSize = LogSize;
  s->Size = 1u << LogSize;
  s->Mask = s->Size - 1;
  size_t bytes = size_t{s->Size} * fInternalItemSize;
  s->Items = static_cast<unsigned char*>(::operator new(bytes, std::align_val_t{PasMPCacheLineSize}));
  std::memset(s->Items, 0, bytes);
  for (uint32_t i = 0; i < s->Size; ++i) new (Slot(s.get(), i)) TSlotHeader{{0}, {SlotEmpty}, {0}, {0}};
  return s.release();
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
  std::atomic<const void*>& slot = tRecord->Slots[tDepth++];
  TState* s = fLastState.load(std::memory_order_seq_cst);
  for (;;) {
    // Published before it is checked again: a reclaimer that unlinked the
    // state first sees the slot, or this thread sees the new state.
    slot.store(s, std::memory_order_seq_cst);
    TState* again = fLastState.load(std::memory_order_seq_cst);
    if (again == s) return s;
    s = again;
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
  TState* gone = nullptr;
  {
    std::lock_guard<TPasMPMultipleReaderSingleWriterSpinLock> lock(fLock);
    TState* current = fLastState.load(std::memory_order_relaxed);
    for (TState* s = fFirstState; s && s != current;) {
      TState* next = s->Next;
      if (!Hazarded(s)) {
        if (s->Previous) s->Previous->Next = s->Next; else fFirstState = s->Next;
        s->Next->Previous = s->Previous;
        fRetired.fetch_sub(1, std::memory_order_relaxed);
        s->Next = gone;
        gone = s;
      }
      s = next;
    }
  }
  // Finalizing releases values, which may come back into this table.
  while (TState* s = gone) {
    gone = s->Next;
    if (tDeferDepth > 0) {
      if (!tRetired) tRetired = new TPasMPRetiredStates;
      tRetired->emplace_back(this, s);
    } else {
      FinalizeState(s);
    }
  }
}

void TPasMPThreadSafeHashTable::FinalizeState(TState* State) {
  for (uint32_t i = 0; i < State->Size; ++i) {
    unsigned char* slot = Slot(State, i);
    if (Header(slot).State.load(std::memory_order_acquire) == SlotUsed) FinalizeItem(ItemOf(slot));
  }
  ::operator delete(State->Items, std::align_val_t{PasMPCacheLineSize});
  delete State;
}

uint32_t TPasMPThreadSafeHashTable::Size() {
  TState* s = AcquireState();
  uint32_t n = s->Size;
  ReleaseState(s);
  return n;
}

uint32_t TPasMPThreadSafeHashTable::Count() {
  TState* s = AcquireState();
  uint32_t n = s->Count.load(std::memory_order_relaxed);
  ReleaseState(s);
  return n;
}

template <class F>
bool TPasMPThreadSafeHashTable::WalkUsed(TState* State, uint32_t Hash, F Visit) {
  TProbe p(Hash, State->LogSize, State->Mask);
  do {
    unsigned char* slot = Slot(State, p.Index);
    TSlotHeader& hd = Header(slot);
    int32_t st = hd.State.load(std::memory_order_acquire);
    if (st == SlotEmpty) return false;
    if (st == SlotUsed && hd.Hash.load(std::memory_order_relaxed) == Hash && Visit(slot))
      return true;
  } while (p.Next());
  return false;
}

bool TPasMPThreadSafeHashTable::GetKeyValueRaw(const void* Key, void* Value, bool Counted) {
  if (fOptimisticReads && (!Counted || fPlainValues)) return PeekKeyValueRaw(Key, Value);
  uint32_t h = HashKey(Key);
  TState* s = AcquireState();
  bool found = WalkUsed(s, h, [&](unsigned char* slot) {
    TSlotHeader& hd = Header(slot);
    bool match = false;
    PasMPAcquireRead(hd.Lock);
    if (hd.State.load(std::memory_order_relaxed) == SlotUsed &&
        hd.Hash.load(std::memory_order_relaxed) == h && CompareKey(Key, ItemOf(slot))) {
      match = true;
      if (Value && Counted) {
        GetValue(ItemOf(slot), Value);
      } else if (Value) {
        std::memcpy(Value, static_cast<unsigned char*>(ItemOf(slot)) + fKeySize, fItemSize - fKeySize);
      }
    }
    PasMPReleaseRead(hd.Lock);
    return match;
  });
  ReleaseState(s);
  return found;
}

// Reads the slot between two equal even values of its Seq, so that key and
// value are of one item; the walk's state and hash checks are repeated
// inside for the same reason.
bool TPasMPThreadSafeHashTable::PeekKeyValueRaw(const void* Key, void* Value) {
  uint32_t h = HashKey(Key);
  TState* s = AcquireState();
  bool found = WalkUsed(s, h, [&](unsigned char* slot) {
    TSlotHeader& hd = Header(slot);
    for (;;) {
      const uint32_t before = hd.Seq.load(std::memory_order_acquire);
      if (before & 1) {
        TPasMP::Relax();
        continue;
      }
      bool match = hd.State.load(std::memory_order_acquire) == SlotUsed &&
                   hd.Hash.load(std::memory_order_acquire) == h && PeekItem(Key, ItemOf(slot), Value);
      if (hd.Seq.load(std::memory_order_relaxed) == before) return match;
    }
  });
  ReleaseState(s);
  return found;
}

TPasMPThreadSafeHashTable::TClaim TPasMPThreadSafeHashTable::ClaimSlot(
    TState* State, uint32_t Index, int32_t Expected, const void* Key, const void* Value,
    uint32_t Hash) {
  TSlotHeader& hd = Header(Slot(State, Index));
  PasMPAcquireRead(hd.Lock);
  if (hd.State.load(std::memory_order_relaxed) != Expected) {
    PasMPReleaseRead(hd.Lock);
    return TClaim::Taken;
  }
  PasMPReadToWrite(hd.Lock);
  // The upgrade lets other upgraders in between: look again.
  if (hd.State.load(std::memory_order_relaxed) != Expected) {
    PasMPReleaseWrite(hd.Lock);
    return TClaim::Taken;
  }
  void* item = ItemOf(Slot(State, Index));
  {
    TSlotChange change(hd);
    hd.Hash.store(Hash, std::memory_order_release);
    InitializeItem(item);
    SetKey(item, Key);
    SetValue(item, Value);
    hd.State.store(SlotUsed, std::memory_order_release);
  }
  State->Count.fetch_add(1, std::memory_order_relaxed);
  if (Expected == SlotDeleted) State->Deleted.fetch_sub(1, std::memory_order_relaxed);
  PasMPWriteToRead(hd.Lock);
  PasMPReleaseRead(hd.Lock);
  return TClaim::Done;
}

bool TPasMPThreadSafeHashTable::ReplaceInSlot(TState* State, uint32_t Index, const void* Key,
                                              const void* Value, uint32_t Hash, void* Old) {
  unsigned char* slot = Slot(State, Index);
  TSlotHeader& hd = Header(slot);
  PasMPAcquireRead(hd.Lock);
  if (hd.State.load(std::memory_order_relaxed) != SlotUsed ||
      hd.Hash.load(std::memory_order_relaxed) != Hash || !CompareKey(Key, ItemOf(slot))) {
    PasMPReleaseRead(hd.Lock);
    return false;
  }
  PasMPReadToWrite(hd.Lock);
  bool same = hd.State.load(std::memory_order_relaxed) == SlotUsed &&
              hd.Hash.load(std::memory_order_relaxed) == Hash && CompareKey(Key, ItemOf(slot));
  if (same) {
    // The old item leaves as bytes; the caller finalizes it after the state
    // is released, since its release may re-enter.
    std::memcpy(Old, ItemOf(slot), fItemSize);
    TSlotChange change(hd);
    InitializeItem(ItemOf(slot));
    SetKey(ItemOf(slot), Key);
    SetValue(ItemOf(slot), Value);
  }
  PasMPReleaseWrite(hd.Lock);
  return same;
}

bool TPasMPThreadSafeHashTable::InsertIntoState(TState* State, const void* Key, const void* Value,
                                                uint32_t Hash, void* Old, bool& Replaced) {
  int64_t lastDeleted = -1;
  TProbe p(Hash, State->LogSize, State->Mask);
  do {
    TSlotHeader& hd = Header(Slot(State, p.Index));
    int32_t st = hd.State.load(std::memory_order_acquire);
    if (st == SlotDeleted) {
      lastDeleted = p.Index;
      continue;
    }
    if (st == SlotEmpty) {
      if (ClaimSlot(State, p.Index, SlotEmpty, Key, Value, Hash) == TClaim::Done) return true;
      st = hd.State.load(std::memory_order_acquire);
    }
    if (st == SlotUsed && hd.Hash.load(std::memory_order_relaxed) == Hash &&
        ReplaceInSlot(State, p.Index, Key, Value, Hash, Old)) {
      Replaced = true;
      return true;
    }
  } while (p.Next());
  if (lastDeleted >= 0 &&
      ClaimSlot(State, static_cast<uint32_t>(lastDeleted), SlotDeleted, Key, Value, Hash) == TClaim::Done)
    return true;
  TProbe again(Hash, State->LogSize, State->Mask);
  do {
    TSlotHeader& hd = Header(Slot(State, again.Index));
    if (hd.State.load(std::memory_order_acquire) == SlotDeleted &&
        ClaimSlot(State, again.Index, SlotDeleted, Key, Value, Hash) == TClaim::Done)
      return true;
  } while (again.Next());
  return false;
}

bool TPasMPThreadSafeHashTable::SetKeyValueRaw(const void* Key, const void* Value) {
  uint32_t h = HashKey(Key);
  for (;;) {
    TState* s = AcquireState();
    uint32_t version = s->Version;
    uint32_t used = s->Count.load(std::memory_order_relaxed) + s->Deleted.load(std::memory_order_relaxed);
    TItemBuffer old(fItemSize);
    bool replaced = false;
    bool done = used < GrowLimit(s) && InsertIntoState(s, Key, Value, h, old.Data(), replaced);
    ReleaseState(s);
    if (replaced) FinalizeItem(old.Data());
    if (!done) {
      Grow();
      continue;
    }
    if (fVersion.load(std::memory_order_seq_cst) == version) return true;
  }
}

// The state is given back after the resize lock: giving it back may
// finalize retired states, whose items may come back into this table.
void TPasMPThreadSafeHashTable::Grow() {
  TState* old;
  {
    std::lock_guard<TPasMPMultipleReaderSingleWriterSpinLock> resize(fResizeLock);
    old = AcquireState();
    try {
      Replace(old);
    } catch (...) {
      ReleaseState(old);
      throw;
    }
  }
  ReleaseState(old);
}

// The new state is allocated before anything changes, so that an
// allocation that fails leaves the table as it was.
void TPasMPThreadSafeHashTable::Replace(TState* Old) {
  const uint32_t limit = GrowLimit(Old);
  const uint32_t count = Old->Count.load(std::memory_order_relaxed);
  if (count + Old->Deleted.load(std::memory_order_relaxed) < limit) return;
  // Below the limit only deleted slots crowd the state: rebuild it at the
  // same size, which drops them.
  TState* s = NewState(count >= limit ? Old->LogSize + 1 : Old->LogSize, Old->Version + 1);
  fVersion.store(Old->Version + 1, std::memory_order_seq_cst);
  std::lock_guard<TPasMPMultipleReaderSingleWriterSpinLock> lock(fLock);
  uint32_t copied = 0;
  for (uint32_t i = 0; i < Old->Size; ++i) {
    unsigned char* from = Slot(Old, i);
    TSlotHeader& hd = Header(from);
    PasMPAcquireRead(hd.Lock);
    if (hd.State.load(std::memory_order_relaxed) == SlotUsed) {
      uint32_t h = hd.Hash.load(std::memory_order_relaxed);
      TProbe p(h, s->LogSize, s->Mask);
      while (Header(Slot(s, p.Index)).State.load(std::memory_order_relaxed) != SlotEmpty) p.Next();
      unsigned char* to = Slot(s, p.Index);
      Header(to).Hash.store(h, std::memory_order_relaxed);
      InitializeItem(ItemOf(to));
      CopyItem(ItemOf(from), ItemOf(to));
      Header(to).State.store(SlotUsed, std::memory_order_relaxed);
      ++copied;
    }
    PasMPReleaseRead(hd.Lock);
  }
  s->Count.store(copied, std::memory_order_relaxed);
  s->Previous = Old;
  Old->Next = s;
  fLastState.store(s, std::memory_order_seq_cst);
  // No longer current; retired when its last user leaves.
  fRetired.fetch_add(1, std::memory_order_seq_cst);
}

bool TPasMPThreadSafeHashTable::DeleteKeyRaw(const void* Key, TItemSink Sink, void* Ctx) {
  uint32_t h = HashKey(Key);
  bool any = false;
  for (;;) {
    TState* s = AcquireState();
    uint32_t version = s->Version;
    TItemBuffer gone(fItemSize);
    bool found = WalkUsed(s, h, [&](unsigned char* slot) {
      TSlotHeader& hd = Header(slot);
      bool match = false;
      PasMPAcquireRead(hd.Lock);
      if (hd.State.load(std::memory_order_relaxed) == SlotUsed && CompareKey(Key, ItemOf(slot))) {
        PasMPReadToWrite(hd.Lock);
        if (hd.State.load(std::memory_order_relaxed) == SlotUsed && CompareKey(Key, ItemOf(slot))) {
          // The item leaves the slot as bytes; it is finalized after the lock.
          std::memcpy(gone.Data(), ItemOf(slot), fItemSize);
          TSlotChange change(hd);
          hd.State.store(SlotDeleted, std::memory_order_release);
          s->Count.fetch_sub(1, std::memory_order_relaxed);
          s->Deleted.fetch_add(1, std::memory_order_relaxed);
          match = true;
        }
        PasMPReleaseWrite(hd.Lock);
      } else {
        PasMPReleaseRead(hd.Lock);
      }
      return match;
    });
    ReleaseState(s);
    if (found) {
      any = true;
      Sink(this, Ctx, gone.Data());
    }
    if (fVersion.load(std::memory_order_seq_cst) == version) return any;
  }
}

}  // namespace green
