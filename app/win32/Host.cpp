// What the launcher uses of Windows outside its window: the TMAINFORM
// resource, the application's hidden window, and the message box that
// reports an exception that ended start-up.
#include "app/win32/Text.h"

#include "app/FormText.h"
#include "app/MainFormLayout.h"
#include "app/fmMain.h"
#include "app/win32/MainForm.h"

namespace green {

std::string_view MainFormResource() {
  const HRSRC Info = ::FindResourceW(nullptr, L"TMAINFORM", MAKEINTRESOURCEW(10));  // RT_RCDATA
  const HGLOBAL Data = Info ? ::LoadResource(nullptr, Info) : nullptr;
  const void* Bytes = Data ? ::LockResource(Data) : nullptr;
  if (!Bytes) throw EFormError("TMAINFORM: the executable has no such resource");
  return {static_cast<const char*>(Bytes), ::SizeofResource(nullptr, Info)};
}

// Never shown: it stands for the application, for example as the owner of
// what the shell starts.
os::WindowHandle ApplicationHandle() {
  static const HWND Handle = [] {
    WNDCLASSW Class{};
    Class.lpfnWndProc = ::DefWindowProcW;
    Class.hInstance = ::GetModuleHandleW(nullptr);
    Class.lpszClassName = L"TGreenApplication";
    ::RegisterClassW(&Class);
    return ::CreateWindowExW(0, Class.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                             Class.hInstance, nullptr);
  }();
  return Handle;
}

int RunInstallPrompt(const TPromptHooks& Hooks) {
  RunPromptWindow(ReadMainFormLayout(MainFormResource()), kDownloadUrl, Hooks);
  return 0;
}

void ReportStartupException(std::exception_ptr Error) {
  const std::wstring Text = win32::Wide(DescribeException(Error));
  ::MessageBoxW(nullptr, Text.c_str(), L"Launcher", MB_OK | MB_ICONERROR | MB_TASKMODAL | MB_SETFOREGROUND);
}

}  // namespace green
