// The stream providers as application code sees them: IOvoProvider and the
// abstract TOvoProvider with its exceptions, encodings, compiled regular
// expressions and the stream adapter; named pipes and the console application.
//
// It compiles after <windows.h> as well as before it: the macros that
// <windows.h> defines over names of the runtime are set aside while the
// runtime's headers are read, and restored after them (INFINITE is the
// same macro in both: base/SystemMacros.h).
#pragma once

#pragma push_macro("Yield")
#pragma push_macro("min")
#pragma push_macro("max")
#undef Yield
#undef min
#undef max

#include "ovo/ConsoleApplication.h"
#include "ovo/Encoding.h"
#include "ovo/NamedPipe.h"
#include "ovo/Provider.h"
#include "ovo/RegEx.h"
#include "ovo/Stream.h"

#pragma pop_macro("max")
#pragma pop_macro("min")
#pragma pop_macro("Yield")
