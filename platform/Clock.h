// A monotonic clock for deadlines: never goes back, unaffected by changes of
// the wall clock.
#pragma once

#include <cstdint>

namespace green::os {

int64_t MonotonicNanos();

}  // namespace green::os
