// TMainForm on Win32: a tool window with a multi-line EDIT for the memo and
// a notifying STATIC for the label, placed in pixels from the layout.
#include "app/win32/Text.h"

#include "app/win32/MainForm.h"

#include "app/win32/WindowProc.h"
#include "base/Exception.h"
#include "platform/Error.h"

namespace green {

namespace {

constexpr UINT kShownMessage = WM_APP + 1;
constexpr int kMemoId = 1;
constexpr int kLabelId = 2;
constexpr const wchar_t* kClassName = L"TMainForm";

// The system cursors by number: their IDC_ names depend on UNICODE.
HCURSOR SystemCursor(WORD Id) { return ::LoadCursorW(nullptr, MAKEINTRESOURCEW(Id)); }
constexpr WORD kArrowCursor = 32512;  // IDC_ARROW
constexpr WORD kHandCursor = 32649;   // IDC_HAND

COLORREF ColorRef(const TColor& Color) {
  if (Color.IsSystem) return ::GetSysColor(static_cast<int>(Color.Value));
  return RGB(Color.Value >> 16 & 0xFF, Color.Value >> 8 & 0xFF, Color.Value & 0xFF);
}

uint32_t Rgb(COLORREF Color) { return GetRValue(Color) << 16 | GetGValue(Color) << 8 | GetBValue(Color); }

// A negative height asks for that character height in pixels, as designed.
HFONT MakeFont(const TFontDesc& Font) {
  return ::CreateFontW(Font.Height, 0, 0, 0, Font.Bold ? FW_BOLD : FW_NORMAL, Font.Italic, Font.Underline, FALSE,
                       DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, win32::Wide(Font.Name).c_str());
}

struct TTextMeasure {
  SIZE Extent{};
  TEXTMETRICW Metrics{};
  std::wstring Face;
};

// Text as drawn on Window's screen in Font: its extent, the font's metrics
// and the face that the font resolved to.
TTextMeasure Measure(HWND Window, HFONT Font, const std::wstring& Text) {
  TTextMeasure M;
  HDC Dc = ::GetDC(Window);
  HGDIOBJ Old = ::SelectObject(Dc, Font);
  ::GetTextExtentPoint32W(Dc, Text.c_str(), static_cast<int>(Text.size()), &M.Extent);
  ::GetTextMetricsW(Dc, &M.Metrics);
  wchar_t Face[LF_FACESIZE] = {};
  ::GetTextFaceW(Dc, LF_FACESIZE, Face);
  M.Face = Face;
  ::SelectObject(Dc, Old);
  ::ReleaseDC(Window, Dc);
  return M;
}

TBounds BoundsIn(HWND Parent, HWND Child) {
  RECT R;
  ::GetWindowRect(Child, &R);
  ::MapWindowPoints(nullptr, Parent, reinterpret_cast<POINT*>(&R), 2);
  return {R.left, R.top, R.right - R.left, R.bottom - R.top};
}

class TMainFormWindow final : public TPromptWindow, public win32::TWindowObject {
 public:
  TMainFormWindow(const TMainFormLayout& Layout, const std::string& Url, const TPromptHooks& Hooks)
      : FLayout(Layout), FUrl(Url), FHooks(Hooks), FMemoFont(MakeFont(Layout.Memo.Font)),
        FLabelFont(MakeFont(Layout.Label.Font)), FFormBrush(::CreateSolidBrush(ColorRef(Layout.Color))),
        FMemoBrush(::CreateSolidBrush(ColorRef(Layout.Memo.Color))) {}

  ~TMainFormWindow() {
    if (FHandle) {
      // Destroyed without its procedure: no quit message is left behind
      // to end whatever loop runs next (a report's message box).
      ::SetWindowLongPtrW(FHandle, GWLP_USERDATA, 0);
      ::DestroyWindow(FHandle);
    }
    ::DeleteObject(FMemoFont);
    ::DeleteObject(FLabelFont);
    ::DeleteObject(FFormBrush);
    ::DeleteObject(FMemoBrush);
  }

  void Create();
  TPromptSnapshot Snapshot() override;
  // As the close box does.
  void RequestClose() override { ::PostMessageW(FHandle, WM_SYSCOMMAND, SC_CLOSE, 0); }
  LRESULT WindowProc(HWND Window, UINT Message, WPARAM W, LPARAM L) override;

 private:
  void CreateFrame();
  void FitClientArea();
  HWND CreateChild(const wchar_t* Class, const std::string& Text, DWORD Style, DWORD ExStyle, const TBounds& B,
                   int Id, HFONT Font);
  void Label1Click() { FHooks.OpenUrl(FUrl); }

  const TMainFormLayout& FLayout;
  const std::string FUrl;
  const TPromptHooks& FHooks;
  HWND FHandle = nullptr;
  HWND FMemo = nullptr;
  HWND FLabel = nullptr;
  HFONT FMemoFont;
  HFONT FLabelFont;
  HBRUSH FFormBrush;
  HBRUSH FMemoBrush;
  bool FShown = false;
};

void TMainFormWindow::CreateFrame() {
  static const ATOM Class = [] {
    WNDCLASSEXW C{};
    C.cbSize = sizeof C;
    C.lpfnWndProc = win32::WindowProcTrampoline;
    C.hInstance = ::GetModuleHandleW(nullptr);
    C.hCursor = SystemCursor(kArrowCursor);
    C.lpszClassName = kClassName;
    return ::RegisterClassExW(&C);
  }();
  if (!Class) throw Exception("Cannot register the window class: " + os::SysErrorMessage(::GetLastError()));
  // A fixed frame; the main form owns the taskbar button even as a tool window.
  const bool Tool = FLayout.BorderStyle == bsToolWindow;
  const DWORD Style = WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN | (Tool ? 0 : WS_MINIMIZEBOX);
  const DWORD ExStyle = WS_EX_APPWINDOW | WS_EX_CONTROLPARENT | (Tool ? WS_EX_TOOLWINDOW : 0);
  RECT R{0, 0, FLayout.Bounds.Width, FLayout.Bounds.Height};
  ::AdjustWindowRectEx(&R, Style, FALSE, ExStyle);
  const int Width = R.right - R.left, Height = R.bottom - R.top;
  int X = FLayout.Bounds.Left, Y = FLayout.Bounds.Top;
  if (FLayout.Position == poDesktopCenter) {
    X = ::GetSystemMetrics(SM_XVIRTUALSCREEN) + (::GetSystemMetrics(SM_CXVIRTUALSCREEN) - Width) / 2;
    Y = ::GetSystemMetrics(SM_YVIRTUALSCREEN) + (::GetSystemMetrics(SM_CYVIRTUALSCREEN) - Height) / 2;
  }
  FHandle = ::CreateWindowExW(ExStyle, kClassName, win32::Wide(FLayout.Caption).c_str(), Style, X, Y, Width, Height,
                              nullptr, nullptr, ::GetModuleHandleW(nullptr), static_cast<win32::TWindowObject*>(this));
  win32::RaisePendingException();
  if (!FHandle) throw Exception("Cannot create the window: " + os::SysErrorMessage(::GetLastError()));
}

// The frame's metrics may differ from what the system predicted (themes,
// Wine): the client area is what the layout fixes, so correct for them.
void TMainFormWindow::FitClientArea() {
  RECT Client, Frame;
  ::GetClientRect(FHandle, &Client);
  const int DW = FLayout.Bounds.Width - Client.right, DH = FLayout.Bounds.Height - Client.bottom;
  if (DW == 0 && DH == 0) return;
  ::GetWindowRect(FHandle, &Frame);
  ::SetWindowPos(FHandle, nullptr, Frame.left - DW / 2, Frame.top - DH / 2, Frame.right - Frame.left + DW,
                 Frame.bottom - Frame.top + DH, SWP_NOZORDER | SWP_NOACTIVATE);
}

HWND TMainFormWindow::CreateChild(const wchar_t* Class, const std::string& Text, DWORD Style, DWORD ExStyle,
                                  const TBounds& B, int Id, HFONT Font) {
  HWND Child = ::CreateWindowExW(ExStyle, Class, win32::Wide(Text).c_str(), WS_CHILD | WS_VISIBLE | Style, B.Left,
                                 B.Top, B.Width, B.Height, FHandle, reinterpret_cast<HMENU>(INT_PTR(Id)),
                                 ::GetModuleHandleW(nullptr), nullptr);
  win32::RaisePendingException();
  if (!Child) throw Exception("Cannot create a control: " + os::SysErrorMessage(::GetLastError()));
  ::SendMessageW(Child, WM_SETFONT, reinterpret_cast<WPARAM>(Font), FALSE);
  return Child;
}

void TMainFormWindow::Create() {
  CreateFrame();
  FitClientArea();
  std::string Lines;
  for (size_t I = 0; I < FLayout.Memo.Lines.size(); ++I) Lines += (I ? "\r\n" : "") + FLayout.Memo.Lines[I];
  // Editable and word-wrapped (no ES_AUTOHSCROLL), without scroll bars.
  FMemo = CreateChild(L"EDIT", Lines, WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN, WS_EX_CLIENTEDGE,
                      FLayout.MemoBounds(), kMemoId, FMemoFont);
  TBounds Label = FLayout.Label.Bounds;
  if (FLayout.Label.AutoSize) {
    const SIZE Extent = Measure(FHandle, FLabelFont, win32::Wide(FLayout.Label.Caption)).Extent;
    Label.Width = Extent.cx, Label.Height = Extent.cy;
  }
  FLabel = CreateChild(L"STATIC", FLayout.Label.Caption, SS_LEFT | SS_NOTIFY | SS_NOPREFIX, 0, Label, kLabelId,
                       FLabelFont);
  ::ShowWindow(FHandle, SW_SHOWNORMAL);
  ::SetFocus(FMemo);  // tab order 0
  ::RedrawWindow(FHandle, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
  win32::RaisePendingException();
  // Posted after the first paint: observers see the window drawn.
  if (FHooks.Shown) ::PostMessageW(FHandle, kShownMessage, 0, 0);
}

LRESULT TMainFormWindow::WindowProc(HWND Window, UINT Message, WPARAM W, LPARAM L) {
  switch (Message) {
    case WM_ERASEBKGND: {
      RECT R;
      ::GetClientRect(Window, &R);
      ::FillRect(reinterpret_cast<HDC>(W), &R, FFormBrush);
      return 1;
    }
    case WM_CTLCOLOREDIT:
      ::SetTextColor(reinterpret_cast<HDC>(W), ColorRef(FLayout.Memo.Font.Color));
      ::SetBkColor(reinterpret_cast<HDC>(W), ColorRef(FLayout.Memo.Color));
      return reinterpret_cast<LRESULT>(FMemoBrush);
    case WM_CTLCOLORSTATIC:
      ::SetTextColor(reinterpret_cast<HDC>(W), ColorRef(FLayout.Label.Font.Color));
      ::SetBkColor(reinterpret_cast<HDC>(W), ColorRef(FLayout.Color));
      return reinterpret_cast<LRESULT>(FFormBrush);
    case WM_SETCURSOR:
      if (reinterpret_cast<HWND>(W) == FLabel && LOWORD(L) == HTCLIENT && FLayout.Label.Cursor == crHandPoint) {
        ::SetCursor(SystemCursor(kHandCursor));
        return TRUE;
      }
      break;
    case WM_COMMAND:
      // A quick second click arrives as a double click: it opens again too.
      if (LOWORD(W) == kLabelId && (HIWORD(W) == STN_CLICKED || HIWORD(W) == STN_DBLCLK)) {
        if (!FLayout.Label.OnClick.empty()) Label1Click();
        return 0;
      }
      break;
    case kShownMessage:
      if (!FShown && FHooks.Shown) {
        FShown = true;
        FHooks.Shown(*this);
      }
      return 0;
    case WM_DESTROY:
      ::PostQuitMessage(0);  // the main form: closing it ends the loop
      return 0;
    case WM_NCDESTROY:
      FHandle = nullptr;
      break;
  }
  return ::DefWindowProcW(Window, Message, W, L);
}

TPromptSnapshot TMainFormWindow::Snapshot() {
  TPromptSnapshot S;
  wchar_t Caption[256] = {};
  ::GetWindowTextW(FHandle, Caption, 256);
  S.Caption = win32::Narrow(Caption);
  S.Resizable = (::GetWindowLongW(FHandle, GWL_STYLE) & WS_THICKFRAME) != 0;
  S.ToolWindow = (::GetWindowLongW(FHandle, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) != 0;
  RECT Client;
  ::GetClientRect(FHandle, &Client);
  S.ClientWidth = Client.right, S.ClientHeight = Client.bottom;
  POINT Origin{0, 0};
  ::ClientToScreen(FHandle, &Origin);
  S.ScreenLeft = Origin.x, S.ScreenTop = Origin.y;
  S.Memo = BoundsIn(FHandle, FMemo);
  S.Label = BoundsIn(FHandle, FLabel);
  // The cursor the form sets when the mouse is over the label.
  const HCURSOR Before = ::GetCursor();
  ::SendMessageW(FHandle, WM_SETCURSOR, reinterpret_cast<WPARAM>(FLabel), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
  S.LabelHandCursor = ::GetCursor() == SystemCursor(kHandCursor);
  ::SetCursor(Before);
  // The fonts as the controls hold them, not as the layout asked for them.
  auto FontOf = [](HWND Control) { return reinterpret_cast<HFONT>(::SendMessageW(Control, WM_GETFONT, 0, 0)); };
  const TTextMeasure LabelText = Measure(FLabel, FontOf(FLabel), win32::Wide(FLayout.Label.Caption));
  S.LabelFace = win32::Narrow(LabelText.Face);
  S.LabelTextWidth = LabelText.Extent.cx, S.LabelTextHeight = LabelText.Extent.cy;
  RECT View{};
  ::SendMessageW(FMemo, EM_GETRECT, 0, reinterpret_cast<LPARAM>(&View));
  const LONG Row = Measure(FMemo, FontOf(FMemo), L"").Metrics.tmHeight;
  S.MemoRows = static_cast<int>(::SendMessageW(FMemo, EM_GETLINECOUNT, 0, 0));
  S.MemoVisibleRows = Row > 0 ? static_cast<int>((View.bottom - View.top) / Row) : 0;
  S.FormColor = Rgb(ColorRef(FLayout.Color));
  // The client area with its children, as on the screen.
  BITMAPINFO Info{};
  Info.bmiHeader = {sizeof(BITMAPINFOHEADER), S.ClientWidth, -S.ClientHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* Bits = nullptr;
  HDC Source = ::GetDCEx(FHandle, nullptr, DCX_CACHE);
  HDC Memory = ::CreateCompatibleDC(Source);
  HBITMAP Bitmap = ::CreateDIBSection(Memory, &Info, DIB_RGB_COLORS, &Bits, nullptr, 0);
  HGDIOBJ Old = ::SelectObject(Memory, Bitmap);
  if (Bits && ::BitBlt(Memory, 0, 0, S.ClientWidth, S.ClientHeight, Source, 0, 0, SRCCOPY)) {
    const auto* Pixel = static_cast<const uint32_t*>(Bits);
    S.Pixels.assign(Pixel, Pixel + size_t(S.ClientWidth) * size_t(S.ClientHeight));
    for (uint32_t& P : S.Pixels) P &= 0xFFFFFF;  // BGRA in memory is 0x00RRGGBB
  }
  ::SelectObject(Memory, Old);
  ::DeleteObject(Bitmap);
  ::DeleteDC(Memory);
  ::ReleaseDC(FHandle, Source);
  return S;
}

}  // namespace

TPromptResult RunPromptWindow(const TMainFormLayout& Layout, const std::string& Url, const TPromptHooks& Hooks) {
  static_assert(std::is_same_v<decltype(&RunPromptWindow), TRunPromptWindow>);
  TMainFormWindow Form(Layout, Url, Hooks);
  Form.Create();
  win32::RunMessageLoop();
  return prClosed;
}

}  // namespace green
