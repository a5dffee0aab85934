// What the launcher's end-to-end tests need of Windows that a shell script
// cannot do under Wine:
//   WindowTool run DIR FILE
//       starts the command line that FILE holds (UTF-8, one line) exactly
//       as written, with DIR as its current directory, waits for it and
//       prints "exit <code>"; a file, because Wine would quote an argument;
//   WindowTool window CAPTION SECONDS
//       waits up to SECONDS for a visible top-level window with CAPTION,
//       prints "window <client width> <client height>", then one
//       "text <class> <text>" per child window, closes it as its close box
//       would, and prints "closed". "none" when no such window came.
//   WindowTool look CAPTION SECONDS X,Y,W,H...
//       waits for the window as above, prints "window <w> <h>" and
//       "origin <x> <y>" (its client area on the screen), then for each
//       rectangle of the client area what of it is clearly red, as
//       tests/app/WindowShot.cpp prints it; the window stays open.
//   WindowTool close CAPTION
//       closes that window as its close box would.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <vector>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "RedPixels.h"

namespace {

std::string Utf8(const std::wstring& Text) {
  if (Text.empty()) return {};
  const int Size = ::WideCharToMultiByte(CP_UTF8, 0, Text.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string Out(Size - 1, '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, Text.c_str(), -1, Out.data(), Size, nullptr, nullptr);
  return Out;
}

// WM_GETTEXT, which the system carries across processes: GetWindowTextW
// answers another process's edit control with nothing.
std::wstring TextOf(HWND Wnd) {
  wchar_t Buf[1024];
  DWORD_PTR N = 0;
  if (!::SendMessageTimeoutW(Wnd, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(Buf), SMTO_ABORTIFHUNG, 5000, &N))
    return {};
  return std::wstring(Buf, N < 1024 ? N : 1023);
}

std::wstring Wide(const std::string& Text) {
  if (Text.empty()) return {};
  const int Size = ::MultiByteToWideChar(CP_UTF8, 0, Text.c_str(), -1, nullptr, 0);
  std::wstring Out(Size - 1, L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, Text.c_str(), -1, Out.data(), Size);
  return Out;
}

int Run(const std::wstring& Dir, const std::wstring& File) {
  std::ifstream In(std::filesystem::path(File), std::ios::binary);
  std::string Text{std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
  while (!Text.empty() && (Text.back() == '\n' || Text.back() == '\r')) Text.pop_back();
  std::wstring Line = Wide(Text);
  STARTUPINFOW Start{};
  Start.cb = sizeof Start;
  PROCESS_INFORMATION Info{};
  if (!::CreateProcessW(nullptr, Line.data(), nullptr, nullptr, FALSE, 0, nullptr, Dir.c_str(), &Start, &Info)) {
    std::printf("failed %lu\n", ::GetLastError());
    return 1;
  }
  ::WaitForSingleObject(Info.hProcess, INFINITE);
  DWORD Code = 0;
  ::GetExitCodeProcess(Info.hProcess, &Code);
  ::CloseHandle(Info.hThread);
  ::CloseHandle(Info.hProcess);
  std::printf("exit %lu\n", Code);
  return 0;
}

HWND Find(const std::wstring& Caption, int Seconds) {
  for (int Tries = 0; Tries < Seconds * 20; ++Tries) {
    HWND Wnd = ::FindWindowW(nullptr, Caption.c_str());
    if (Wnd && ::IsWindowVisible(Wnd)) return Wnd;
    ::Sleep(50);
  }
  return nullptr;
}

// The client area as drawn, 0xRRGGBB row by row.
std::vector<uint32_t> Capture(HWND Wnd, int Width, int Height) {
  std::vector<uint32_t> Pixels(size_t(Width) * Height);
  HDC Screen = ::GetDC(Wnd);
  HDC Memory = ::CreateCompatibleDC(Screen);
  BITMAPINFO Info{};
  Info.bmiHeader.biSize = sizeof Info.bmiHeader;
  Info.bmiHeader.biWidth = Width;
  Info.bmiHeader.biHeight = -Height;  // top-down
  Info.bmiHeader.biPlanes = 1;
  Info.bmiHeader.biBitCount = 32;
  void* Bits = nullptr;
  HBITMAP Bitmap = ::CreateDIBSection(Memory, &Info, DIB_RGB_COLORS, &Bits, nullptr, 0);
  HGDIOBJ Old = ::SelectObject(Memory, Bitmap);
  ::BitBlt(Memory, 0, 0, Width, Height, Screen, 0, 0, SRCCOPY);
  ::GdiFlush();
  const uint32_t* Src = static_cast<const uint32_t*>(Bits);
  for (size_t I = 0; Src && I < Pixels.size(); ++I) Pixels[I] = Src[I] & 0xFFFFFF;
  ::SelectObject(Memory, Old);
  ::DeleteObject(Bitmap);
  ::DeleteDC(Memory);
  ::ReleaseDC(Wnd, Screen);
  return Pixels;
}

void PrintRed(const std::vector<uint32_t>& Pixels, int Width, int Height, int RX, int RY, int RW, int RH) {
  auto RedAt = [&](int X, int Y) {
    const uint32_t P = Pixels[size_t(Y) * Width + X];
    return green::test::IsRed(P >> 16 & 0xFF, P >> 8 & 0xFF, P & 0xFF);
  };
  green::test::PrintRed(RedAt, Width, Height, RX, RY, RW, RH);
}

int Look(const std::wstring& Caption, int Seconds, wchar_t** Rects, int Count) {
  HWND Wnd = Find(Caption, Seconds);
  if (!Wnd) {
    std::printf("none\n");
    return 1;
  }
  ::Sleep(500);  // let it finish drawing
  RECT Client{};
  ::GetClientRect(Wnd, &Client);
  POINT Origin{0, 0};
  ::ClientToScreen(Wnd, &Origin);
  const int Width = Client.right, Height = Client.bottom;
  std::printf("window %d %d\norigin %ld %ld\n", Width, Height, Origin.x, Origin.y);
  const std::vector<uint32_t> Pixels = Capture(Wnd, Width, Height);
  for (int I = 0; I < Count; ++I) {
    int X, Y, W, H;
    if (swscanf(Rects[I], L"%d,%d,%d,%d", &X, &Y, &W, &H) == 4) PrintRed(Pixels, Width, Height, X, Y, W, H);
  }
  return 0;
}

BOOL CALLBACK PrintChild(HWND Child, LPARAM) noexcept {
  wchar_t Class[256];
  const int N = ::GetClassNameW(Child, Class, 256);
  std::printf("text %s %s\n", Utf8(std::wstring(Class, N > 0 ? N : 0)).c_str(), Utf8(TextOf(Child)).c_str());
  return TRUE;
}

int Window(const std::wstring& Caption, int Seconds) {
  HWND Found = Find(Caption, Seconds);
  if (!Found) {
    std::printf("none\n");
    return 1;
  }
  ::Sleep(200);  // let it finish drawing
  RECT Client{};
  ::GetClientRect(Found, &Client);
  std::printf("window %ld %ld\n", Client.right - Client.left, Client.bottom - Client.top);
  ::EnumChildWindows(Found, PrintChild, 0);
  std::fflush(stdout);
  ::PostMessageW(Found, WM_CLOSE, 0, 0);
  std::printf("closed\n");
  return 0;
}

}  // namespace

int main() {
  int Argc = 0;
  wchar_t** Argv = ::CommandLineToArgvW(::GetCommandLineW(), &Argc);
  int Code = 2;
  if (Argv && Argc >= 4 && std::wstring(Argv[1]) == L"run") Code = Run(Argv[2], Argv[3]);
  else if (Argv && Argc >= 4 && std::wstring(Argv[1]) == L"window") Code = Window(Argv[2], _wtoi(Argv[3]));
  else if (Argv && Argc >= 4 && std::wstring(Argv[1]) == L"look") Code = Look(Argv[2], _wtoi(Argv[3]), Argv + 4, Argc - 4);
  else if (Argv && Argc >= 3 && std::wstring(Argv[1]) == L"close") {
    HWND Wnd = ::FindWindowW(nullptr, Argv[2]);
    Code = Wnd && ::PostMessageW(Wnd, WM_CLOSE, 0, 0) ? 0 : 1;
  } else std::printf("usage: WindowTool run DIR FILE | window CAPTION SECONDS\n");
  std::fflush(stdout);
  ::LocalFree(Argv);
  return Code;
}
