// A monotonic clock for deadlines: never goes back, unaffected by changes of
// the wall clock.
#pragma once

#include <cstdint>

namespace green::os {

int64_t MonotonicNanos();
// The same kind of clock at the resolution of the system's tick, several
// times cheaper to read; only its own readings compare with one another.
int64_t CoarseMonotonicNanos();

}  // namespace green::os
