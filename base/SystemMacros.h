// Undoes what <windows.h> macros would do to this runtime's names, so that
// the public headers compile after <windows.h> as well as before it.
// Deliberately without an include guard: every header that declares such a
// name includes this after its other includes, so the macros are undone
// even when <windows.h> came between two of the runtime's headers.
//
// Included before <windows.h>, the runtime's headers need nothing: but from
// there on Yield() is that header's empty macro again, and a call to the
// runtime's Yield is written (Yield)() or (green::Yield)(), since a name in
// parentheses is not macro-expanded.

// An empty Win16 leftover: it would erase every declaration of Yield and
// turn a caller's Yield() into nothing.
#undef Yield

// Timeouts are unsigned milliseconds; INFINITE means no limit. The same
// definition as <windows.h>'s, token for token, so that either may come first.
#ifndef INFINITE
#define INFINITE 0xffffffff
#endif
