#include "platform/win32/Win.h"

#include "platform/Clock.h"

namespace green::os {

int64_t MonotonicNanos() {
  static const int64_t Frequency = [] {
    LARGE_INTEGER F;
    ::QueryPerformanceFrequency(&F);
    return F.QuadPart;
  }();
  LARGE_INTEGER Now;
  ::QueryPerformanceCounter(&Now);
  // Split so that the multiplication cannot overflow for long uptimes.
  const int64_t Seconds = Now.QuadPart / Frequency;
  const int64_t Rest = Now.QuadPart % Frequency;
  return Seconds * 1000000000 + Rest * 1000000000 / Frequency;
}

int64_t CoarseMonotonicNanos() { return static_cast<int64_t>(::GetTickCount64()) * 1000000; }

}  // namespace green::os
