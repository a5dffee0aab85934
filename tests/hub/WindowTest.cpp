// Window input on the main thread of a windowed process. Windows: a real
// window (under Wine only when its server was started with a display) whose
// messages the hub's wait pumps to its window procedure. posix: a toolkit's
// display connection, stood in for by a pipe, that the hub's wait watches
// and whose input it hands to the toolkit's dispatch.
#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

#include <thread>

#include "hub/Hub.h"
#include "platform/Thread.h"
#include "platform/WindowInput.h"

#include <gtest/gtest.h>

namespace green {
namespace {

#ifdef _WIN32

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
    WNDCLASSW Wc{};
    Wc.lpfnWndProc = CountingProc;
    Wc.hInstance = Instance;
    Wc.lpszClassName = kClassName;
    Class = ::RegisterClassW(&Wc);
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
  TTestWindow W;
  ASSERT_NE(W.Class, 0) << "RegisterClassW: error " << ::GetLastError();
  ASSERT_NE(W.Wnd, nullptr) << "CreateWindowExW: error " << ::GetLastError()
                            << " (under Wine: was the wineserver started without DISPLAY?)";
  int Received = 0;
  ::SetWindowLongPtrW(W.Wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&Received));
  TSingleThreadHub Hub;
  ASSERT_TRUE(::PostMessageW(W.Wnd, WM_APP, 0, 0));
  EXPECT_TRUE(Hub.Serve(5000));
  EXPECT_EQ(Received, 1) << "the hub's wait dispatched the window's message";
  const HWND Wnd = W.Wnd;
  W.Wnd = nullptr;
  EXPECT_TRUE(::DestroyWindow(Wnd));
  EXPECT_FALSE(::IsWindow(Wnd));
}

#else

// A toolkit as the wait sees it: a connection (the read end of a pipe) it
// reads from when it dispatches, and a queue of input it has already read.
struct TFakeToolkit {
  int Pipe[2] = {-1, -1};
  int Queued = 0;      // read but not dispatched yet
  int Dispatched = 0;  // input handed to its handlers
  int Dispatches = 0;
  bool WasConsole = os::IsConsoleApp();

  TFakeToolkit() {
    EXPECT_EQ(pipe(Pipe), 0);
    os::SetConsoleApp(false);
    os::SetWindowInputSource({Pipe[0], &IsPending, &Dispatch, this});
  }
  ~TFakeToolkit() {
    os::SetWindowInputSource({});
    os::SetConsoleApp(WasConsole);
    close(Pipe[0]);
    close(Pipe[1]);
  }
  void Send() { ASSERT_EQ(write(Pipe[1], "x", 1), 1); }

  static bool IsPending(void* Self) { return static_cast<TFakeToolkit*>(Self)->Queued > 0; }
  // Reads what the connection holds, as a toolkit's dispatch does, and
  // handles everything queued.
  static void Dispatch(void* Self) {
    auto& T = *static_cast<TFakeToolkit*>(Self);
    ++T.Dispatches;
    char Buf[64];
    pollfd P{T.Pipe[0], POLLIN, 0};
    while (poll(&P, 1, 0) == 1) {
      const ssize_t N = read(T.Pipe[0], Buf, sizeof Buf);
      if (N <= 0) break;
      T.Queued += static_cast<int>(N);
    }
    T.Dispatched += T.Queued;
    T.Queued = 0;
  }
};

TEST(Window, InputOnTheDisplayConnectionEndsTheWaitAndIsDispatched) {
  ASSERT_TRUE(os::IsMainThread());
  TFakeToolkit Toolkit;
  TSingleThreadHub Hub;
  EXPECT_FALSE(Hub.Serve(20)) << "no input, no tasks";
  EXPECT_EQ(Toolkit.Dispatches, 0);
  std::thread Display([&] { Toolkit.Send(); });
  EXPECT_TRUE(Hub.Serve(5000));
  Display.join();
  EXPECT_EQ(Toolkit.Dispatched, 1) << "the wait handed the input to the toolkit";
  EXPECT_FALSE(Hub.Serve(20)) << "the input was taken";
}

TEST(Window, InputTheToolkitHasAlreadyReadIsDispatchedWithoutWaiting) {
  TFakeToolkit Toolkit;
  Toolkit.Queued = 2;
  TSingleThreadHub Hub;
  EXPECT_TRUE(Hub.Serve(INFINITE));
  EXPECT_EQ(Toolkit.Dispatched, 2);
}

TEST(Window, AConsoleProcessAndOtherThreadsIgnoreTheToolkit) {
  TFakeToolkit Toolkit;
  Toolkit.Send();
  os::SetConsoleApp(true);
  {
    TSingleThreadHub Hub;
    EXPECT_FALSE(Hub.Serve(20));
  }
  os::SetConsoleApp(false);
  std::thread Other([] {
    TSingleThreadHub Hub;
    EXPECT_FALSE(Hub.Serve(20)) << "only the main thread has window input";
  });
  Other.join();
  EXPECT_EQ(Toolkit.Dispatches, 0);
  TSingleThreadHub Hub;
  EXPECT_TRUE(Hub.Serve(5000));
  EXPECT_EQ(Toolkit.Dispatched, 1);
}

// Objects keep the lower answers: input does not hide a signalled event.
TEST(Window, ASignalledObjectComesBeforeWindowInput) {
  TFakeToolkit Toolkit;
  Toolkit.Send();
  const os::Handle Ev = os::CreateEvent(true, true);
  EXPECT_EQ(os::MsgWaitForMultipleObjects(1, &Ev, 0), os::kWaitObject0);
  os::ResetEvent(Ev);
  EXPECT_EQ(os::MsgWaitForMultipleObjects(1, &Ev, 0), os::kWaitObject0 + 1);
  EXPECT_TRUE(os::HasPendingMessages());
  os::PumpMessages();
  EXPECT_FALSE(os::HasPendingMessages());
  EXPECT_EQ(os::MsgWaitForMultipleObjects(1, &Ev, 0), os::kWaitTimeout);
  os::CloseHandle(Ev);
}

#endif

}  // namespace
}  // namespace green
