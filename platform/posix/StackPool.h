// mmap'ed fiber stacks with a PROT_NONE guard page below, recycled because a
// map plus unmap costs far more than a switch.
#pragma once

#include <cstddef>

namespace green::os {

struct Stack {
  void* Base = nullptr;   // lowest address of the mapping (the guard page)
  size_t Mapped = 0;      // guard page included
  void* Bottom() const;   // lowest usable address
  size_t Usable() const;  // bytes above the guard page
  void* Top() const { return static_cast<char*>(Base) + Mapped; }
};

// A stack of at least Usable bytes; Base is nullptr when the system refuses
// (last error set).
Stack AcquireStack(size_t Usable);
void ReleaseStack(const Stack& S);

}  // namespace green::os
