// The fiber switch, inline: a switch is one jump_fcontext in the caller's
// own code. An out-of-line switch would return through a frame of the other
// fiber's call chain, and the processor's return prediction misses on every
// such return. Under a sanitizer the switch stays out of line in Fiber.cpp,
// where it tells the sanitizer about the change of stacks.
#pragma once

#include <boost/context/detail/fcontext.hpp>

#include "platform/posix/Sanitizers.h"

namespace green::os::detail {

// What a switch touches of a fiber; the rest of it is Fiber.cpp's.
struct FiberHead {
  boost::context::detail::fcontext_t Context = nullptr;  // where it resumes while not running
};

// The fiber running on this thread; constinit, so other units read it
// without a call to the thread-local's initialisation wrapper.
extern thread_local constinit FiberHead* CurrentFiber;

#if defined(GREEN_ASAN) || defined(GREEN_TSAN)
#define GREEN_FIBER_SWITCH_OUT_OF_LINE 1
#else
// The fiber that switched to us hands itself over in transfer_t::data; its
// context is stored here, on the side that resumed.
inline void SwitchFiber(FiberHead* Target) {
  FiberHead* Self = CurrentFiber;
  if (Target == Self) return;
  CurrentFiber = Target;
  boost::context::detail::transfer_t From =
      boost::context::detail::jump_fcontext(Target->Context, Self);
  static_cast<FiberHead*>(From.data)->Context = From.fctx;
}
#endif

}  // namespace green::os::detail
