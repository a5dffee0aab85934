// What the pipe and process tests share: unique pipe names, a server end
// connected to its client end, reading what waits in a pipe, the child
// programs, and telling Wine from Windows.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
#include <string>

#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Io.h"
#include "platform/Kernel.h"
#include "platform/Library.h"
#include "platform/Pipe.h"
#include "platform/Process.h"
#include "platform/Shell.h"
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
  return ExecutableDirectory() + kPathDelim + FileName;
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

// One overlapped transfer, run to its end in alertable waits of this thread.
class Transfer {
 public:
  // The transfer's error code (kErrorSuccess when it went well); Bytes says
  // how many it moved. One that is not done in time is cancelled.
  uint32_t Read(Handle H, void* Buffer, uint32_t Size) {
    return Finish(H, ReadFileEx(H, Buffer, Size, &FOv, Done));
  }
  uint32_t Write(Handle H, const std::string& Bytes) {
    return Finish(H, WriteFileEx(H, Bytes.data(), static_cast<uint32_t>(Bytes.size()), &FOv, Done));
  }
  uint32_t Bytes = 0;

 private:
  static void Done(uint32_t Error, uint32_t Count, Overlapped* Ov) {
    auto* T = static_cast<Transfer*>(Ov->Event);
    T->FDone = true;
    T->FError = Error;
    T->Bytes = Count;
  }
  bool RunRoutines(int64_t Deadline) {
    while (!FDone && MonotonicNanos() < Deadline) SleepEx(100, true);
    return FDone;
  }
  uint32_t Finish(Handle H, bool Started) {
    if (!Started) return GetLastError();
    if (!RunRoutines(MonotonicNanos() + int64_t{kLongWaitMs} * 1'000'000)) {
      CancelIo(H);
      RunRoutines(
          std::numeric_limits<int64_t>::max());  // the routine owns this object until it ran
      return kErrorTimeout;
    }
    return FError;
  }

  Overlapped FOv{0, 0, 0, 0, this};
  bool FDone = false;
  uint32_t FError = kErrorSuccess;
};

// Reads until Out holds at least Want bytes; the first failing read's code.
inline uint32_t ReadAtLeast(Handle Pipe, size_t Want, std::string& Out) {
  while (Out.size() < Want) {
    char Buffer[256];
    Transfer T;
    if (const uint32_t Error = T.Read(Pipe, Buffer, sizeof Buffer)) return Error;
    Out.append(Buffer, T.Bytes);
  }
  return kErrorSuccess;
}

inline uint32_t WriteAll(Handle Pipe, const std::string& Bytes) {
  Transfer T;
  const uint32_t Error = T.Write(Pipe, Bytes);
  return Error ? Error : T.Bytes == Bytes.size() ? kErrorSuccess : kErrorMoreData;
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
