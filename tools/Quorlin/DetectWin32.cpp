// .NET Framework 4.5 and later leave their release number in the registry.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "Quorlin/Detect.h"
#include "Quorlin/DotNetRelease.h"

namespace quorlin {

std::string DetectFramework() {
  DWORD Release = 0;
  DWORD Size = sizeof Release;
  const LONG Result = ::RegGetValueW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\NET Framework Setup\\NDP\\v4\\Full",
                                     L"Release", RRF_RT_REG_DWORD, nullptr, &Release, &Size);
  return Result == ERROR_SUCCESS ? FoundLine(Release) : AbsentLine();
}

void SetBinaryOutput() { _setmode(_fileno(stdout), _O_BINARY); }

}  // namespace quorlin
