#include "app/win32/WindowProc.h"

#include "base/Exception.h"
#include "platform/Callback.h"
#include "platform/Error.h"

namespace green::win32 {

// After a failure only the system's default handling runs until the loop
// has raised it: later failures are usually its consequences, and a
// message's answer cannot wait for the next loop turn.
LRESULT CALLBACK WindowProcTrampoline(HWND Window, UINT Message, WPARAM W, LPARAM L) noexcept {
  if (os::CallbackFailed()) return ::DefWindowProcW(Window, Message, W, L);
  LRESULT Result = 0;
  os::RunSystemCallback([&] {
    if (Message == WM_NCCREATE) {
      const auto* Create = reinterpret_cast<const CREATESTRUCTW*>(L);
      ::SetWindowLongPtrW(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Create->lpCreateParams));
    }
    auto* Object = reinterpret_cast<TWindowObject*>(::GetWindowLongPtrW(Window, GWLP_USERDATA));
    Result = Object ? Object->WindowProc(Window, Message, W, L)
                    : ::DefWindowProcW(Window, Message, W, L);
  });
  return Result;
}

void RaisePendingException() { os::RaiseCallbackFailure(); }

void RunMessageLoop() {
  MSG Message;
  for (;;) {
    const BOOL Got = ::GetMessageW(&Message, nullptr, 0, 0);
    RaisePendingException();
    if (Got == 0) return;
    if (Got == -1) throw Exception("GetMessage failed: " + os::SysErrorMessage(::GetLastError()));
    ::TranslateMessage(&Message);
    ::DispatchMessageW(&Message);
    RaisePendingException();
  }
}

}  // namespace green::win32
