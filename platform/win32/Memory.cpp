#include "platform/Memory.h"

#include "platform/win32/Win.h"
#include <psapi.h>

namespace green::os {

// Kernel32's own export: no psapi.dll to load.
uint64_t PeakResidentBytes() {
  PROCESS_MEMORY_COUNTERS Counters{};
  Counters.cb = sizeof Counters;
  if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &Counters, sizeof Counters)) return 0;
  return Counters.PeakWorkingSetSize;
}

}  // namespace green::os
