// The concurrent hash table under the garbage collector. Lookups of items
// made of atomic words take no lock, others a slot's read lock; inserts and
// deletes lock one slot; a grow replaces the table's state, and a replaced
// state is freed once no thread uses it. Memory shared between threads
// sits on its own 64-byte cache line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "base/Object.h"
#include "base/RefCounted.h"
#include "gc/PasMPSpinLock.h"

namespace green {

struct TPasMPThreadSafeHashTableState;

// The untyped table: items are raw bytes (key followed by value) handled
// through the virtual item operations below.
class TPasMPThreadSafeHashTable : public TObject {
 public:
  TPasMPThreadSafeHashTable(size_t KeySize, size_t ValueSize);
  ~TPasMPThreadSafeHashTable() override;
  TPasMPThreadSafeHashTable(const TPasMPThreadSafeHashTable&) = delete;
  TPasMPThreadSafeHashTable& operator=(const TPasMPThreadSafeHashTable&) = delete;

  double GrowLoadFactor() const noexcept { return fGrowLoadFactor / 128.0; }
  // Slots and used slots of the current state (a snapshot).
  uint32_t Size();
  uint32_t Count();

  // While a scope is active on a thread, states that thread retires are
  // finalized when its outermost scope ends: a caller holding a lock of its
  // own that item finalization may need again uses it.
  class TDeferScope {
   public:
    TDeferScope() noexcept;
    ~TDeferScope();
    TDeferScope(const TDeferScope&) = delete;
    TDeferScope& operator=(const TDeferScope&) = delete;
  };

 protected:
  virtual void InitializeItem(void* Item) {}
  virtual void FinalizeItem(void* Item) {}
  virtual void CopyItem(const void* Source, void* Target) {}
  virtual void GetKey(const void* Item, void* Key) {}
  virtual void SetKey(void* Item, const void* Key) {}
  virtual void GetValue(const void* Item, void* Value) {}
  virtual void SetValue(void* Item, const void* Value) {}
  virtual uint32_t HashKey(const void* Key) { return 0; }
  virtual bool CompareKey(const void* A, const void* B) { return false; }
  // With optimistic reads: whether the live item Item has key Key, copying
  // its stored value to Value (when not nullptr) as bytes. Item may change
  // meanwhile; the caller checks afterwards and asks again.
  virtual bool PeekItem(const void* Key, const void* Item, void* Value) { return false; }

  bool GetKeyValueRaw(const void* Key, void* Value, bool Counted);
  // Set by a typed table whose items are read and written as atomic words:
  // lookups that take no count then read slots without locking them.
  // fPlainValues: a counted copy of a value is a copy of its bytes.
  bool fOptimisticReads = false;
  bool fPlainValues = false;
  bool SetKeyValueRaw(const void* Key, const void* Value);
  // Removes Key; each removed item is handed to Sink after the slot's lock
  // was released (a grow may leave it in two states).
  using TItemSink = void (*)(TPasMPThreadSafeHashTable* Table, void* Ctx, void* Item);
  bool DeleteKeyRaw(const void* Key, TItemSink Sink, void* Ctx);

  // Retires every state; the typed form calls it while its item operations
  // are still its own.
  void DestroyStates();

 private:
  using TState = TPasMPThreadSafeHashTableState;
  enum class TClaim { Done, Taken, Lost };

  TState* AcquireState();
  void ReleaseState(TState* State);
  void Reclaim();
  void FinalizeState(TState* State);
  TState* NewState(uint32_t LogSize, uint32_t Version);
  uint32_t GrowLimit(const TState* State) const noexcept;
  bool InsertIntoState(TState* State, const void* Key, const void* Value, uint32_t Hash, void* Old,
                       bool& Replaced);
  TClaim ClaimSlot(TState* State, uint32_t Index, int32_t Expected, const void* Key,
                   const void* Value, uint32_t Hash);
  bool ReplaceInSlot(TState* State, uint32_t Index, const void* Key, const void* Value,
                     uint32_t Hash, void* Old);
  void Grow();
  void Replace(TState* Old);
  unsigned char* Slot(const TState* State, uint32_t Index) const noexcept;
  // Walks Hash's probe sequence up to the first empty slot, calling
  // Visit(slot) on each used slot with that hash until it answers true.
  template <class F>
  bool WalkUsed(TState* State, uint32_t Hash, F Visit);
  bool PeekKeyValueRaw(const void* Key, void* Value);
  void* ItemOf(unsigned char* SlotPtr) const noexcept { return SlotPtr + 16; }

  TPasMPMultipleReaderSingleWriterSpinLock fLock;
  TPasMPMultipleReaderSingleWriterSpinLock fResizeLock;
  size_t fKeySize;
  size_t fItemSize;
  size_t fInternalItemSize;
  uint32_t fGrowLoadFactor;
  TState* fFirstState;
  std::atomic<TState*> fLastState;
  std::atomic<uint32_t> fVersion;
  // States replaced by a grow and not yet freed.
  std::atomic<uint32_t> fRetired{0};

  friend struct TPasMPRetiredList;
};

// How a value type is kept in a slot. Trivially copyable values are kept as
// they are; counted references are kept as the raw pointer owning one count.
template <class V>
struct TPasMPValueTraits {
  static_assert(std::is_trivially_copyable_v<V>);
  static constexpr bool Plain = true;  // a counted copy is a byte copy
  using Stored = V;
  static Stored Store(const V& Value) { return Value; }
  static V Load(const Stored& S) { return S; }
  static Stored Copy(const Stored& S) { return S; }
  static void Drop(Stored&) {}
};

template <class T>
struct TPasMPValueTraits<RefPtr<T>> {
  static constexpr bool Plain = false;
  using Stored = T*;
  static Stored Store(const RefPtr<T>& Value) { return Copy(Value.get()); }
  static RefPtr<T> Load(const Stored& S) { return RefPtr<T>(S); }
  static Stored Copy(const Stored& S) {
    if (S) S->_AddRef();
    return S;
  }
  static void Drop(Stored& S) {
    if (T* P = S) {
      S = nullptr;
      P->_Release();
    }
  }
};

// A well-mixing 32-bit hash of an address; never 0.
inline uint32_t PasMPHashPointer(const void* P) noexcept {
  uint64_t H = reinterpret_cast<uintptr_t>(P);
  H ^= H >> 33;
  H *= 0xff51afd7ed558ccdULL;
  H ^= H >> 33;
  H *= 0xc4ceb9fe1a85ec53ULL;
  H ^= H >> 33;
  uint32_t R = static_cast<uint32_t>(H) ^ static_cast<uint32_t>(H >> 32);
  return R ? R : 0xFFFFFFFFu;
}

template <class K>
struct TPasMPDefaultComparer {
  static_assert(std::is_trivially_copyable_v<K>);
  static uint32_t Hash(const K& Key) noexcept {
    if constexpr (std::is_pointer_v<K>) {
      return PasMPHashPointer(Key);
    } else {
      static_assert(sizeof(K) <= sizeof(uint64_t), "key needs a comparer of its own");
      uint64_t V = 0;
      std::memcpy(&V, &Key, sizeof(K));
      return PasMPHashPointer(reinterpret_cast<const void*>(static_cast<uintptr_t>(V ^ (V >> 32))));
    }
  }
  static bool Equals(const K& A, const K& B) noexcept { return A == B; }
};

template <class K, class V, class Comparer = TPasMPDefaultComparer<K>>
class TPasMPHashTable : public TPasMPThreadSafeHashTable {
  using Traits = TPasMPValueTraits<V>;
  using Stored = typename Traits::Stored;
  struct TItem {
    K Key;
    Stored Value;
  };
  template <class T>
  static constexpr bool WordSized =
      std::atomic_ref<T>::is_always_lock_free && alignof(T) >= std::atomic_ref<T>::required_alignment;
  // Items written and read as atomic words, so that lookups may read them
  // while a writer changes them.
  static constexpr bool Atomic = WordSized<K> && WordSized<Stored>;

  template <class T>
  static void Put(T& Field, const T& Value) {
    if constexpr (Atomic) std::atomic_ref<T>(Field).store(Value, std::memory_order_release);
    else Field = Value;
  }
  template <class T>
  static T Take(const T& Field) {
    return std::atomic_ref<T>(const_cast<T&>(Field)).load(std::memory_order_acquire);
  }

 public:
  TPasMPHashTable() : TPasMPThreadSafeHashTable(offsetof(TItem, Value), sizeof(Stored)) {
    fOptimisticReads = Atomic;
    fPlainValues = Traits::Plain;
  }
  ~TPasMPHashTable() override { DestroyStates(); }

  // Value is V{} when Key is absent.
  bool GetKeyValue(const K& Key, V& Value) {
    Stored S{};
    bool Found = GetKeyValueRaw(&Key, &S, true);
    Value = Found ? Traits::Load(S) : V{};
    Traits::Drop(S);
    return Found;
  }
  // Insert or replace.
  bool SetKeyValue(const K& Key, const V& Value) {
    Stored S = Traits::Store(Value);
    bool Ok = SetKeyValueRaw(&Key, &S);
    Traits::Drop(S);
    return Ok;
  }
  bool DeleteKey(const K& Key) {
    return DeleteKeyRaw(&Key, [](TPasMPThreadSafeHashTable* T, void*, void* Item) {
      static_cast<TPasMPHashTable*>(T)->FinalizeItem(Item);
    }, nullptr);
  }
  bool ContainsKey(const K& Key) { return GetKeyValueRaw(&Key, nullptr, false); }
  // The stored value without taking a count; valid only while the caller
  // keeps the entry from being removed by other means.
  bool PeekValue(const K& Key, Stored& Value) { return GetKeyValueRaw(&Key, &Value, false); }
  // Removes Key and hands each stored value, with the count it owns, to Sink.
  template <class F>
  bool ExtractKey(const K& Key, F& Sink) {
    return DeleteKeyRaw(&Key, [](TPasMPThreadSafeHashTable*, void* Ctx, void* Item) {
      (*static_cast<F*>(Ctx))(static_cast<TItem*>(Item)->Value);
    }, &Sink);
  }

 protected:
  // Items of atomic words live in zeroed storage as implicit objects and are
  // only ever stored to word by word: lookups may be reading them.
  void InitializeItem(void* Item) override {
    if constexpr (Atomic) {
      Put(AsItem(Item)->Key, K{});
      Put(AsItem(Item)->Value, Stored{});
    } else {
      new (Item) TItem{K{}, Stored{}};
    }
  }
  void FinalizeItem(void* Item) override { Traits::Drop(AsItem(Item)->Value); }
  void CopyItem(const void* Source, void* Target) override {
    const TItem* S = AsItem(Source);
    AsItem(Target)->Key = S->Key;
    AsItem(Target)->Value = Traits::Copy(S->Value);
  }
  void GetKey(const void* Item, void* Key) override { *static_cast<K*>(Key) = AsItem(Item)->Key; }
  void SetKey(void* Item, const void* Key) override { Put(AsItem(Item)->Key, *static_cast<const K*>(Key)); }
  void GetValue(const void* Item, void* Value) override {
    *static_cast<Stored*>(Value) = Traits::Copy(AsItem(Item)->Value);
  }
  void SetValue(void* Item, const void* Value) override {
    Stored Old = AsItem(Item)->Value;
    Put(AsItem(Item)->Value, Traits::Copy(*static_cast<const Stored*>(Value)));
    Traits::Drop(Old);
  }
  uint32_t HashKey(const void* Key) override {
    uint32_t H = Comparer::Hash(*static_cast<const K*>(Key));
    return H ? H : 0xFFFFFFFFu;
  }
  bool CompareKey(const void* A, const void* B) override {
    return Comparer::Equals(*static_cast<const K*>(A), *static_cast<const K*>(B));
  }
  bool PeekItem(const void* Key, const void* Item, void* Value) override {
    if constexpr (Atomic) {
      if (!Comparer::Equals(*static_cast<const K*>(Key), Take(AsItem(Item)->Key))) return false;
      if (Value) *static_cast<Stored*>(Value) = Take(AsItem(Item)->Value);
      return true;
    } else {
      return false;  // never asked: fOptimisticReads is off
    }
  }

 private:
  static TItem* AsItem(void* P) { return static_cast<TItem*>(P); }
  static const TItem* AsItem(const void* P) { return static_cast<const TItem*>(P); }
};

}  // namespace green
