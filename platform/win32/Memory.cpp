#include "platform/Memory.h"

#include "platform/win32/Win.h"
#include <psapi.h>

namespace green::os {

// Kernel32's own export: no psapi.dll to load.
uint64_t PeakResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  if (!::K32GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return counters.PeakWorkingSetSize;
}

}  // namespace green::os
