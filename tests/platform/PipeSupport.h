// What the pipe and process tests share: unique pipe names, a server end
// connected to its client end, reading what waits in a pipe, the child
// programs, and telling Wine from Windows.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/Library.h"
#include "platform/Pipe.h"
#include "platform/Process.h"
#include "programs/ChildPrograms.h"

namespace green::os::test {

#ifdef _WIN32
constexpr bool kIsWin32 = true;
#else
constexpr bool kIsWin32 = false;
#endif

constexpr uint32_t kLongWaitMs = 30'000;  // only a broken system waits this long

// Unique within the machine: tests run in parallel processes.
inline std::string UniquePipeName(const std::string& Tag) {
  static std::atomic<int> Counter{0};
  return "\\\\.\\pipe\\green-test-" + std::to_string(CurrentProcessId()) + "-" + Tag + "-" +
         std::to_string(++Counter);
}

inline bool UnderWine() {
  Module Ntdll = LoadLibrary("ntdll.dll");
  return Ntdll && GetProcAddress(Ntdll, "wine_get_version");
}

inline std::string ChildProgram(const char* FileName) {
#ifdef _WIN32
  return ExecutableDirectory() + "\\" + FileName;
#else
  return ExecutableDirectory() + "/" + FileName;
#endif
}

// Everything waiting in the pipe, left there.
inline std::string PeekAll(Handle Pipe) {
  uint32_t Available = 0;
  if (!PeekNamedPipe(Pipe, nullptr, 0, nullptr, &Available)) return "<peek failed>";
  std::string Bytes(Available, '\0');
  uint32_t Copied = 0;
  if (Available && !PeekNamedPipe(Pipe, Bytes.data(), Available, &Copied, nullptr))
    return "<peek failed>";
  Bytes.resize(Copied);
  return Bytes;
}

// A server end and a client end of one pipe, connected as a child's
// redirected stream is: the connect pending first, then the open.
class ConnectedPipe {
 public:
  explicit ConnectedPipe(const std::string& Tag) : Name(UniquePipeName(Tag)) {
    FConnect.Event = CreateEvent(false, false);
    Server = CreateNamedPipe(Name, 4096, 4096);
    if (Server == kInvalidHandleValue) return;
    if (ConnectNamedPipe(Server, FConnect) || GetLastError() != kErrorIoPending) return;
    Client = OpenNamedPipe(Name);
    if (Client == kInvalidHandleValue) return;
    FConnected = WaitForSingleObject(FConnect.Event, kLongWaitMs) == kWaitObject0;
  }
  ~ConnectedPipe() {
    if (Client != kInvalidHandleValue) CloseHandle(Client);
    if (Server != kInvalidHandleValue) CloseHandle(Server);
    CloseHandle(FConnect.Event);
  }
  ConnectedPipe(const ConnectedPipe&) = delete;
  ConnectedPipe& operator=(const ConnectedPipe&) = delete;

  bool Connected() const { return FConnected; }

  const std::string Name;
  Handle Server = kInvalidHandleValue;
  Handle Client = kInvalidHandleValue;

 private:
  ConnectOverlapped FConnect;  // outlives the server end: the system writes to it
  bool FConnected = false;
};

}  // namespace green::os::test
