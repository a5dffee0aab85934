// errno and the layer's error codes, both ways.
#pragma once

#include <cstdint>

namespace green::os {

uint32_t ErrorFromErrno(int Errno);
// 0 when Code names no errno value (codes of Windows concepts only).
int ErrnoFromError(uint32_t Code);
// Sets the last error from errno as it is now.
void SetLastErrorFromErrno();
// For the calls that answer false on failure: set the last error (Code, or
// from errno) and answer false.
bool Fail(uint32_t Code);
bool FailErrno();

}  // namespace green::os
