// Shows the install prompt through the launcher's own path and checks what
// is on the screen, for window-test.sh. Once the window is drawn it prints
//   check <what> ok          or   FAIL <what>: <detail>
//   label <x> <y>            the label's centre on the screen
//   ready
// then keeps the window open until "close" arrives on standard input, and
// prints "exit <code>" when the message loop has ended.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "app/fmMain.h"

namespace green {
namespace {

void Report(bool Ok, const std::string& What, const std::string& Detail = "") {
  if (Ok) std::printf("check %s ok\n", What.c_str());
  else std::printf("FAIL %s: %s\n", What.c_str(), Detail.c_str());
}

std::string Text(const TBounds& B) {
  return std::to_string(B.Left) + "," + std::to_string(B.Top) + " " + std::to_string(B.Width) + "x" +
         std::to_string(B.Height);
}

// Clearly red, not the pink of a red glyph's smoothed edge.
bool IsRed(uint32_t Pixel) {
  const int R = Pixel >> 16 & 0xFF, G = Pixel >> 8 & 0xFF, B = Pixel & 0xFF;
  return R >= 160 && R - std::max(G, B) >= 90;
}

bool Inside(const TBounds& B, int X, int Y) {
  return X >= B.Left && Y >= B.Top && X < B.Left + B.Width && Y < B.Top + B.Height;
}

struct TRedArea {
  int Count = 0;
  int Left = 1 << 30, Right = -1, Top = 1 << 30, Bottom = -1;
  int LongestRun = 0, LongestRunRow = -1;  // the longest horizontal run of red
};

TRedArea RedIn(const TPromptSnapshot& S, const TBounds& B) {
  TRedArea A;
  for (int Y = B.Top; Y < B.Top + B.Height && Y < S.ClientHeight; ++Y) {
    int Run = 0;
    for (int X = B.Left; X < B.Left + B.Width && X < S.ClientWidth; ++X) {
      if (!IsRed(S.Pixels[Y * S.ClientWidth + X])) {
        Run = 0;
        continue;
      }
      ++A.Count;
      A.Left = std::min(A.Left, X), A.Right = std::max(A.Right, X);
      A.Top = std::min(A.Top, Y), A.Bottom = std::max(A.Bottom, Y);
      if (++Run > A.LongestRun) A.LongestRun = Run, A.LongestRunRow = Y;
    }
  }
  return A;
}

int RedOutside(const TPromptSnapshot& S, const TBounds& Memo, const TBounds& Label) {
  int Count = 0;
  for (int Y = 0; Y < S.ClientHeight; ++Y)
    for (int X = 0; X < S.ClientWidth; ++X)
      if (!Inside(Memo, X, Y) && !Inside(Label, X, Y) && IsRed(S.Pixels[Y * S.ClientWidth + X])) ++Count;
  return Count;
}

void CheckWindow(const TPromptSnapshot& S, const TMainFormLayout& L) {
  Report(S.Caption == L.Caption, "caption", S.Caption);
  Report(S.ClientWidth == L.Bounds.Width && S.ClientHeight == L.Bounds.Height, "client size",
         std::to_string(S.ClientWidth) + "x" + std::to_string(S.ClientHeight));
  Report(!S.Resizable, "not resizable");
  Report(S.ToolWindow, "tool window");
  Report(S.Memo == L.MemoBounds(), "memo bounds", Text(S.Memo));
  if (L.Label.AutoSize) {
    Report(S.Label.Left == L.Label.Bounds.Left && S.Label.Top == L.Label.Bounds.Top, "label origin", Text(S.Label));
    Report(S.LabelTextWidth <= S.Label.Width && S.LabelTextHeight <= S.Label.Height, "the label holds its caption",
           "caption " + std::to_string(S.LabelTextWidth) + "x" + std::to_string(S.LabelTextHeight) + ", label " +
               Text(S.Label));
  } else {
    Report(S.Label == L.Label.Bounds, "label bounds", Text(S.Label));
  }
  Report(S.LabelFace == L.Label.Font.Name, "label font", S.LabelFace);
  Report(S.MemoRows >= int(L.Memo.Lines.size()) && S.MemoRows <= S.MemoVisibleRows, "the memo's lines fit",
         std::to_string(S.MemoRows) + " rows, " + std::to_string(S.MemoVisibleRows) + " shown");
  Report(S.LabelHandCursor, "hand cursor over the label");
  const size_t Expected = size_t(S.ClientWidth) * size_t(S.ClientHeight);
  Report(S.Pixels.size() == Expected, "capture", std::to_string(S.Pixels.size()) + " pixels");
  if (S.Pixels.size() != Expected || Expected == 0) return;
  const TRedArea Memo = RedIn(S, L.MemoBounds());
  Report(Memo.Count >= 300, "red text in the memo", std::to_string(Memo.Count) + " red pixels");
  const TRedArea Label = RedIn(S, S.Label);
  Report(Label.Count >= 150, "red text in the label", std::to_string(Label.Count) + " red pixels");
  // An underline is one row of red almost as wide as the caption, in the
  // lower part of it; no glyph row comes close.
  const int Width = Label.Right - Label.Left + 1;
  Report(Label.LongestRun * 10 >= Width * 8 && Label.LongestRunRow * 2 > Label.Top + Label.Bottom, "underline",
         "longest run " + std::to_string(Label.LongestRun) + " of " + std::to_string(Width) + " at row " +
             std::to_string(Label.LongestRunRow));
  const int Stray = RedOutside(S, L.MemoBounds(), S.Label);
  Report(Stray == 0, "no red outside the memo and the label", std::to_string(Stray) + " red pixels");
  const uint32_t Corner = S.Pixels[(S.ClientHeight - 3) * S.ClientWidth + 3];
  char Hex[32];
  std::snprintf(Hex, sizeof Hex, "%06X, form %06X", unsigned(Corner), unsigned(S.FormColor));
  Report(Corner == S.FormColor, "form colour", Hex);
}

// PROMPT_PROBE_IMAGE names a file to receive the capture, as a PPM image,
// for a person to look at when a check fails.
void SaveImage(const TPromptSnapshot& S) {
  const char* Path = std::getenv("PROMPT_PROBE_IMAGE");
  if (!Path || !*Path) return;
  FILE* Out = std::fopen(Path, "wb");
  if (!Out) return;
  std::fprintf(Out, "P6\n%d %d\n255\n", S.ClientWidth, S.ClientHeight);
  for (uint32_t P : S.Pixels) {
    const unsigned char Rgb[3] = {static_cast<unsigned char>(P >> 16), static_cast<unsigned char>(P >> 8),
                                  static_cast<unsigned char>(P)};
    std::fwrite(Rgb, 1, 3, Out);
  }
  std::fclose(Out);
}

}  // namespace
}  // namespace green

int main() {
  using namespace green;
  const TMainFormLayout Layout = ReadMainFormLayout(MainFormResource());
  TPromptHooks Hooks = DefaultPromptHooks();
  Hooks.Shown = [&](TPromptWindow& Window) {
    const TPromptSnapshot S = Window.Snapshot();
    CheckWindow(S, Layout);
    SaveImage(S);
    const TBounds& B = S.Label;
    std::printf("label %d %d\nready\n", S.ScreenLeft + B.Left + B.Width / 2, S.ScreenTop + B.Top + B.Height / 2);
    std::fflush(stdout);
    std::thread([&Window] {
      std::string Line;
      while (std::getline(std::cin, Line))
        if (Line == "close") return Window.RequestClose();
    }).detach();
  };
  const int Code = RunInstallPrompt(Hooks);
  std::printf("exit %d\n", Code);
  std::fflush(stdout);
  return Code;
}
