#include "platform/posix/KernelObject.h"

#include <unistd.h>

#include <atomic>
#include <bit>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/Error.h"
#include "platform/posix/PendingIo.h"

namespace green::os {

static_assert(sizeof(Handle) == 8, "a handle holds a 32-bit slot and a 32-bit generation");

namespace {

// A slot's lock is held only to copy or swap its reference: one word, so
// that slots stay small and lookups of different handles never contend.
class SlotLock {
 public:
  void lock() {
    while (FHeld.exchange(true, std::memory_order_acquire))
      while (FHeld.load(std::memory_order_relaxed)) {
      }
  }
  void unlock() { FHeld.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> FHeld{false};
};

struct Slot {
  SlotLock Lock;
  uint32_t Generation = 1;  // guarded by Lock; never 0, so no handle is 0
  ObjectRef Object;
};

// Slots live in chunks that are never freed or moved, so a lookup needs no
// table-wide lock: only the growth and the free list take one. Chunk k
// holds kFirstChunk << k slots: a process with a few handles touches one
// small chunk (a 4096-slot first chunk was a tenth of the launcher's page
// faults), and sixteen chunks hold about four million.
class HandleTable {
 public:
  static constexpr uint32_t kFirstChunk = 64;
  static constexpr uint32_t kMaxChunks = 16;
  static constexpr uint32_t kCapacity = kFirstChunk * ((1u << kMaxChunks) - 1);

  Handle Add(ObjectRef Object) {
    uint32_t Index;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      if (!TakeFreeIndex(Index)) return kNoHandle;
    }
    Slot& S = SlotAt(Index);
    std::lock_guard<SlotLock> Guard(S.Lock);
    S.Object = std::move(Object);
    return Encode(Index, S.Generation);
  }

  ObjectRef Find(Handle H) {
    Slot* S = Lookup(H);
    if (!S) return nullptr;
    std::lock_guard<SlotLock> Guard(S->Lock);
    return S->Generation == GenerationOf(H) ? S->Object : nullptr;
  }

  ObjectRef Remove(Handle H) {
    Slot* S = Lookup(H);
    if (!S) return nullptr;
    ObjectRef Object;
    {
      std::lock_guard<SlotLock> Guard(S->Lock);
      if (S->Generation != GenerationOf(H) || !S->Object) return nullptr;
      Object = std::move(S->Object);
      S->Object = nullptr;
      if (++S->Generation == 0) S->Generation = 1;
    }
    std::lock_guard<std::mutex> Guard(FLock);
    FFree.push_back(IndexOf(H));
    return Object;
  }

 private:
  static Handle Encode(uint32_t Index, uint32_t Generation) {
    return (Handle{Generation} << 32) | (Handle{Index} + 1);
  }
  static uint32_t GenerationOf(Handle H) { return static_cast<uint32_t>(H >> 32); }
  static uint32_t IndexOf(Handle H) { return static_cast<uint32_t>(H) - 1; }

  static uint32_t ChunkOf(uint32_t Index) {
    return static_cast<uint32_t>(std::bit_width(Index + kFirstChunk) - std::bit_width(kFirstChunk));
  }
  static uint32_t OffsetIn(uint32_t Index, uint32_t Chunk) {
    return Index + kFirstChunk - (kFirstChunk << Chunk);
  }

  Slot& SlotAt(uint32_t Index) {
    const uint32_t Chunk = ChunkOf(Index);
    return FChunks[Chunk].load(std::memory_order_acquire)[OffsetIn(Index, Chunk)];
  }

  Slot* Lookup(Handle H) {
    if (static_cast<uint32_t>(H) == 0) return nullptr;
    const uint32_t Index = IndexOf(H);
    if (Index >= kCapacity) return nullptr;
    const uint32_t Chunk = ChunkOf(Index);
    Slot* Slots = FChunks[Chunk].load(std::memory_order_acquire);
    return Slots ? &Slots[OffsetIn(Index, Chunk)] : nullptr;
  }

  // Under FLock. Freed slots are reused oldest first, which keeps a closed
  // handle's slot empty for as long as possible.
  bool TakeFreeIndex(uint32_t& Index) {
    if (FFreeHead < FFree.size()) {
      Index = FFree[FFreeHead++];
      if (FFreeHead == FFree.size()) {
        FFree.clear();
        FFreeHead = 0;
      }
      return true;
    }
    if (FUsed == kCapacity) return false;
    const uint32_t Chunk = ChunkOf(FUsed);
    if (OffsetIn(FUsed, Chunk) == 0)
      FChunks[Chunk].store(new Slot[kFirstChunk << Chunk], std::memory_order_release);
    Index = FUsed++;
    return true;
  }

  std::mutex FLock;
  std::atomic<Slot*> FChunks[kMaxChunks] = {};
  uint32_t FUsed = 0;  // slots ever handed out
  std::vector<uint32_t> FFree;
  size_t FFreeHead = 0;
};

HandleTable& Table() {
  static HandleTable* T = new HandleTable;  // outlives every thread's last close
  return *T;
}

ObjectRef InvalidHandle() {
  SetLastError(kErrorInvalidHandle);
  return nullptr;
}

}  // namespace

KernelObject::~KernelObject() {
  if (Fd >= 0) close(Fd);
}

bool KernelObject::AcquireSignal() {
  if (ManualReset) return true;
  uint64_t Count;
  // A nonblocking read takes the whole count: one wait per signal, however
  // often it was set.
  return read(Fd, &Count, sizeof Count) == sizeof Count;
}

Handle AddObject(ObjectRef Object) {
  Handle H = Table().Add(std::move(Object));
  if (H == kNoHandle) SetLastError(kErrorNotEnoughMemory);
  return H;
}

ObjectRef ObjectOf(Handle H) {
  ObjectRef Object = Table().Find(H);
  return Object ? Object : InvalidHandle();
}

ObjectRef ObjectOf(Handle H, ObjectKind Kind) {
  ObjectRef Object = Table().Find(H);
  return Object && Object->Kind == Kind ? Object : InvalidHandle();
}

bool CloseHandle(Handle H) {
  ObjectRef Object = Table().Remove(H);
  if (!Object) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  Object->HandleClosed.store(true);
  Object->Closed();
  // Seen together with the flag by a start on another thread (both seq_cst):
  // either that start sees the close, or this sees its operation.
  if (Object->IoInFlight.load() > 0) AbortIoOf(*Object);
  return true;
}

}  // namespace green::os
