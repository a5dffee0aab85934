// Window procedures run inside system frames, and on i686 an exception that
// unwinds through one ends the process. Each procedure is entered through
// a trampoline that keeps the exception for the thread (platform/Callback.h);
// the code that called into the system (the message loop, a window's
// creation) raises it again once the system call has returned.
#pragma once

#include "platform/win32/Win.h"

namespace green::win32 {

// Implemented by a window object; the trampoline finds it in the window's
// user data, which it sets from the creation parameter.
class TWindowObject {
 public:
  virtual LRESULT WindowProc(HWND Window, UINT Message, WPARAM W, LPARAM L) = 0;

 protected:
  ~TWindowObject() = default;
};

// The procedure to register for classes whose windows are created with a
// TWindowObject* as the creation parameter.
LRESULT CALLBACK WindowProcTrampoline(HWND Window, UINT Message, WPARAM W, LPARAM L) noexcept;

// Raises the exception parked by a trampoline on this thread, if any.
void RaisePendingException();

// Runs the thread's message loop until WM_QUIT; an exception parked while
// a message was dispatched is raised after DispatchMessageW returns.
void RunMessageLoop();

}  // namespace green::win32
