// Names that <windows.h> would take over, given back to the runtime, so
// that every public header compiles after <windows.h> as well as before it.
// Deliberately without an include guard: each public header that declares
// such a name includes this after its other includes.

// An empty Win16 leftover: it would erase every declaration of Yield and
// turn a caller's Yield() into nothing.
#undef Yield

// Timeouts are unsigned milliseconds; INFINITE means no limit. The same
// definition as <windows.h>'s, token for token, so that either may come first.
#ifndef INFINITE
#define INFINITE 0xffffffff
#endif
