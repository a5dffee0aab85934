#include "app/win32/WindowProc.h"

#include <exception>

#include "base/Exception.h"
#include "platform/Error.h"

namespace green::win32 {

namespace {

thread_local std::exception_ptr Pending;

}  // namespace

LRESULT CALLBACK WindowProcTrampoline(HWND Window, UINT Message, WPARAM W, LPARAM L) noexcept {
  try {
    if (Message == WM_NCCREATE) {
      const auto* Create = reinterpret_cast<const CREATESTRUCTW*>(L);
      ::SetWindowLongPtrW(Window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(Create->lpCreateParams));
    }
    auto* Object = reinterpret_cast<TWindowObject*>(::GetWindowLongPtrW(Window, GWLP_USERDATA));
    if (Object) return Object->WindowProc(Window, Message, W, L);
  } catch (...) {
    // The first one wins: later ones are usually its consequences.
    if (!Pending) Pending = std::current_exception();
    return 0;
  }
  return ::DefWindowProcW(Window, Message, W, L);
}

void RaisePendingException() {
  if (!Pending) return;
  std::exception_ptr Error = Pending;
  Pending = nullptr;
  std::rethrow_exception(Error);
}

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
