// Reports the handles it holds, on standard output, lines ended by CR LF.
// win32: child_handles VALUE...: "<value> invalid", "<value> pipe-server",
// "<value> pipe-client" or "<value> other" for each handle value given.
// posix: "fds=0 1 2 ..." from /proc/self/fd (without the listing's own).
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "StdioMode.h"

#ifdef _WIN32
#include <windows.h>

static const char* KindOf(HANDLE H) {
  DWORD Flags = 0;
  if (!GetHandleInformation(H, &Flags)) return "invalid";
  if (GetFileType(H) != FILE_TYPE_PIPE || !GetNamedPipeInfo(H, &Flags, nullptr, nullptr, nullptr))
    return "other";
  return Flags & PIPE_SERVER_END ? "pipe-server" : "pipe-client";
}

int main(int argc, char** argv) {
  UseBinaryStdio();
  for (int I = 1; I < argc; ++I) {
    const auto Value = static_cast<uintptr_t>(std::strtoull(argv[I], nullptr, 0));
    std::printf("%s %s\r\n", argv[I], KindOf(reinterpret_cast<HANDLE>(Value)));
  }
  return 0;
}
#else
#include <dirent.h>

#include <algorithm>
#include <vector>

int main() {
  DIR* Dir = opendir("/proc/self/fd");
  if (!Dir) return 1;
  std::vector<int> Fds;
  while (dirent* Entry = readdir(Dir)) {
    if (Entry->d_name[0] == '.') continue;
    const int Fd = std::atoi(Entry->d_name);
    if (Fd != dirfd(Dir)) Fds.push_back(Fd);
  }
  closedir(Dir);
  std::sort(Fds.begin(), Fds.end());
  std::printf("fds=");
  for (size_t I = 0; I < Fds.size(); ++I) std::printf(I ? " %d" : "%d", Fds[I]);
  std::printf("\r\n");
  return 0;
}
#endif
