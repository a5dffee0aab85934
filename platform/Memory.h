// The process's own account of the memory it holds.
#pragma once

#include <cstdint>

namespace green::os {

// The most bytes the process has held resident at once since it started
// (posix: the peak resident set; Windows: the peak working set); 0 when
// the system does not tell.
uint64_t PeakResidentBytes();

}  // namespace green::os
