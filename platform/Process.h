// Child processes with the semantics of their Win32 counterparts, and the
// process's own id (its directories are in platform/Shell.h).
//
// A child gets exactly three handles from its parent, its standard input,
// output and error; it inherits nothing else. Its process handle is
// waitable: signalled once the child has ended, and it stays signalled.
// Closing the handle does not end the child.
//
// posix: the command line is split as the Windows C runtime splits it (the
// first token is the program, where backslashes become slashes). A program
// given without a slash is looked for in the executable's own directory,
// then the current directory, then PATH, the order of the Windows search; a
// relative path is taken from the current directory. Everything that would
// keep the child from starting is reported by CreateProcess itself. A child
// killed by a signal other than TerminateProcess's exits with 128 + the
// signal's number, as shells report it. A child reads and writes its
// standard streams blocking, also where the parent's overlapped I/O made a
// pipe end nonblocking (the child gets an open description of its own). Children are reaped when they end,
// also after their handles were closed; nothing else in the process may
// reap children it did not start (no waitpid(-1), SIGCHLD not ignored).
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/Kernel.h"

namespace green::os {

constexpr uint32_t kCreateNoWindow = 0x08000000;
constexpr uint32_t kStillActive = 259;

// Any handles of this layer, inheritable or not; kNoHandle: the child gets
// no such stream (posix: /dev/null).
struct StdHandles {
  Handle Input = kNoHandle;
  Handle Output = kNoHandle;
  Handle Error = kNoHandle;
};

struct ProcessInformation {
  Handle Process = kNoHandle;  // owned by the caller: CloseHandle it
  uint32_t ProcessId = 0;
};

// Starts CommandLine in WorkDir (empty: the current directory) with the
// given creation flags (kCreateNoWindow). False when the child cannot be
// started (last error set: kErrorFileNotFound, kErrorAccessDenied,
// kErrorBadExeFormat, kErrorDirectory for a bad WorkDir, ...).
bool CreateProcess(std::string_view CommandLine, std::string_view WorkDir, uint32_t CreationFlags,
                   const StdHandles& Std, ProcessInformation& Info);

// kStillActive while the child runs, then its exit code.
bool GetExitCodeProcess(Handle Process, uint32_t& ExitCode);
// Ends the child; its exit code then reads as ExitCode. Returns at once: wait
// on the handle for the end. Once the child has ended its code stays; the
// call then fails with kErrorAccessDenied, as on Windows (Wine answers true).
bool TerminateProcess(Handle Process, uint32_t ExitCode);
// 0 on failure (last error set).
uint32_t GetProcessId(Handle Process);

uint32_t CurrentProcessId();

}  // namespace green::os
