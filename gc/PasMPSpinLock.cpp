#include "gc/PasMPSpinLock.h"

namespace green {

namespace {
constexpr uint32_t WriterBit = 1;
constexpr uint32_t ReaderUnit = 2;
}  // namespace

void PasMPSpinAcquire(TPasMPLockWord& Word) noexcept {
  for (;;) {
    while (Word.load(std::memory_order_relaxed) & 1) TPasMP::Relax();
    if (!(Word.fetch_or(1, std::memory_order_acquire) & 1)) return;
  }
}

void PasMPSpinRelease(TPasMPLockWord& Word) noexcept { Word.store(0, std::memory_order_release); }

void PasMPAcquireRead(TPasMPLockWord& Word) noexcept {
  for (;;) {
    uint32_t v = Word.load(std::memory_order_relaxed) & ~WriterBit;
    if (Word.compare_exchange_weak(v, v + ReaderUnit, std::memory_order_acquire,
                                   std::memory_order_relaxed))
      return;
    TPasMP::Relax();
  }
}

void PasMPReleaseRead(TPasMPLockWord& Word) noexcept {
  Word.fetch_sub(ReaderUnit, std::memory_order_release);
}

void PasMPAcquireWrite(TPasMPLockWord& Word) noexcept {
  for (;;) {
    uint32_t v = Word.load(std::memory_order_relaxed) & ~WriterBit;
    if (Word.compare_exchange_weak(v, v | WriterBit, std::memory_order_acquire,
                                   std::memory_order_relaxed))
      break;
    TPasMP::Relax();
  }
  while (Word.load(std::memory_order_acquire) != WriterBit) TPasMP::Relax();
}

void PasMPReleaseWrite(TPasMPLockWord& Word) noexcept { Word.exchange(0, std::memory_order_acq_rel); }

void PasMPReadToWrite(TPasMPLockWord& Word) noexcept {
  Word.fetch_sub(ReaderUnit, std::memory_order_release);
  PasMPAcquireWrite(Word);
}

void PasMPWriteToRead(TPasMPLockWord& Word) noexcept {
  Word.exchange(ReaderUnit, std::memory_order_acq_rel);
}

}  // namespace green
