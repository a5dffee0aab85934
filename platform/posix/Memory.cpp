#include "platform/Memory.h"

#include <sys/resource.h>

namespace green::os {

// Linux counts ru_maxrss in KiB.
uint64_t PeakResidentBytes() {
  rusage usage{};
  if (getrusage(RUSAGE_SELF, &usage) != 0) return 0;
  return static_cast<uint64_t>(usage.ru_maxrss) * 1024;
}

}  // namespace green::os
