// The child programs' standard streams carry bytes as they are: no CR LF
// translation by the Windows C runtime.
#pragma once

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <stdio.h>

inline void UseBinaryStdio() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}
#else
inline void UseBinaryStdio() {}
#endif
