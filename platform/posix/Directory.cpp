// The executable's own directory and the current directory.
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/Process.h"
#include "platform/posix/Errno.h"

namespace green::os {

namespace {

std::string Failed() {
  SetLastErrorFromErrno();
  return {};
}

std::string ParentOf(const std::string& Path) {
  const size_t Slash = Path.rfind('/');
  if (Slash == std::string::npos) return {};
  return Slash == 0 ? "/" : Path.substr(0, Slash);
}

}  // namespace

std::string ExecutableDirectory() {
  std::string Path(256, '\0');
  for (;;) {
    const ssize_t Length = readlink("/proc/self/exe", Path.data(), Path.size());
    if (Length < 0) return Failed();
    if (static_cast<size_t>(Length) < Path.size()) {
      Path.resize(Length);
      return ParentOf(Path);
    }
    Path.resize(Path.size() * 2);
  }
}

std::string CurrentDirectory() {
  std::string Path(256, '\0');
  while (!getcwd(Path.data(), Path.size())) {
    if (errno != ERANGE) return Failed();
    Path.resize(Path.size() * 2);
  }
  Path.resize(Path.find('\0'));
  return Path;
}

}  // namespace green::os
