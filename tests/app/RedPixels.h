// What of a rectangle of a captured window is clearly red, printed as
//   red <count> <left> <top> <right> <bottom> <longest run> <its row>
// (all -1 but the count when nothing is red), for the window tests.
#pragma once

#include <algorithm>
#include <cstdio>

namespace green::test {

inline bool IsRed(int R, int G, int B) { return R >= 160 && R - std::max(G, B) >= 90; }

// RedAt(X, Y) tells whether the pixel at X, Y of a Width x Height image is red.
template <class F>
void PrintRed(F RedAt, int Width, int Height, int RX, int RY, int RW, int RH) {
  int Count = 0, Left = -1, Top = -1, Right = -1, Bottom = -1, Longest = 0, LongestRow = -1;
  for (int Y = std::max(RY, 0); Y < std::min(RY + RH, Height); ++Y) {
    int Run = 0;
    for (int X = std::max(RX, 0); X < std::min(RX + RW, Width); ++X) {
      if (!RedAt(X, Y)) {
        Run = 0;
        continue;
      }
      Left = Count ? std::min(Left, X) : X;
      Top = Count ? std::min(Top, Y) : Y;
      Right = std::max(Right, X);
      Bottom = std::max(Bottom, Y);
      ++Count;
      if (++Run > Longest) Longest = Run, LongestRow = Y;
    }
  }
  std::printf("red %d %d %d %d %d %d %d\n", Count, Left, Top, Right, Bottom,
              Count ? Longest : -1, LongestRow);
}

}  // namespace green::test
