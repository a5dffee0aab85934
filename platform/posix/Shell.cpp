// The shell on posix: xdg-open for URLs, detached starts through a middle
// process that vfork makes.
#include "platform/Shell.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>

#include "platform/CommandLine.h"
#include "platform/Error.h"
#include "platform/posix/Errno.h"

extern char** environ;

namespace green::os {

namespace {

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

// How the program starts: in a session of its own, with an empty signal
// mask and every signal at its default (SIGPIPE too, which the runtime
// ignores), and, as a program that Windows starts through the shell, with
// no descriptor but the standard ones. Resetting every signal is also the
// cheapest way with posix_spawn: it sets each once, where a partial set
// makes it look each other signal up first.
class TDetachedSetup {
 public:
  TDetachedSetup() {
    posix_spawn_file_actions_init(&FActions);
    posix_spawnattr_init(&FAttributes);
  }
  ~TDetachedSetup() {
    posix_spawn_file_actions_destroy(&FActions);
    posix_spawnattr_destroy(&FAttributes);
  }
  TDetachedSetup(const TDetachedSetup&) = delete;
  TDetachedSetup& operator=(const TDetachedSetup&) = delete;

  // 0, or the error number.
  int Prepare() {
    sigset_t None, All;
    sigemptyset(&None);
    sigfillset(&All);
    int Error = posix_spawn_file_actions_addclosefrom_np(&FActions, 3);
    if (!Error) Error = posix_spawnattr_setsigmask(&FAttributes, &None);
    if (!Error) Error = posix_spawnattr_setsigdefault(&FAttributes, &All);
    if (!Error)
      Error = posix_spawnattr_setflags(
          &FAttributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    return Error;
  }

  int Spawn(const char* Path, char* const* Argv) const {
    pid_t Program;
    return posix_spawn(&Program, Path, &FActions, &FAttributes, Argv, environ);
  }

 private:
  posix_spawn_file_actions_t FActions;
  posix_spawnattr_t FAttributes;
};

// The program is never our child: a middle process starts it and ends at
// once, is reaped here, and the program is adopted by init. The middle is
// made by vfork, so it costs no copy of our address space: it runs on our
// memory while this thread waits, only starts the program (posix_spawn
// reports a failed exec by its result, which it leaves in our memory) and
// ends. Signals stay blocked meanwhile, so no handler of ours runs in it.
bool SpawnDetached(const std::string& Path, const std::vector<std::string>& Args) {
  std::vector<char*> Argv;
  for (const std::string& A : Args) Argv.push_back(const_cast<char*>(A.c_str()));
  Argv.push_back(nullptr);
  TDetachedSetup Setup;
  if (const int Error = Setup.Prepare()) return Fail(ErrorFromErrno(Error));
  sigset_t All, Old;
  sigfillset(&All);
  ::pthread_sigmask(SIG_SETMASK, &All, &Old);
  volatile int SpawnError = 0;
  const pid_t Middle = ::vfork();
  if (Middle == 0) {
    SpawnError = Setup.Spawn(Path.c_str(), Argv.data());
    ::_exit(0);
  }
  const int ForkError = errno;
  ::pthread_sigmask(SIG_SETMASK, &Old, nullptr);
  if (Middle < 0) return Fail(ErrorFromErrno(ForkError));
  while (::waitpid(Middle, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (SpawnError != 0) return Fail(ErrorFromErrno(SpawnError));
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

namespace {

// Read with the system's calls: a C++ stream would start the C++ locale,
// dozens of facets, in every program that asks, the launcher among them.
std::string WholeFile(const char* Path) {
  std::string All;
  const int Fd = ::open(Path, O_RDONLY | O_CLOEXEC);
  if (Fd < 0) return All;
  char Buffer[4096];
  for (;;) {
    const ssize_t Count = ::read(Fd, Buffer, sizeof Buffer);
    if (Count > 0) {
      All.append(Buffer, static_cast<size_t>(Count));
    } else if (Count == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(Fd);
  return All;
}

}  // namespace

std::vector<std::string> ProcessArguments() {
  const std::string All = WholeFile("/proc/self/cmdline");
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
