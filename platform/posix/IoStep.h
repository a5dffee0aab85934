// Moving one overlapped operation on: what its descriptor takes now,
// never blocking. Both the start of an operation and the waits that poll
// its descriptor use it.
#pragma once

#include "platform/posix/PendingIo.h"

namespace green::os {

enum class Step { Pending, Finished, Refused };

inline bool IsRead(IoKind Kind) { return Kind == IoKind::Read || Kind == IoKind::RecvFrom; }

// Reads take what is there; writes go on until all is written. A failure at
// the start, before any byte moved, is Refused: the start reports it and no
// routine runs. Revents is what the poll saw (0 at the start).
Step Advance(PendingIo& Op, bool AtStart, short Revents);

}  // namespace green::os
