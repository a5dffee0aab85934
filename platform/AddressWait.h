// Sleeping on a word until another thread changes it and wakes it: a futex
// on Linux, the system's address wait on Windows. Spurious returns are
// allowed; callers re-check the word.
#pragma once

#include <atomic>
#include <cstdint>

namespace green::os {

// Sleeps while Word holds Old (or returns at once when it does not).
void WaitOnWord(std::atomic<uintptr_t>& Word, uintptr_t Old);
// Wakes every thread sleeping on Word.
void WakeWord(std::atomic<uintptr_t>& Word);

}  // namespace green::os
