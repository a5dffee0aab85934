// Writes its arguments after the program name, one per line in brackets,
// then its working directory: "[arg]" ... "cwd=<path>", lines ended by CR LF.
#include <cstdio>
#include <filesystem>

#include "StdioMode.h"

int main(int argc, char** argv) {
  UseBinaryStdio();
  for (int I = 1; I < argc; ++I) std::printf("[%s]\r\n", argv[I]);
  std::printf("cwd=%s\r\n", std::filesystem::current_path().string().c_str());
  return 0;
}
