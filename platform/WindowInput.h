// Window input as the message-aware wait of a windowed process's main
// thread sees it (MsgWaitForMultipleObjects in platform/Kernel.h).
//
// win32: the thread's message queue is that input; nothing registers here.
// posix: the thread's queue of posted messages, plus the connection of the
// window toolkit that runs on the main thread, which the toolkit registers
// while its windows live. The wait polls the connection's descriptor and
// asks Pending about input the toolkit has already read; PumpMessages calls
// Dispatch, which handles what is queued without waiting. Dispatch must not
// raise: the toolkit's callbacks run inside it.
#pragma once

namespace green::os {

struct WindowInputSource {
  int Fd = -1;  // polls readable when the display has sent something
  bool (*Pending)(void* Data) = nullptr;
  void (*Dispatch)(void* Data) = nullptr;
  void* Data = nullptr;
  explicit operator bool() const { return Fd >= 0 && Dispatch != nullptr; }
};

// On the main thread. Replaces the registered source; an empty one removes
// it. posix only; win32 ignores it.
void SetWindowInputSource(const WindowInputSource& Source);
WindowInputSource GetWindowInputSource();

}  // namespace green::os
