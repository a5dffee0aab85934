#include "platform/Clock.h"

#include <time.h>

namespace green::os {

int64_t MonotonicNanos() {
  timespec Ts;
  clock_gettime(CLOCK_MONOTONIC, &Ts);
  return int64_t{Ts.tv_sec} * 1'000'000'000 + Ts.tv_nsec;
}

int64_t CoarseMonotonicNanos() {
  timespec Ts;
  clock_gettime(CLOCK_MONOTONIC_COARSE, &Ts);
  return int64_t{Ts.tv_sec} * 1'000'000'000 + Ts.tv_nsec;
}

}  // namespace green::os
