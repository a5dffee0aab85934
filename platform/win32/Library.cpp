#include "platform/win32/Win.h"

#include "platform/Library.h"

namespace green::os {

Module LoadLibrary(const char* Name) {
  if (!Name) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return ::LoadLibraryA(Name);
}

void* GetProcAddress(Module M, const char* Name) {
  if (!M || !Name) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(M), Name));
}

void FreeLibrary(Module M) {
  if (M) ::FreeLibrary(static_cast<HMODULE>(M));
}

}  // namespace green::os
