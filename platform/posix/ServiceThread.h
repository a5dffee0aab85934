// One process-wide thread for the work the Windows kernel does without being
// asked: accepting the clients of this process's named-pipe servers (so a
// connect completes whether or not anybody waits) and reaping children whose
// handles were all closed. It polls descriptors and runs a routine for each
// one that is readable; it starts with the first watch and never ends.
//
// Routines run on that thread one at a time and must neither block nor
// throw. A watch is level-triggered: a routine consumes what made its
// descriptor readable, or answers false to end its watch.
#pragma once

#include <cstdint>
#include <functional>

namespace green::os {

using ServiceRoutine = std::function<bool()>;  // false: stop watching, drop the routine

// Watches Fd until Unwatch or until Routine answers false; the descriptor
// stays the caller's, but must stay open while watched. 0 on failure (last
// error set).
uint64_t WatchReadable(int Fd, ServiceRoutine Routine);

// Ends a watch. A run of its routine that has begun may still be running on
// the service thread: routines guard the state they share with a lock.
void Unwatch(uint64_t Id);

}  // namespace green::os
