// The moment a wait ends, on the monotonic clock, or never. A timeout given
// in milliseconds becomes one deadline where it enters the runtime; the
// layers below carry that deadline, and only a platform wait or timer, which
// take milliseconds, converts what remains of it, rounding up so that no
// wait ends before its deadline and spins on a zero timeout.
#pragma once

#include <cstdint>
#include <limits>

#include "base/SystemMacros.h"
#include "platform/Clock.h"

namespace green {

class TDeadline {
 public:
  // Never ends.
  constexpr TDeadline() = default;

  // INFINITE never ends; 0 has passed already.
  static TDeadline After(uint32_t TimeOut) {
    if (TimeOut == INFINITE) return {};
    return TDeadline(os::MonotonicNanos() + int64_t{TimeOut} * kNsPerMs);
  }

  bool IsNever() const { return FAt == kNever; }
  bool Passed() const { return !IsNever() && os::MonotonicNanos() >= FAt; }
  // Monotonic nanoseconds, or 0 for never.
  int64_t Nanos() const { return IsNever() ? 0 : FAt; }

  // What remains, in milliseconds rounded up: INFINITE for never, 0 once
  // passed. A finite deadline never turns into INFINITE.
  uint32_t RemainingTimeOut() const {
    if (IsNever()) return INFINITE;
    const int64_t Left = FAt - os::MonotonicNanos();
    if (Left <= 0) return 0;
    const int64_t Ms = (Left + kNsPerMs - 1) / kNsPerMs;
    return Ms >= int64_t{INFINITE} ? INFINITE - 1 : static_cast<uint32_t>(Ms);
  }

 private:
  static constexpr int64_t kNever = std::numeric_limits<int64_t>::max();
  static constexpr int64_t kNsPerMs = 1'000'000;

  constexpr explicit TDeadline(int64_t At) : FAt(At) {}

  int64_t FAt = kNever;
};

}  // namespace green
