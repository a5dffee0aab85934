// Loading shared libraries and resolving their functions by name. posix
// maps the Windows socket library's name to the C library, which has the
// classic socket functions under the same names.
#pragma once

namespace green::os {

using Module = void*;

Module LoadLibrary(const char* Name);  // nullptr when it cannot be loaded
void* GetProcAddress(Module M, const char* Name);  // nullptr when absent
void FreeLibrary(Module M);

}  // namespace green::os
