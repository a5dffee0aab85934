// The shell on posix: xdg-open for URLs, a double fork for detached starts.
#include "platform/Shell.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/CommandLine.h"
#include "platform/Error.h"
#include "platform/posix/Errno.h"

namespace green::os {

namespace {

bool Fail(uint32_t Code) {
  SetLastError(Code);
  return false;
}

bool IsExecutableFile(const std::string& Path) {
  struct stat St;
  return ::stat(Path.c_str(), &St) == 0 && S_ISREG(St.st_mode) && ::access(Path.c_str(), X_OK) == 0;
}

// The search happens before the fork: the child may only make calls that
// are safe after forking a threaded process.
std::string FindProgram(const std::string& Name) {
  if (Name.find('/') != std::string::npos) return Name;
  const char* Path = std::getenv("PATH");
  std::string_view Dirs = Path ? Path : "/usr/local/bin:/usr/bin:/bin";
  while (!Dirs.empty()) {
    const size_t Colon = Dirs.find(':');
    std::string Dir(Dirs.substr(0, Colon));
    Dirs = Colon == std::string_view::npos ? std::string_view() : Dirs.substr(Colon + 1);
    std::string Candidate = (Dir.empty() ? std::string(".") : Dir) + "/" + Name;
    if (IsExecutableFile(Candidate)) return Candidate;
  }
  return {};
}

// A Windows program started through the shell inherits no handles; the
// same here for everything but the standard descriptors and Keep.
void CloseDescriptorsExcept(int Keep, int MaxFd) {
  const bool Below = Keep <= 3 || ::syscall(SYS_close_range, 3u, Keep - 1u, 0u) == 0;
  if (!Below || ::syscall(SYS_close_range, Keep + 1u, ~0u, 0u) != 0) {
    for (int Fd = 3; Fd < MaxFd; ++Fd)
      if (Fd != Keep) ::close(Fd);
  }
}

// Runs in the grandchild: a new session, a clean signal state, exec.
[[noreturn]] void ExecDetached(const char* Path, char* const* Argv, int ErrorFd, int MaxFd) {
  ::setsid();
  sigset_t None;
  sigemptyset(&None);
  ::sigprocmask(SIG_SETMASK, &None, nullptr);
  ::signal(SIGPIPE, SIG_DFL);
  CloseDescriptorsExcept(ErrorFd, MaxFd);
  ::execv(Path, Argv);
  const int Error = errno;
  (void)!::write(ErrorFd, &Error, sizeof Error);
  ::_exit(127);
}

// Forks twice so the program is never our child: the middle process ends
// at once and is reaped here, and the program is adopted by init. A fork or
// exec error comes back through a pipe that a successful exec closes.
bool SpawnDetached(const std::string& Path, const std::vector<std::string>& Args) {
  std::vector<char*> Argv;
  for (const std::string& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
  Argv.push_back(nullptr);
  const long OpenMax = ::sysconf(_SC_OPEN_MAX);
  const int MaxFd = OpenMax > 0 && OpenMax < INT_MAX ? static_cast<int>(OpenMax) : 1024;
  int Pipe[2];
  if (::pipe2(Pipe, O_CLOEXEC) != 0) return Fail(ErrorFromErrno(errno));
  const pid_t Middle = ::fork();
  if (Middle == 0) {
    ::close(Pipe[0]);
    const pid_t Program = ::fork();
    if (Program == 0) ExecDetached(Path.c_str(), Argv.data(), Pipe[1], MaxFd);
    if (Program < 0) {
      const int Error = errno;
      (void)!::write(Pipe[1], &Error, sizeof Error);
    }
    ::_exit(0);
  }
  const int ForkError = errno;
  ::close(Pipe[1]);
  int ExecError = 0;
  ssize_t Got = 0;
  if (Middle > 0) {
    while (::waitpid(Middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    while ((Got = ::read(Pipe[0], &ExecError, sizeof ExecError)) < 0 && errno == EINTR) {
    }
  }
  ::close(Pipe[0]);
  if (Middle < 0) return Fail(ErrorFromErrno(ForkError));
  if (Got == static_cast<ssize_t>(sizeof ExecError)) return Fail(ErrorFromErrno(ExecError));
  return true;
}

bool StartProgram(const std::string& Exe, const std::vector<std::string>& Args) {
  const std::string Path = FindProgram(Exe);
  if (Path.empty()) return Fail(kErrorFileNotFound);
  return SpawnDetached(Path, Args);
}

}  // namespace

bool OpenUrl(const std::string& Url) { return StartProgram("xdg-open", {"xdg-open", Url}); }

bool StartDetached(const std::string& Exe, const std::string& Parameters, WindowHandle) {
  std::vector<std::string> Args{Exe};
  for (std::string& A : SplitCommandLine(Parameters)) Args.push_back(std::move(A));
  return StartProgram(Exe, Args);
}

std::vector<std::string> ProcessArguments() {
  std::ifstream In("/proc/self/cmdline", std::ios::binary);
  const std::string All{std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
  std::vector<std::string> Args;
  for (size_t I = 0; I < All.size();) {
    const size_t End = All.find('\0', I);
    Args.push_back(All.substr(I, End - I));
    I = End == std::string::npos ? All.size() : End + 1;
  }
  if (!Args.empty()) Args.erase(Args.begin());
  return Args;
}

std::string CurrentDirectory() {
  std::string Buffer(256, '\0');
  while (::getcwd(Buffer.data(), Buffer.size()) == nullptr) {
    if (errno != ERANGE) {
      SetLastErrorFromErrno();
      return {};
    }
    Buffer.resize(Buffer.size() * 2);
  }
  Buffer.resize(Buffer.find('\0'));
  return Buffer;
}

std::string ExecutableDirectory() {
  std::string Buffer(256, '\0');
  for (;;) {
    const ssize_t Length = ::readlink("/proc/self/exe", Buffer.data(), Buffer.size());
    if (Length < 0) {
      SetLastErrorFromErrno();
      return {};
    }
    if (static_cast<size_t>(Length) < Buffer.size()) {
      Buffer.resize(Length);
      break;
    }
    Buffer.resize(Buffer.size() * 2);
  }
  const size_t Slash = Buffer.rfind('/');
  return Slash == 0 || Slash == std::string::npos ? std::string("/") : Buffer.substr(0, Slash);
}

}  // namespace green::os
