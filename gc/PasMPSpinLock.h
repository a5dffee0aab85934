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
// every reader adds 2. Table slots use it on a word inside the slot.
using TPasMPLockWord = std::atomic<uint32_t>;
void PasMPAcquireRead(TPasMPLockWord& Word) noexcept;
void PasMPReleaseRead(TPasMPLockWord& Word) noexcept;
void PasMPAcquireWrite(TPasMPLockWord& Word) noexcept;
void PasMPReleaseWrite(TPasMPLockWord& Word) noexcept;
void PasMPReadToWrite(TPasMPLockWord& Word) noexcept;
void PasMPWriteToRead(TPasMPLockWord& Word) noexcept;
// A plain spin lock on a raw word (bit 0 held).
void PasMPSpinAcquire(TPasMPLockWord& Word) noexcept;
void PasMPSpinRelease(TPasMPLockWord& Word) noexcept;

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
