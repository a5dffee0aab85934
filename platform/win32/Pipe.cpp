// Named pipes: the system's own, created so that nobody can take a name over.
#include "platform/Pipe.h"

#include <cstddef>
#include <string>

#include "platform/win32/Utf16.h"
#include "platform/win32/Win.h"

namespace green::os {

static_assert(sizeof(ConnectOverlapped) == sizeof(OVERLAPPED));
static_assert(offsetof(ConnectOverlapped, Offset) == offsetof(OVERLAPPED, Offset));
static_assert(offsetof(ConnectOverlapped, Event) == offsetof(OVERLAPPED, hEvent));

namespace {

HANDLE Native(Handle H) { return reinterpret_cast<HANDLE>(H); }

// A name with a NUL in it would be cut short by the system: refused.
bool WideName(std::string_view Name, std::wstring& Wide) {
  if (Name.find('\0') != std::string_view::npos) {
    ::SetLastError(ERROR_INVALID_NAME);
    return false;
  }
  return win32::ToUtf16(CP_UTF8, Name, Wide);
}

SECURITY_ATTRIBUTES Inheritable() { return {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE}; }

}  // namespace

Handle CreateNamedPipe(std::string_view Name, uint32_t OutBufferSize, uint32_t InBufferSize,
                       uint32_t MaxInstances) {
  // Windows refuses other counts; Wine takes 0.
  if (MaxInstances == 0 || MaxInstances > PIPE_UNLIMITED_INSTANCES) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return kInvalidHandleValue;
  }
  std::wstring Wide;
  if (!WideName(Name, Wide)) return kInvalidHandleValue;
  SECURITY_ATTRIBUTES Security = Inheritable();
  // The first instance only and local clients only: another process cannot
  // have created the name before us, nor can a remote one connect.
  const DWORD OpenMode = FILE_FLAG_OVERLAPPED | PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE;
  const DWORD PipeMode =
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
  return reinterpret_cast<Handle>(::CreateNamedPipeW(Wide.c_str(), OpenMode, PipeMode, MaxInstances,
                                                     OutBufferSize, InBufferSize,
                                                     NMPWAIT_WAIT_FOREVER, &Security));
}

Handle OpenNamedPipe(std::string_view Name) {
  std::wstring Wide;
  if (!WideName(Name, Wide)) return kInvalidHandleValue;
  SECURITY_ATTRIBUTES Security = Inheritable();
  // A server may identify the client, never act as it.
  const DWORD Flags = FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
  return reinterpret_cast<Handle>(::CreateFileW(Wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                                &Security, OPEN_EXISTING, Flags, nullptr));
}

// A client that opens a listening server connects it: nothing waits for a
// connect, and nothing needs an event for one.
bool CreateStreamPipe(std::string_view Name, bool, uint32_t BufferSize, Handle& Parent,
                      Handle& Child) {
  const Handle Server = CreateNamedPipe(Name, BufferSize, BufferSize);
  if (Server == kInvalidHandleValue) return false;
  const Handle Client = OpenNamedPipe(Name);
  if (Client == kInvalidHandleValue) {
    const DWORD Error = ::GetLastError();
    ::CloseHandle(Native(Server));
    ::SetLastError(Error);
    return false;
  }
  Parent = Server;
  Child = Client;
  return true;
}

bool ConnectNamedPipe(Handle Pipe, ConnectOverlapped& Overlapped) {
  return ::ConnectNamedPipe(Native(Pipe), reinterpret_cast<OVERLAPPED*>(&Overlapped));
}

bool DisconnectNamedPipe(Handle Pipe) { return ::DisconnectNamedPipe(Native(Pipe)); }

bool PeekNamedPipe(Handle Pipe, void* Buffer, uint32_t Size, uint32_t* BytesRead,
                   uint32_t* BytesAvailable) {
  DWORD Read = 0, Available = 0;
  if (!::PeekNamedPipe(Native(Pipe), Buffer, Buffer ? Size : 0, &Read, &Available, nullptr))
    return false;
  if (BytesRead) *BytesRead = Read;
  if (BytesAvailable) *BytesAvailable = Available;
  return true;
}

}  // namespace green::os
