#include "platform/Memory.h"

#include <sys/resource.h>

namespace green::os {

// Linux counts ru_maxrss in KiB.
uint64_t PeakResidentBytes() {
  rusage Usage{};
  if (getrusage(RUSAGE_SELF, &Usage) != 0) return 0;
  return static_cast<uint64_t>(Usage.ru_maxrss) * 1024;
}

}  // namespace green::os
