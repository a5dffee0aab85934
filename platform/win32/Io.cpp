// Overlapped reads and writes: the system's, with the caller's routine run
// inside RunSystemCallback. The system hands a completion routine nothing
// but the error, the count and the OVERLAPPED (whose every word belongs to
// the caller or the kernel), so each distinct routine gets a trampoline of
// its own from a fixed set: no record per operation, and nothing to clean
// up when an operation never completes.
#include "platform/win32/Win.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <utility>

#include "platform/Callback.h"
#include "platform/Io.h"

namespace green::os {

static_assert(sizeof(Overlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(Overlapped, Internal) == offsetof(OVERLAPPED, Internal));
static_assert(offsetof(Overlapped, InternalHigh) == offsetof(OVERLAPPED, InternalHigh));
static_assert(offsetof(Overlapped, Offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(Overlapped, OffsetHigh) == offsetof(OVERLAPPED, OffsetHigh));
static_assert(offsetof(Overlapped, Event) == offsetof(OVERLAPPED, hEvent));

namespace {

// More distinct routines than a process needs (the hub has two).
constexpr size_t kRoutineSlots = 32;
std::atomic<IoCompletionProc> Routines[kRoutineSlots];

template <size_t I>
VOID CALLBACK Trampoline(DWORD ErrorCode, DWORD Bytes, LPOVERLAPPED Native) {
  const IoCompletionProc Routine = Routines[I].load(std::memory_order_acquire);
  auto* Ov = reinterpret_cast<Overlapped*>(Native);
  RunSystemCallback([Routine, ErrorCode, Bytes, Ov] { Routine(ErrorCode, Bytes, Ov); });
}

template <size_t... I>
constexpr std::array<LPOVERLAPPED_COMPLETION_ROUTINE, sizeof...(I)> MakeTrampolines(
    std::index_sequence<I...>) {
  return {&Trampoline<I>...};
}

constexpr auto kTrampolines = MakeTrampolines(std::make_index_sequence<kRoutineSlots>());

// The trampoline of Routine, given a slot on first use; nullptr when every
// slot is taken (last error set).
LPOVERLAPPED_COMPLETION_ROUTINE TrampolineFor(IoCompletionProc Routine) {
  for (size_t I = 0; I < kRoutineSlots; ++I) {
    IoCompletionProc Current = Routines[I].load(std::memory_order_acquire);
    if (!Current && Routines[I].compare_exchange_strong(Current, Routine)) return kTrampolines[I];
    if (Current == Routine) return kTrampolines[I];  // also when another thread just took it
  }
  ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

bool Refuse(DWORD Code) {
  ::SetLastError(Code);
  return false;
}

}  // namespace

bool ReadFileEx(Handle H, void* Buf, uint32_t Len, Overlapped* Ov, IoCompletionProc Routine) {
  if (!Ov || !Routine) return Refuse(ERROR_INVALID_PARAMETER);
  LPOVERLAPPED_COMPLETION_ROUTINE Native = TrampolineFor(Routine);
  return Native && ::ReadFileEx(reinterpret_cast<HANDLE>(H), Buf, Len,
                                reinterpret_cast<LPOVERLAPPED>(Ov), Native);
}

bool WriteFileEx(Handle H, const void* Buf, uint32_t Len, Overlapped* Ov,
                 IoCompletionProc Routine) {
  if (!Ov || !Routine) return Refuse(ERROR_INVALID_PARAMETER);
  LPOVERLAPPED_COMPLETION_ROUTINE Native = TrampolineFor(Routine);
  return Native && ::WriteFileEx(reinterpret_cast<HANDLE>(H), Buf, Len,
                                 reinterpret_cast<LPOVERLAPPED>(Ov), Native);
}

bool CancelIo(Handle H) { return ::CancelIo(reinterpret_cast<HANDLE>(H)); }

bool ThreadIoDropped(uint32_t) { return false; }

// Datagrams go through the socket library the runtime resolved by name.
bool RecvFromEx(Handle, void*, uint32_t, void*, int32_t*, Overlapped*, IoCompletionProc) {
  return Refuse(ERROR_NOT_SUPPORTED);
}

bool SendToEx(Handle, const void*, uint32_t, const void*, int32_t, Overlapped*,
              IoCompletionProc) {
  return Refuse(ERROR_NOT_SUPPORTED);
}

}  // namespace green::os
