// Starting children: the command line split as Windows splits it, the
// program looked for as Windows looks for it, and the child given its three
// standard handles and nothing else.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/Error.h"
#include "platform/Process.h"
#include "platform/Shell.h"
#include "platform/posix/CRuntimeArguments.h"
#include "platform/posix/Errno.h"
#include "platform/posix/ProcessObject.h"

extern char** environ;

namespace green::os {

namespace {

bool IsExecutableFile(const std::string& Path) {
  struct stat S;
  return stat(Path.c_str(), &S) == 0 && S_ISREG(S.st_mode) && access(Path.c_str(), X_OK) == 0;
}

// Empty, with the reason as the last error, when the current directory
// cannot be read (it was removed, say): a relative path then names nothing,
// and above all not the same path under the root.
std::string Absolute(const std::string& Path) {
  if (Path[0] == '/') return Path;
  const std::string Dir = CurrentDirectory();
  return Dir.empty() ? Dir : Dir + "/" + Path;
}

// The directories a bare program name is looked for in, in order; those
// that cannot be read are left out.
std::vector<std::string> SearchDirectories() {
  std::vector<std::string> Dirs;
  for (std::string Dir : {ExecutableDirectory(), CurrentDirectory()})
    if (!Dir.empty()) Dirs.push_back(std::move(Dir));
  const char* Path = std::getenv("PATH");
  for (std::string_view Rest = Path ? Path : ""; !Rest.empty();) {
    const size_t Colon = std::min(Rest.find(':'), Rest.size());
    Dirs.emplace_back(Rest.substr(0, Colon));
    Rest.remove_prefix(std::min(Colon + 1, Rest.size()));
  }
  return Dirs;
}

// A path is taken as given (from the parent's current directory); a bare
// name is the first executable file of that name in the search directories.
bool FindProgram(const std::string& Name, std::string& Program) {
  if (Name.find('/') != std::string::npos) {
    Program = Absolute(Name);
    if (Program.empty()) return false;
    return access(Program.c_str(), F_OK) == 0 || Fail(kErrorFileNotFound);
  }
  bool Seen = false;
  for (const std::string& Dir : SearchDirectories()) {
    const std::string Candidate = Absolute((Dir.empty() ? "." : Dir) + "/" + Name);
    if (Candidate.empty()) continue;
    if (IsExecutableFile(Candidate)) {
      Program = Candidate;
      return true;
    }
    Seen = Seen || access(Candidate.c_str(), F_OK) == 0;
  }
  return Fail(Seen ? kErrorAccessDenied : kErrorFileNotFound);
}

bool IsDirectory(const std::string& Path) {
  struct stat S;
  return stat(Path.c_str(), &S) == 0 && S_ISDIR(S.st_mode);
}

// The parent's descriptors for the child's 0, 1 and 2 (-1: /dev/null), kept
// open until the child has started. Descriptors below 3 are copied above,
// so that moving one onto its place never overwrites another's source.
class StdDescriptors {
 public:
  ~StdDescriptors() {
    for (int Fd : FCopies) close(Fd);
  }

  bool Take(const StdHandles& Std) {
    const Handle Handles[3] = {Std.Input, Std.Output, Std.Error};
    for (int I = 0; I < 3; ++I) {
      if (Handles[I] == kNoHandle) continue;
      FObjects[I] = ObjectOf(Handles[I]);
      if (!FObjects[I]) return false;
      FFds[I] = FObjects[I]->IoFd();
      if (FFds[I] < 0) return Fail(kErrorInvalidHandle);
      if (!Blocking(FFds[I]) || (FFds[I] < 3 && !CopyAbove(FFds[I]))) return false;
    }
    return true;
  }

  int operator[](int I) const { return FFds[I]; }

 private:
  // A child reads and writes its standard streams blocking. A pipe end
  // that overlapped I/O made nonblocking gets an open description of its own
  // for the child (reopened through /proc); sockets of this layer stay
  // blocking anyway.
  bool Blocking(int& Fd) {
    const int Flags = fcntl(Fd, F_GETFL);
    if (Flags < 0) return FailErrno();
    if (!(Flags & O_NONBLOCK)) return true;
    struct stat S;
    if (fstat(Fd, &S) != 0) return FailErrno();
    if (!S_ISFIFO(S.st_mode)) return true;
    const std::string Path = "/proc/self/fd/" + std::to_string(Fd);
    // Nonblocking while it opens: a pipe's read end would wait for a writer.
    const int Copy = open(Path.c_str(), (Flags & O_ACCMODE) | O_NONBLOCK | O_CLOEXEC);
    if (Copy < 0) return FailErrno();
    FCopies.push_back(Copy);
    Fd = Copy;
    return fcntl(Copy, F_SETFL, Flags & ~O_NONBLOCK) == 0 || FailErrno();
  }

  bool CopyAbove(int& Fd) {
    const int Copy = fcntl(Fd, F_DUPFD_CLOEXEC, 3);
    if (Copy < 0) return FailErrno();
    FCopies.push_back(Copy);
    Fd = Copy;
    return true;
  }

  ObjectRef FObjects[3];
  int FFds[3] = {-1, -1, -1};
  std::vector<int> FCopies;
};

// What the child does between fork and exec: its standard descriptors, no
// others, its directory, default signal handling and an empty signal mask.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&FActions);
    posix_spawnattr_init(&FAttributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&FActions);
    posix_spawnattr_destroy(&FAttributes);
  }

  bool Prepare(const StdDescriptors& Fds, const std::string& WorkDir) {
    int Error = 0;
    for (int I = 0; I < 3 && !Error; ++I)
      Error = Fds[I] >= 0 ? posix_spawn_file_actions_adddup2(&FActions, Fds[I], I)
                          : posix_spawn_file_actions_addopen(&FActions, I, "/dev/null", O_RDWR, 0);
    if (!Error) Error = posix_spawn_file_actions_addclosefrom_np(&FActions, 3);
    if (!Error && !WorkDir.empty())
      Error = posix_spawn_file_actions_addchdir_np(&FActions, WorkDir.c_str());
    sigset_t All, None;
    sigfillset(&All);
    sigemptyset(&None);
    if (!Error) Error = posix_spawnattr_setsigdefault(&FAttributes, &All);
    if (!Error) Error = posix_spawnattr_setsigmask(&FAttributes, &None);
    if (!Error)
      Error =
          posix_spawnattr_setflags(&FAttributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    if (Error) SetLastError(ErrorFromErrno(Error));
    return Error == 0;
  }

  // The child's pid, or -1 (last error set) when it did not start.
  pid_t Spawn(const std::string& Program, const std::vector<std::string>& Args) {
    std::vector<char*> Argv;
    for (const std::string& Arg : Args) Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    pid_t Pid = -1;
    const int Error =
        posix_spawn(&Pid, Program.c_str(), &FActions, &FAttributes, Argv.data(), environ);
    if (Error == 0) return Pid;
    SetLastError(ErrorFromErrno(Error));
    return -1;
  }

 private:
  posix_spawn_file_actions_t FActions;
  posix_spawnattr_t FAttributes;
};

// The waitable handle of a started child; a child we cannot hold is ended.
bool HoldChild(pid_t Pid, ProcessInformation& Info) {
  const int PidFd = OpenPidFd(Pid);
  if (PidFd < 0) {
    SetLastErrorFromErrno();
    kill(Pid, SIGKILL);
    waitpid(Pid, nullptr, 0);
    return false;
  }
  auto Child = std::make_shared<ProcessObject>(Pid, PidFd);
  const Handle H = AddObject(Child);
  if (H == kNoHandle) {
    Child->Terminate(0);  // nobody could wait for it
    SetLastError(kErrorNotEnoughMemory);
    return false;
  }
  Info.Process = H;
  Info.ProcessId = static_cast<uint32_t>(Pid);
  return true;
}

}  // namespace

bool CreateProcess(std::string_view CommandLine, std::string_view WorkDir, uint32_t CreationFlags,
                   const StdHandles& Std, ProcessInformation& Info) {
  std::vector<std::string> Args = SplitAsCRuntime(CommandLine);
  if (Args.empty() || Args[0].empty()) return Fail(kErrorFileNotFound);
  std::replace(Args[0].begin(), Args[0].end(), '\\', '/');
  std::string Program;
  if (!FindProgram(Args[0], Program)) return false;
  const std::string Dir(WorkDir);
  if (!Dir.empty() && !IsDirectory(Dir)) return Fail(kErrorDirectory);
  StdDescriptors Fds;
  SpawnSetup Setup;
  if (!Fds.Take(Std) || !Setup.Prepare(Fds, Dir)) return false;
  const pid_t Pid = Setup.Spawn(Program, Args);
  return Pid > 0 && HoldChild(Pid, Info);
}

}  // namespace green::os
