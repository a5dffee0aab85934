// Completion routines queued to a thread by id. The routine is wrapped
// because the system calls it with its own calling convention, and so that
// no exception leaves it into the system's frames.
#include "platform/win32/Win.h"

#include "platform/Callback.h"
#include "platform/Kernel.h"

namespace green::os {
namespace {

struct ApcCall {
  ApcProc Proc;
  void* Arg;
};

VOID NTAPI RunApc(ULONG_PTR Data) {
  auto* Call = reinterpret_cast<ApcCall*>(Data);
  const ApcCall Copy = *Call;
  delete Call;
  RunSystemCallback([Copy] { Copy.Proc(Copy.Arg); });
}

// Thread ids are system-wide: a routine queued to another process's thread
// would run there, at an address that means nothing in that process.
HANDLE OpenOwnThread(uint32_t ThreadId) {
  HANDLE Thread =
      ::OpenThread(THREAD_SET_CONTEXT | THREAD_QUERY_LIMITED_INFORMATION, FALSE, ThreadId);
  if (!Thread || ::GetProcessIdOfThread(Thread) == ::GetCurrentProcessId()) return Thread;
  ::CloseHandle(Thread);
  ::SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

}  // namespace

bool QueueApc(uint32_t ThreadId, ApcProc Proc, void* Arg) {
  if (!Proc) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const bool Self = ThreadId == ::GetCurrentThreadId();
  HANDLE Thread = Self ? ::GetCurrentThread() : OpenOwnThread(ThreadId);
  if (!Thread) return false;
  auto* Call = new ApcCall{Proc, Arg};
  const bool Queued = ::QueueUserAPC(RunApc, Thread, reinterpret_cast<ULONG_PTR>(Call)) != 0;
  const DWORD Error = ::GetLastError();
  if (!Queued) delete Call;
  if (!Self) ::CloseHandle(Thread);
  if (!Queued) ::SetLastError(Error);
  return Queued;
}

}  // namespace green::os
