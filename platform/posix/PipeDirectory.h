// Where named pipes live on posix: one private directory of the user, mode
// 0700, "green-pipes" under $XDG_RUNTIME_DIR, or else "/tmp/green-pipes-<uid>".
// A directory that is not ours (another owner, a symbolic link, access for
// group or others) is refused, so no other user can see, create or take over
// our pipes.
//
// A pipe "\\.\pipe\<name>" is the socket "<stem>.sock" with the lock file
// "<stem>.lock" beside it. The stem is the name in lower case (Windows
// compares pipe names without regard to case) when it is short and made of
// letters, digits, '-', '_' and '.'; else "~" and a 128-bit hash of it, which
// keeps every socket path within the 107 bytes Unix sockets allow.
#pragma once

#include <string>
#include <string_view>

namespace green::os {

struct PipePaths {
  std::string Socket;
  std::string Lock;
};

// False (last error set) for a name that is not a pipe path
// (kErrorPathNotFound), an empty name (kErrorInvalidName), or when there is
// no usable private directory (kErrorAccessDenied).
bool PipePathsOf(std::string_view Name, PipePaths& Paths);

}  // namespace green::os
