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
  HANDLE thread = ::OpenThread(THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_INFORMATION,
                               FALSE, ThreadId);
  if (!thread) return false;
  uintptr_t pcs[kMaxFrames];
  int count = 0;
  if (::SuspendThread(thread) != static_cast<DWORD>(-1)) {
    CONTEXT context = {};
    context.ContextFlags = CONTEXT_FULL;
    if (::GetThreadContext(thread, &context)) {
      while (count < kMaxFrames && context.Rip) {
        pcs[count++] = context.Rip;
        DWORD64 base = 0;
        PRUNTIME_FUNCTION function = ::RtlLookupFunctionEntry(context.Rip, &base, nullptr);
        if (function) {
          PVOID handlerData = nullptr;
          DWORD64 establisher = 0;
          ::RtlVirtualUnwind(UNW_FLAG_NHANDLER, base, context.Rip, function, &context, &handlerData,
                             &establisher, nullptr);
        } else {
          // A leaf function: the return address is on top of the stack.
          context.Rip = *reinterpret_cast<DWORD64*>(context.Rsp);
          context.Rsp += 8;
        }
      }
    }
    ::ResumeThread(thread);
  }
  ::CloseHandle(thread);
  Frames.assign(pcs, pcs + count);
  return count > 0;
}

#else

bool CanCaptureThreadStacks() { return false; }

bool CaptureThreadStack(uint32_t, std::vector<uintptr_t>& Frames, uint32_t) {
  Frames.clear();
  return false;
}

#endif

std::string DescribeCodeAddress(uintptr_t Address) {
  char buf[512];
  HMODULE module = nullptr;
  wchar_t path[MAX_PATH];
  if (::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(Address), &module) &&
      ::GetModuleFileNameW(module, path, MAX_PATH)) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; ++p)
      if (*p == L'\\' || *p == L'/') name = p + 1;
    std::snprintf(buf, sizeof buf, "0x%" PRIxPTR " (%ls+0x%" PRIxPTR ")", Address, name,
                  Address - reinterpret_cast<uintptr_t>(module));
  } else {
    std::snprintf(buf, sizeof buf, "0x%" PRIxPTR, Address);
  }
  return buf;
}

}  // namespace green::os
