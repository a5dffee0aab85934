// Copies standard input to standard output line by line, upper-cased, each
// line with the ending it came with (CR LF or LF), until the end of input.
#include <cstdio>
#include <string>

#include "StdioMode.h"

int main() {
  UseBinaryStdio();
  std::string Line;
  for (int C; (C = std::getchar()) != EOF;) {
    Line += C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : static_cast<char>(C);
    if (C != '\n') continue;
    std::fwrite(Line.data(), 1, Line.size(), stdout);
    std::fflush(stdout);
    Line.clear();
  }
  std::fwrite(Line.data(), 1, Line.size(), stdout);
  return 0;
}
