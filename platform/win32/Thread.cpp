#include "platform/win32/Win.h"

#include "platform/Thread.h"

#include <atomic>

namespace green::os {
namespace {

// Static initialisation runs on the process's first thread.
const DWORD gMainThreadId = ::GetCurrentThreadId();

// -1: not set, read the executable's subsystem; else the value set.
std::atomic<int> gConsoleOverride{-1};

bool ExecutableIsConsole() {
  const auto* Base = reinterpret_cast<const BYTE*>(::GetModuleHandleW(nullptr));
  const auto* Dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(Base);
  const auto* Nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(Base + Dos->e_lfanew);
  return Nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

}  // namespace

uint32_t CurrentThreadId() { return ::GetCurrentThreadId(); }

// Still 0 while static initialisation, which runs on the main thread, has
// not reached this file.
bool IsMainThread() { return gMainThreadId == 0 || ::GetCurrentThreadId() == gMainThreadId; }

bool IsConsoleApp() {
  const int Override = gConsoleOverride.load(std::memory_order_relaxed);
  if (Override >= 0) return Override != 0;
  static const bool Console = ExecutableIsConsole();
  return Console;
}

void SetConsoleApp(bool Value) { gConsoleOverride.store(Value ? 1 : 0, std::memory_order_relaxed); }

void YieldThread() { ::SwitchToThread(); }

}  // namespace green::os
