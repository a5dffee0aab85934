// Fibers are the system's. The start routine is wrapped because the
// system calls it with its own calling convention (stdcall on 32-bit).
#include "platform/win32/Win.h"

#include "platform/Fiber.h"

#include <cstdio>
#include <cstdlib>

namespace green::os {
namespace {

// What the fiber runs; it is the fiber's data and lives until DeleteFiber.
struct FiberStart {
  FiberProc Proc;
  void* Arg;
};

// Commit is kept below the reserve: a commit at or above it makes the system
// reserve 1 MiB per fiber, which exhausts a 32-bit address space at a couple
// of thousand fibers. The stack grows on touch up to the reserve.
constexpr size_t kMinReserve = 64 * 1024;
constexpr size_t kGranularity = 64 * 1024;  // of address-space reservations
constexpr size_t kGuardSlack = 16 * 1024;   // guard pages inside the reserve
constexpr size_t kMaxStack = size_t{1} << 30;  // keeps the rounding from overflowing

size_t RoundUp(size_t N, size_t To) { return (N + To - 1) / To * To; }

size_t PageSize() {
  SYSTEM_INFO Info;
  ::GetSystemInfo(&Info);
  return Info.dwPageSize;
}

VOID WINAPI RunFiber(LPVOID Data) {
  auto* Start = static_cast<FiberStart*>(Data);
  Start->Proc(Start->Arg);
  std::fputs("green: a fiber procedure returned; fibers must switch away for good\n", stderr);
  std::abort();
}

}  // namespace

Fiber ConvertThreadToFiber() {
  if (::IsThreadAFiber()) return ::GetCurrentFiber();
  return ::ConvertThreadToFiberEx(nullptr, FIBER_FLAG_FLOAT_SWITCH);
}

void ConvertFiberToThread() { ::ConvertFiberToThread(); }

Fiber CreateFiber(size_t StackSize, FiberProc Proc, void* Arg) {
  static const size_t Page = PageSize();
  if (!Proc || StackSize > kMaxStack) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const size_t Commit = RoundUp(StackSize ? StackSize : Page, Page);
  size_t Reserve = RoundUp(Commit + kGuardSlack, kGranularity);
  if (Reserve < kMinReserve) Reserve = kMinReserve;
  auto* Start = new FiberStart{Proc, Arg};
  void* F = ::CreateFiberEx(Commit, Reserve, FIBER_FLAG_FLOAT_SWITCH, RunFiber, Start);
  if (!F) {
    const DWORD Error = ::GetLastError();
    delete Start;
    ::SetLastError(Error);
  }
  return F;
}

void SwitchToFiber(Fiber To) { ::SwitchToFiber(To); }

void DeleteFiber(Fiber F) {
  if (!F) return;
  // A fiber's first field is its data (the system's GetFiberData relies on
  // the same layout); only fibers made by CreateFiber carry a FiberStart.
  auto* Start = *static_cast<FiberStart**>(F);
  ::DeleteFiber(F);
  delete Start;
}

Fiber GetCurrentFiber() {
  // On a thread never converted the fiber slot holds unrelated data.
  return ::IsThreadAFiber() ? ::GetCurrentFiber() : nullptr;
}

}  // namespace green::os
