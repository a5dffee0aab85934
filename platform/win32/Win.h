// The Windows headers for this backend. Several system names are macros
// that would rename the platform API's own functions (CreateEvent becomes
// CreateEventW, ...): undefine them here; the backend calls the W functions
// by their full names and the others with a leading ::.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef CreateEvent
#undef CreateNamedPipe
#undef CreateProcess
#undef CreateWaitableTimer
#undef LoadLibrary
#undef Yield
