#include "platform/AddressWait.h"

namespace green::os {

void WaitOnWord(std::atomic<uintptr_t>& Word, uintptr_t Old) { Word.wait(Old, std::memory_order_acquire); }

void WakeWord(std::atomic<uintptr_t>& Word) { Word.notify_all(); }

}  // namespace green::os
