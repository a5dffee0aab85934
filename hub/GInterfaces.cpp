#include "hub/GInterfaces.h"

#include <cmath>

#include "platform/Clock.h"

namespace green {

namespace {
constexpr double kMsPerDay = 86400000.0;
constexpr double kNsPerDay = 86400e9;
constexpr TDateTime kInfiniteDays = 100000.0;
}  // namespace

TDateTime Now() { return static_cast<double>(os::MonotonicNanos()) / kNsPerDay; }

// Every 32-bit timeout converts, 24 hours and more included.
TDateTime TimeOut2Time(uint32_t TimeOut) {
  if (TimeOut == INFINITE) return kInfiniteDays;
  return TimeOut / kMsPerDay;
}

// Rounds up, so that a wait for the remaining time never ends just before
// the deadline and spins on a zero timeout.
uint32_t Time2TimeOut(TDateTime Value) {
  if (!(Value > 0)) return 0;
  // The epsilon absorbs the rounding of the ms -> days -> ms round trip.
  double Ms = std::ceil(Value * kMsPerDay - 1e-6);
  if (Ms >= static_cast<double>(INFINITE)) return INFINITE;
  return static_cast<uint32_t>(Ms);
}

}  // namespace green
