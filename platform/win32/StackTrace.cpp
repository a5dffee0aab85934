// Another thread's stack on Windows: 64-bit suspends the thread, takes its
// context and unwinds it with the system's unwind tables (every x64
// function has them). Nothing between the suspension and the resumption
// allocates: the suspended thread may hold the heap's lock. 32-bit code has
// no such tables for every frame: it does not capture.
#include "platform/win32/Win.h"

#include "platform/StackTrace.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>

namespace green::os {

namespace {
constexpr int kMaxFrames = 64;
}  // namespace

#if defined(_WIN64)

bool CanCaptureThreadStacks() { return true; }

bool CaptureThreadStack(uint32_t ThreadId, std::vector<uintptr_t>& Frames, uint32_t) {
  Frames.clear();
  if (ThreadId == ::GetCurrentThreadId()) return false;
  HANDLE Thread = ::OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION,
                               FALSE, ThreadId);
  if (!Thread) return false;
  uintptr_t Pcs[kMaxFrames];
  int Count = 0;
  if (::SuspendThread(Thread) != static_cast<DWORD>(-1)) {
    CONTEXT Context = {};
    Context.ContextFlags = CONTEXT_FULL;
    if (::GetThreadContext(Thread, &Context)) {
      while (Count < kMaxFrames && Context.Rip) {
        Pcs[Count++] = Context.Rip;
        DWORD64 Base = 0;
        PRUNTIME_FUNCTION Function = ::RtlLookupFunctionEntry(Context.Rip, &Base, nullptr);
        if (Function) {
          PVOID HandlerData = nullptr;
          DWORD64 Establisher = 0;
          ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, Base, Context.Rip, Function, &Context, &HandlerData,
                             &Establisher, nullptr);
        } else {
          // A leaf function: the return address is on top of the stack.
          Context.Rip = *reinterpret_cast<DWORD64*>(Context.Rsp);
          Context.Rsp += 8;
        }
      }
    }
    ::ResumeThread(Thread);
  }
  ::CloseHandle(Thread);
  Frames.assign(Pcs, Pcs + Count);
  return Count > 0;
}

#else

bool CanCaptureThreadStacks() { return false; }

bool CaptureThreadStack(uint32_t, std::vector<uintptr_t>& Frames, uint32_t) {
  Frames.clear();
  return false;
}

#endif

std::string DescribeCodeAddress(uintptr_t Address) {
  char Buf[512];
  HMODULE Module = nullptr;
  wchar_t Path[MAX_PATH];
  if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(Address), &Module) &&
      ::GetModuleFileNameW(Module, Path, MAX_PATH)) {
    const wchar_t* Name = Path;
    for (const wchar_t* P = Path; *P; ++P)
      if (*P == L'\\' || *P == L'/') Name = P + 1;
    std::snprintf(Buf, sizeof Buf, "0x%" PRIxPTR " (%ls+0x%" PRIxPTR ")", Address, Name,
                  Address - reinterpret_cast<uintptr_t>(Module));
  } else {
    std::snprintf(Buf, sizeof Buf, "0x%" PRIxPTR, Address);
  }
  return Buf;
}

}  // namespace green::os
