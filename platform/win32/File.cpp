// Files and anonymous pipes opened for overlapped operations. The system's
// anonymous pipes refuse them, so a pipe here is a named pipe with a name
// no one else uses, both ends opened overlapped and neither inherited.
#include "platform/win32/Win.h"

#include <atomic>
#include <cstdio>

#include "platform/Io.h"
#include "platform/win32/Utf16.h"

namespace green::os {

namespace {

// As much as a pipe of the posix backend holds.
constexpr DWORD kPipeBuffer = 65536;
// A name already taken (by another process with the same id, long gone
// but with its pipe still open somewhere) is skipped, a few times over.
constexpr int kNameAttempts = 16;

std::atomic<unsigned> LastPipeSerial{0};

bool MakePipe(DWORD ServerAccess, DWORD ClientAccess, Handle& Server, Handle& Client) {
  HANDLE Own = INVALID_HANDLE_VALUE;
  wchar_t Name[96];
  for (int Attempt = 0; Attempt < kNameAttempts && Own == INVALID_HANDLE_VALUE; ++Attempt) {
    std::swprintf(Name, sizeof Name / sizeof Name[0], L"\\\\.\\pipe\\green_%lu_%u",
                  ::GetCurrentProcessId(), ++LastPipeSerial);
    Own = ::CreateNamedPipeW(Name, ServerAccess | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                 PIPE_REJECT_REMOTE_CLIENTS,
                             1, kPipeBuffer, kPipeBuffer, 0, nullptr);
    if (Own == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_ACCESS_DENIED &&
        ::GetLastError() != ERROR_PIPE_BUSY)
      return false;
  }
  if (Own == INVALID_HANDLE_VALUE) return false;
  HANDLE Other = ::CreateFileW(Name, ClientAccess, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
  if (Other == INVALID_HANDLE_VALUE) {
    const DWORD Error = ::GetLastError();
    ::CloseHandle(Own);
    ::SetLastError(Error);
    return false;
  }
  Server = reinterpret_cast<Handle>(Own);
  Client = reinterpret_cast<Handle>(Other);
  return true;
}

}  // namespace

bool CreatePipe(Handle& Read, Handle& Write) {
  return MakePipe(PIPE_ACCESS_INBOUND, GENERIC_WRITE, Read, Write);
}

bool CreateDuplexPipe(Handle& First, Handle& Second) {
  return MakePipe(PIPE_ACCESS_DUPLEX, GENERIC_READ | GENERIC_WRITE, First, Second);
}

Handle OpenFile(const std::string& Path, bool CreateAlways) {
  std::wstring Wide;
  if (!win32::ToUtf16(CP_UTF8, Path, Wide)) return kNoHandle;
  HANDLE File = ::CreateFileW(Wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              CreateAlways ? CREATE_ALWAYS : OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                              nullptr);
  return File == INVALID_HANDLE_VALUE ? kNoHandle : reinterpret_cast<Handle>(File);
}

}  // namespace green::os
