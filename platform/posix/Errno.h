// errno and the layer's error codes, both ways.
#pragma once

#include <cstdint>

namespace green::os {

uint32_t ErrorFromErrno(int Errno);
// 0 when Code names no errno value (codes of Windows concepts only).
int ErrnoFromError(uint32_t Code);
// Sets the last error from errno as it is now.
void SetLastErrorFromErrno();

}  // namespace green::os
