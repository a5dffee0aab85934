// The address wait is looked up at run time, not imported: the programs
// import only the classic system DLLs, and a system without it (before
// Windows 8) still runs them, its waiters polling the word instead.
// libstdc++'s std::atomic::wait has no platform wait here and can miss a
// notification (a greenlet stress test under Wine hung with it).
#include <windows.h>

#include "platform/AddressWait.h"

namespace green::os {

namespace {

using TWaitOnAddress = BOOL(WINAPI*)(volatile void*, void*, SIZE_T, DWORD);
using TWakeByAddressAll = void(WINAPI*)(void*);

struct TAddressWait {
  TWaitOnAddress Wait = nullptr;
  TWakeByAddressAll Wake = nullptr;
  TAddressWait() {
    HMODULE Module = ::GetModuleHandleW(L"kernelbase.dll");
    if (!Module) return;
    auto* W = reinterpret_cast<TWaitOnAddress>(reinterpret_cast<void*>(::GetProcAddress(Module, "WaitOnAddress")));
    auto* A = reinterpret_cast<TWakeByAddressAll>(
        reinterpret_cast<void*>(::GetProcAddress(Module, "WakeByAddressAll")));
    if (W && A) {
      Wait = W;
      Wake = A;
    }
  }
};

const TAddressWait& AddressWait() {
  static const TAddressWait Calls;
  return Calls;
}

}  // namespace

void WaitOnWord(std::atomic<uintptr_t>& Word, uintptr_t Old) {
  const TAddressWait& Calls = AddressWait();
  if (Calls.Wait) {
    Calls.Wait(&Word, &Old, sizeof Old, INFINITE);
    return;
  }
  if (Word.load(std::memory_order_acquire) == Old) ::Sleep(1);
}

void WakeWord(std::atomic<uintptr_t>& Word) {
  if (const TAddressWait& Calls = AddressWait(); Calls.Wake) Calls.Wake(&Word);
}

}  // namespace green::os
