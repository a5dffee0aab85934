// A real window on the main thread of a windowed process: the window driver
// works (under Wine only when its server was started with a display) and
// the hub's wait pumps the window's messages to its window procedure.
// Windows only: the Linux window arrives with the launcher.
#include <windows.h>

#include "hub/Hub.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

namespace green {
namespace {

const wchar_t* const kClassName = L"GreenHubTestWindow";

// Called by the system: nothing may escape it, and nothing here throws.
LRESULT CALLBACK CountingProc(HWND Wnd, UINT Msg, WPARAM W, LPARAM L) noexcept {
  if (Msg == WM_APP) {
    ++*reinterpret_cast<int*>(::GetWindowLongPtrW(Wnd, GWLP_USERDATA));
    return 0;
  }
  return ::DefWindowProcW(Wnd, Msg, W, L);
}

// The window, its class and the windowed mode, undone however the test ends.
struct TTestWindow {
  HINSTANCE Instance = ::GetModuleHandleW(nullptr);
  bool WasConsole = os::IsConsoleApp();
  ATOM Class = 0;
  HWND Wnd = nullptr;

  TTestWindow() {
    os::SetConsoleApp(false);
    WNDCLASSW wc{};
    wc.lpfnWndProc = CountingProc;
    wc.hInstance = Instance;
    wc.lpszClassName = kClassName;
    Class = ::RegisterClassW(&wc);
    if (Class)
      Wnd = ::CreateWindowExW(0, kClassName, L"hub test", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 200, 100, nullptr, nullptr, Instance, nullptr);
  }
  ~TTestWindow() {
    if (Wnd) ::DestroyWindow(Wnd);
    if (Class) ::UnregisterClassW(kClassName, Instance);
    os::SetConsoleApp(WasConsole);
  }
};

TEST(Window, IsCreatedPumpedByTheHubAndDestroyed) {
  ASSERT_TRUE(os::IsMainThread());
  TTestWindow w;
  ASSERT_NE(w.Class, 0) << "RegisterClassW: error " << ::GetLastError();
  ASSERT_NE(w.Wnd, nullptr) << "CreateWindowExW: error " << ::GetLastError()
                            << " (under Wine: was the wineserver started without DISPLAY?)";
  int received = 0;
  ::SetWindowLongPtrW(w.Wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&received));
  TSingleThreadHub hub;
  ASSERT_TRUE(::PostMessageW(w.Wnd, WM_APP, 0, 0));
  EXPECT_TRUE(hub.Serve(5000));
  EXPECT_EQ(received, 1) << "the hub's wait dispatched the window's message";
  const HWND wnd = w.Wnd;
  w.Wnd = nullptr;
  EXPECT_TRUE(::DestroyWindow(wnd));
  EXPECT_FALSE(::IsWindow(wnd));
}

}  // namespace
}  // namespace green
