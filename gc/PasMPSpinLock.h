// Busy-waiting locks: a spin lock and a reader-writer spin lock, and the
// protocols on a raw lock word that the hash table's slots use. They spin
// with a processor pause and never block in the kernel; each lock sits on
// its own 64-byte cache line.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace green {

constexpr size_t PasMPCacheLineSize = 64;

struct TPasMP {
  static inline void Relax() noexcept {
#if defined(__i386__) || defined(__x86_64__)
    __builtin_ia32_pause();
#endif
  }
};

// The reader-writer protocol on a raw lock word: bit 0 is the writer bit,
// every reader adds 2. Table slots use it on a word inside the slot. Inline:
// a lookup that locks a slot pays no call for it.
using TPasMPLockWord = std::atomic<uint32_t>;
inline constexpr uint32_t PasMPWriterBit = 1;
inline constexpr uint32_t PasMPReaderUnit = 2;

inline void PasMPAcquireRead(TPasMPLockWord& Word) noexcept {
  for (;;) {
    uint32_t V = Word.load(std::memory_order_relaxed) & ~PasMPWriterBit;
    if (Word.compare_exchange_weak(V, V + PasMPReaderUnit, std::memory_order_acquire,
                                   std::memory_order_relaxed))
      return;
    TPasMP::Relax();
  }
}

inline void PasMPReleaseRead(TPasMPLockWord& Word) noexcept {
  Word.fetch_sub(PasMPReaderUnit, std::memory_order_release);
}

inline void PasMPAcquireWrite(TPasMPLockWord& Word) noexcept {
  for (;;) {
    uint32_t V = Word.load(std::memory_order_relaxed) & ~PasMPWriterBit;
    if (Word.compare_exchange_weak(V, V | PasMPWriterBit, std::memory_order_acquire,
                                   std::memory_order_relaxed))
      break;
    TPasMP::Relax();
  }
  while (Word.load(std::memory_order_acquire) != PasMPWriterBit) TPasMP::Relax();
}

inline void PasMPReleaseWrite(TPasMPLockWord& Word) noexcept {
  Word.exchange(0, std::memory_order_acq_rel);
}

inline void PasMPReadToWrite(TPasMPLockWord& Word) noexcept {
  Word.fetch_sub(PasMPReaderUnit, std::memory_order_release);
  PasMPAcquireWrite(Word);
}

inline void PasMPWriteToRead(TPasMPLockWord& Word) noexcept {
  Word.exchange(PasMPReaderUnit, std::memory_order_acq_rel);
}

// A plain spin lock on a raw word (bit 0 held).
inline void PasMPSpinAcquire(TPasMPLockWord& Word) noexcept {
  for (;;) {
    while (Word.load(std::memory_order_relaxed) & 1) TPasMP::Relax();
    if (!(Word.fetch_or(1, std::memory_order_acquire) & 1)) return;
  }
}

inline void PasMPSpinRelease(TPasMPLockWord& Word) noexcept {
  Word.store(0, std::memory_order_release);
}

class alignas(PasMPCacheLineSize) TPasMPSpinLock {
 public:
  constexpr TPasMPSpinLock() noexcept = default;
  TPasMPSpinLock(const TPasMPSpinLock&) = delete;
  TPasMPSpinLock& operator=(const TPasMPSpinLock&) = delete;
  virtual ~TPasMPSpinLock() = default;
  virtual void Acquire() noexcept { PasMPSpinAcquire(fState); }
  virtual void Release() noexcept { PasMPSpinRelease(fState); }
  // For std::lock_guard, which releases also when the guarded code throws.
  void lock() noexcept { Acquire(); }
  void unlock() noexcept { Release(); }

 private:
  TPasMPLockWord fState{0};
};

class alignas(PasMPCacheLineSize) TPasMPMultipleReaderSingleWriterSpinLock {
 public:
  constexpr TPasMPMultipleReaderSingleWriterSpinLock() noexcept = default;
  TPasMPMultipleReaderSingleWriterSpinLock(const TPasMPMultipleReaderSingleWriterSpinLock&) = delete;
  TPasMPMultipleReaderSingleWriterSpinLock& operator=(
      const TPasMPMultipleReaderSingleWriterSpinLock&) = delete;
  void AcquireRead() noexcept { PasMPAcquireRead(fState); }
  void ReleaseRead() noexcept { PasMPReleaseRead(fState); }
  void AcquireWrite() noexcept { PasMPAcquireWrite(fState); }
  void ReleaseWrite() noexcept { PasMPReleaseWrite(fState); }
  void ReadToWrite() noexcept { PasMPReadToWrite(fState); }
  void WriteToRead() noexcept { PasMPWriteToRead(fState); }
  // For std::lock_guard (writing) and std::shared_lock (reading).
  void lock() noexcept { AcquireWrite(); }
  void unlock() noexcept { ReleaseWrite(); }
  void lock_shared() noexcept { AcquireRead(); }
  void unlock_shared() noexcept { ReleaseRead(); }

 private:
  TPasMPLockWord fState{0};
};

}  // namespace green
