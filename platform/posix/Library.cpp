#include "platform/Library.h"

#include <dlfcn.h>
#include <strings.h>

#include <cstring>

#include "platform/Error.h"

namespace green::os {

namespace {

bool EndsWithDll(const char* Name) {
  size_t Length = std::strlen(Name);
  return Length >= 4 && strcasecmp(Name + Length - 4, ".dll") == 0;
}

}  // namespace

Module LoadLibrary(const char* Name) {
  if (!Name || !*Name) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  // The C library has the classic socket functions under their Windows names;
  // no other Windows library exists here.
  if (strcasecmp(Name, "ws2_32.dll") == 0) {
    Name = "libc.so.6";
  } else if (EndsWithDll(Name)) {
    SetLastError(kErrorFileNotFound);
    return nullptr;
  }
  Module M = dlopen(Name, RTLD_NOW | RTLD_LOCAL);
  if (!M) SetLastError(kErrorFileNotFound);
  return M;
}

void* GetProcAddress(Module M, const char* Name) {
  if (!M || !Name) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  void* Proc = dlsym(M, Name);
  if (!Proc) SetLastError(kErrorNotSupported);
  return Proc;
}

void FreeLibrary(Module M) {
  if (M) dlclose(M);
}

}  // namespace green::os
