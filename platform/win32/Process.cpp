// Child processes: the system's CreateProcessW, with inheritance limited to
// the child's three standard handles.
#include "platform/Process.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/win32/Utf16.h"
#include "platform/win32/Win.h"

namespace green::os {

namespace {

HANDLE Native(Handle H) { return reinterpret_cast<HANDLE>(H); }

bool HasNul(std::string_view Text) { return Text.find('\0') != std::string_view::npos; }

// The program's path is the first token: to its first blank, or inside the
// quotes it starts with.
void BackslashProgram(std::wstring& Line) {
  size_t At = Line.find_first_not_of(L" \t");
  if (At == std::wstring::npos) return;
  const bool Quoted = Line[At] == L'"';
  const size_t End = Quoted ? Line.find(L'"', At + 1) : Line.find_first_of(L" \t", At);
  for (size_t I = At; I < (End == std::wstring::npos ? Line.size() : End); ++I)
    if (Line[I] == L'/') Line[I] = L'\\';
}

// The child's standard handles, and the attribute that makes it inherit
// them and no others. A handle that is not inheritable goes as an
// inheritable copy, closed once the child has started.
class InheritOnly {
 public:
  InheritOnly() = default;
  InheritOnly(const InheritOnly&) = delete;
  InheritOnly& operator=(const InheritOnly&) = delete;
  // Keeps the last error of a failed start.
  ~InheritOnly() {
    const DWORD Error = ::GetLastError();
    for (HANDLE Copy : FCopies) ::CloseHandle(Copy);
    if (FInitialized) ::DeleteProcThreadAttributeList(List());
    ::SetLastError(Error);
  }

  // Out: what the child gets for H (null for kNoHandle).
  bool Add(Handle H, HANDLE& Out) {
    Out = nullptr;
    if (H == kNoHandle) return true;
    HANDLE Given = Native(H);
    DWORD Flags = 0;
    if (!::GetHandleInformation(Given, &Flags)) return false;
    if (!(Flags & HANDLE_FLAG_INHERIT)) {
      const HANDLE Self = ::GetCurrentProcess();
      if (!::DuplicateHandle(Self, Given, Self, &Given, 0, TRUE, DUPLICATE_SAME_ACCESS))
        return false;
      FCopies.push_back(Given);
    }
    // The list takes each handle once.
    if (std::find(FHandles.begin(), FHandles.end(), Given) == FHandles.end())
      FHandles.push_back(Given);
    Out = Given;
    return true;
  }

  bool Empty() const { return FHandles.empty(); }

  // Null when there is nothing to inherit; false on failure (last error set).
  bool Make(LPPROC_THREAD_ATTRIBUTE_LIST& Out) {
    Out = nullptr;
    if (FHandles.empty()) return true;
    SIZE_T Size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &Size);
    FStorage.resize(Size);
    if (!::InitializeProcThreadAttributeList(List(), 1, 0, &Size)) return false;
    FInitialized = true;
    if (!::UpdateProcThreadAttribute(List(), 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, FHandles.data(),
                                     FHandles.size() * sizeof(HANDLE), nullptr, nullptr))
      return false;
    Out = List();
    return true;
  }

 private:
  LPPROC_THREAD_ATTRIBUTE_LIST List() {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(FStorage.data());
  }

  std::vector<HANDLE> FHandles;
  std::vector<HANDLE> FCopies;
  std::vector<unsigned char> FStorage;
  bool FInitialized = false;
};

}  // namespace

bool CreateProcess(std::string_view CommandLine, std::string_view WorkDir, uint32_t CreationFlags,
                   const StdHandles& Std, ProcessInformation& Info) {
  std::wstring Line, Dir;
  if (HasNul(CommandLine) || HasNul(WorkDir)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  if (!win32::ToUtf16(CP_UTF8, CommandLine, Line) || !win32::ToUtf16(CP_UTF8, WorkDir, Dir))
    return false;
  BackslashProgram(Line);
  InheritOnly Inherit;
  STARTUPINFOEXW Startup{};
  Startup.StartupInfo.cb = sizeof Startup;
  Startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  if (!Inherit.Add(Std.Input, Startup.StartupInfo.hStdInput) ||
      !Inherit.Add(Std.Output, Startup.StartupInfo.hStdOutput) ||
      !Inherit.Add(Std.Error, Startup.StartupInfo.hStdError) ||
      !Inherit.Make(Startup.lpAttributeList))
    return false;
  PROCESS_INFORMATION Process{};
  if (!::CreateProcessW(nullptr, Line.data(), nullptr, nullptr, !Inherit.Empty(),
                        CreationFlags | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                        Dir.empty() ? nullptr : Dir.c_str(), &Startup.StartupInfo, &Process))
    return false;
  ::CloseHandle(Process.hThread);
  Info.Process = reinterpret_cast<Handle>(Process.hProcess);
  Info.ProcessId = Process.dwProcessId;
  return true;
}

bool GetExitCodeProcess(Handle Process, uint32_t& ExitCode) {
  DWORD Code = 0;
  if (!::GetExitCodeProcess(Native(Process), &Code)) return false;
  ExitCode = Code;
  return true;
}

bool TerminateProcess(Handle Process, uint32_t ExitCode) {
  return ::TerminateProcess(Native(Process), ExitCode);
}

uint32_t GetProcessId(Handle Process) { return ::GetProcessId(Native(Process)); }

uint32_t CurrentProcessId() { return ::GetCurrentProcessId(); }

}  // namespace green::os
