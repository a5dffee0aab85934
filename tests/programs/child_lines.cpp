// child_lines COUNT [DELAY_MS]: writes "line 1" ... "line COUNT", each ended
// by CR LF and flushed, waiting DELAY_MS between them.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "StdioMode.h"

int main(int argc, char** argv) {
  UseBinaryStdio();
  const int Count = argc > 1 ? std::atoi(argv[1]) : 1;
  const int DelayMs = argc > 2 ? std::atoi(argv[2]) : 0;
  for (int I = 1; I <= Count; ++I) {
    if (I > 1 && DelayMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(DelayMs));
    std::printf("line %d\r\n", I);
    std::fflush(stdout);
  }
  return 0;
}
