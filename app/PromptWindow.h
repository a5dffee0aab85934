// The install prompt's window, as each toolkit shows it: app/win32 is
// linked into the launcher, app/gtk is a shared module that the launcher
// loads only when the prompt must be shown, so the worker branch never
// pays for the toolkit. Both render a TMainFormLayout and nothing else.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/MainFormLayout.h"
#include "platform/WindowInput.h"

namespace green {

// What the window looks like as shown, for observers such as tests.
struct TPromptSnapshot {
  std::string Caption;
  bool Resizable = true;
  bool ToolWindow = false;
  int ClientWidth = 0;
  int ClientHeight = 0;
  int ScreenLeft = 0;  // the client area's origin on the screen
  int ScreenTop = 0;
  TBounds Memo;  // in client coordinates, as the toolkit placed them
  TBounds Label;
  bool LabelHandCursor = false;
  std::string LabelFace;  // the face the label's font resolved to
  int LabelTextWidth = 0;  // the caption's extent in that font
  int LabelTextHeight = 0;
  int MemoRows = 0;  // rows the memo's lines take once wrapped
  int MemoVisibleRows = 0;  // whole rows its view shows
  uint32_t FormColor = 0;  // the form's colour as resolved, 0xRRGGBB
  std::vector<uint32_t> Pixels;  // the client area, 0xRRGGBB, row by row
};

class TPromptWindow {
 public:
  // On the window's thread.
  virtual TPromptSnapshot Snapshot() = 0;
  // From any thread: closes the window as its close box would.
  virtual void RequestClose() = 0;

 protected:
  ~TPromptWindow() = default;
};

struct TPromptHooks {
  // The label's click handler calls it with the download page's address.
  std::function<void(const std::string& Url)> OpenUrl;
  // Called once on the window's thread when the window has been drawn.
  std::function<void(TPromptWindow& Window)> Shown;
  // posix: called with the toolkit's display connection while the window
  // lives, and with an empty source before the loop returns, so that the
  // hub's wait on the main thread can hand window input to the toolkit.
  std::function<void(const os::WindowInputSource& Source)> WindowInput;
};

enum TPromptResult { prClosed = 0, prNoDisplay = 1 };

// Shows the window and runs the message loop until it is closed. An
// exception raised by a hook inside the toolkit's callbacks is held until
// the toolkit returns and raised again here. prNoDisplay (posix) when no
// display can be opened; nothing was shown then.
using TRunPromptWindow = TPromptResult (*)(const TMainFormLayout& Layout, const std::string& Url,
                                          const TPromptHooks& Hooks);

// The name under which the GTK module exports its TRunPromptWindow.
constexpr const char* kPromptModuleEntry = "GreenRunPromptWindow";
constexpr const char* kPromptModuleName = "libgreen_prompt_gtk.so";

}  // namespace green
