// Allocations that fail on demand, for tests of what an allocation failure
// leaves behind. The test program's global operator new is replaced; until
// a thread arms a failure it allocates as usual.
#pragma once

namespace green::test {

// Lets the calling thread's next Successes allocations succeed and makes
// the one after them throw std::bad_alloc.
void FailAllocationAfter(int Successes);
// Disarms the calling thread; true when the armed failure happened.
bool StopFailingAllocations();

}  // namespace green::test
