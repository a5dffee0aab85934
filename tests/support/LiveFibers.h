// How many fibers a test may insist on holding at once. 32-bit Wine gives
// each fiber at least 1 MiB of address space whatever it is asked for, so a
// 32-bit process there holds a few thousand (about 1,900 in 2 GiB, twice as
// many large-address-aware); real Windows rounds the reserve to 64 KiB and
// posix stacks are cheaper still, so everywhere else the whole target counts.
#pragma once

#include <algorithm>
#include <cstdio>

#include "platform/Library.h"

namespace green::test {

// True inside a Wine process: its ntdll exports wine_get_version.
inline bool RunsUnderWine() {
#ifdef _WIN32
  static const bool Wine = [] {
    os::Module Ntdll = os::LoadLibrary("ntdll.dll");
    const bool Found = Ntdll && os::GetProcAddress(Ntdll, "wine_get_version");
    os::FreeLibrary(Ntdll);
    return Found;
  }();
  return Wine;
#else
  return false;
#endif
}

constexpr int kWineFiberFloor = 1500;

// Of Target fibers, how many must be created for a scale test to pass.
inline int RequiredLiveFibers(int Target) {
  if (sizeof(void*) == 4 && RunsUnderWine()) return std::min(Target, kWineFiberFloor);
  return Target;
}

// One line in the test's output, so the count reached can be reported.
inline void ReportLiveFibers(const char* What, int Reached, int Target) {
  std::printf("%s: %d of %d live at once\n", What, Reached, Target);
  std::fflush(stdout);
}

}  // namespace green::test
