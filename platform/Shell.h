// What a launcher asks of the desktop shell and of its own process: open a
// URL in the user's browser, start a program detached from this one, and
// the process's arguments and directories.
//
// Both starts are fire and forget: they answer whether the start was handed
// over (last error set when not), and nothing waits for what they start.
#pragma once

#include <string>
#include <vector>

namespace green::os {

// The separator between a directory and a name in a path.
#ifdef _WIN32
constexpr char kPathDelim = '\\';
#else
constexpr char kPathDelim = '/';
#endif

// A top-level window of the toolkit, opaque here; nullptr for none.
using WindowHandle = void*;

// Opens Url with the desktop's default handler. win32: ShellExecuteW with
// the verb "open" and no owner; posix: xdg-open found on PATH, detached.
bool OpenUrl(const std::string& Url);

// Starts Exe with the command-line string Parameters and returns without
// waiting; the started program outlives this one and inherits the current
// directory. win32: ShellExecuteExW owned by Owner, its process handle kept
// open; posix: a new session whose process is never our child (so it leaves
// no zombie), Parameters split back by SplitCommandLine, Exe searched on
// PATH when it names no directory, no descriptor inherited beyond 0..2.
bool StartDetached(const std::string& Exe, const std::string& Parameters, WindowHandle Owner);

// The process's arguments after the program itself. win32: the process
// command line split by SplitCommandLine; posix: argv from the kernel, as
// the program was given them.
std::vector<std::string> ProcessArguments();

// The current directory without a trailing separator, except a root's.
// Empty, with the reason as the last error, when it cannot be read (it was
// removed, say): never to be joined with a relative path as it is.
std::string CurrentDirectory();
// The directory of the running executable, without a trailing separator;
// empty, with the reason as the last error, when it cannot be found.
std::string ExecutableDirectory();

}  // namespace green::os
