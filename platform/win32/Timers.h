// Internal to the win32 backend: the routines of armed waitable timers.
#pragma once

#include "platform/win32/Win.h"

namespace green::os::win32 {

// Stops Timer and forgets its routine, before the handle is closed: a
// routine must not run for a timer that is gone.
void ForgetTimer(HANDLE Timer);

}  // namespace green::os::win32
