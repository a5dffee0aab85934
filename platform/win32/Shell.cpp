// The shell on win32: ShellExecuteW for URLs, ShellExecuteExW for programs.
#include "platform/win32/Win.h"

#include <shellapi.h>

#include "platform/CommandLine.h"
#include "platform/Shell.h"
#include "platform/win32/Utf16.h"

namespace green::os {

namespace {

std::wstring Wide(const std::string& Utf8) {
  std::wstring Out;
  win32::ToUtf16(CP_UTF8, Utf8, Out);
  return Out;
}

std::string Narrow(std::wstring_view Text) {
  std::string Out;
  win32::FromUtf16(CP_UTF8, Text, Out);
  return Out;
}

// The shell's library is loaded on first use: most processes never need
// it, and it brings much of the system with it.
template <typename Fn>
Fn ShellFunction(const char* Name) {
  static const HMODULE Shell = ::LoadLibraryW(L"shell32.dll");
  return Shell ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(Shell, Name))) : nullptr;
}

// ShellExecuteW answers an error code of 32 or less instead of a handle.
bool ShellSucceeded(HINSTANCE Result) {
  const auto Code = reinterpret_cast<INT_PTR>(Result);
  if (Code > 32) return true;
  if (::GetLastError() == ERROR_SUCCESS) ::SetLastError(Code == 0 ? ERROR_NOT_ENOUGH_MEMORY : Code);
  return false;
}

// Reads a string that a system call fills, growing the buffer as it asks.
template <typename Fill>
std::wstring ReadGrowing(Fill&& Get) {
  std::wstring Buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD Length = Get(Buffer.data(), static_cast<DWORD>(Buffer.size()));
    if (Length == 0) return {};
    if (Length < Buffer.size()) {
      Buffer.resize(Length);
      return Buffer;
    }
    Buffer.resize(Buffer.size() * 2);
  }
}

}  // namespace

bool OpenUrl(const std::string& Url) {
  const std::wstring File = Wide(Url);
  static const auto Execute = ShellFunction<decltype(&::ShellExecuteW)>("ShellExecuteW");
  if (!Execute) return false;
  ::SetLastError(ERROR_SUCCESS);
  return ShellSucceeded(Execute(nullptr, L"open", File.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
}

// The record is filled field by field: every field not named stays zero.
// The process handle that SEE_MASK_NOCLOSEPROCESS returns is deliberately
// neither waited on nor closed: the program outlives its launcher.
bool StartDetached(const std::string& Exe, const std::string& Parameters, WindowHandle Owner) {
  static_assert(sizeof(void*) != 4 || sizeof(SHELLEXECUTEINFOW) == 60);
  const std::wstring File = Wide(Exe);
  const std::wstring Params = Wide(Parameters);
  SHELLEXECUTEINFOW Info{};
  Info.cbSize = sizeof Info;
  Info.fMask = SEE_MASK_NOCLOSEPROCESS;
  Info.hwnd = static_cast<HWND>(Owner);
  Info.lpVerb = nullptr;
  Info.lpFile = File.c_str();
  Info.lpParameters = Params.c_str();
  Info.lpDirectory = nullptr;
  Info.nShow = SW_SHOWNORMAL;
  static const auto ExecuteEx = ShellFunction<decltype(&::ShellExecuteExW)>("ShellExecuteExW");
  return ExecuteEx && ExecuteEx(&Info) != FALSE;
}

std::vector<std::string> ProcessArguments() {
  std::vector<std::string> Args = SplitCommandLine(Narrow(::GetCommandLineW()));
  if (!Args.empty()) Args.erase(Args.begin());
  return Args;
}

// The system keeps a root's backslash ("C:\") and drops every other one.
std::string CurrentDirectory() {
  return Narrow(ReadGrowing([](wchar_t* Buffer, DWORD Size) {
    const DWORD Length = ::GetCurrentDirectoryW(Size, Buffer);
    return Length > Size ? Size : Length;  // too small: the size it needs
  }));
}

std::string ExecutableDirectory() {
  std::wstring Path = ReadGrowing([](wchar_t* Buffer, DWORD Size) {
    return ::GetModuleFileNameW(nullptr, Buffer, Size);
  });
  const size_t Slash = Path.find_last_of(L"\\/");
  if (Slash == std::wstring::npos) return {};
  Path.resize(Slash == 2 && Path[1] == L':' ? Slash + 1 : Slash);
  return Narrow(Path);
}

}  // namespace green::os
