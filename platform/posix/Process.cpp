// Process handles: exit codes, termination, reaping, and the process's own
// id and directories.
#include "platform/Process.h"

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "platform/Error.h"
#include "platform/posix/Errno.h"
#include "platform/posix/ProcessObject.h"
#include "platform/posix/ServiceThread.h"

namespace green::os {

namespace {

// Keeps a child whose handles are all closed until it has ended and been reaped.
void HandToReaper(pid_t Pid, int PidFd) {
  struct Orphan {
    Orphan(pid_t P, int F) : Pid(P), Fd(F) {}
    ~Orphan() { close(Fd); }
    const pid_t Pid;
    const int Fd;
  };
  auto Child = std::make_shared<Orphan>(Pid, PidFd);
  WatchReadable(PidFd, [Child] {
    int Status;
    const pid_t Reaped = waitpid(Child->Pid, &Status, WNOHANG);
    return Reaped == 0 || (Reaped < 0 && errno == EINTR);
  });
}

std::shared_ptr<ProcessObject> ProcessOf(Handle H) {
  return std::static_pointer_cast<ProcessObject>(ObjectOf(H, ObjectKind::Process));
}

}  // namespace

int OpenPidFd(pid_t Pid) { return static_cast<int>(syscall(SYS_pidfd_open, Pid, 0)); }

int SignalPidFd(int PidFd, int Signal) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, PidFd, Signal, nullptr, 0));
}

ProcessObject::ProcessObject(pid_t Pid, int PidFd) : KernelObject(ObjectKind::Process), FPid(Pid) {
  Fd = PidFd;
  ManualReset = true;  // an ended child stays signalled
}

ProcessObject::~ProcessObject() {
  std::lock_guard<std::mutex> Guard(FLock);
  if (Reap()) return;
  HandToReaper(FPid, Fd);
  Fd = -1;  // the reaper's now
}

bool ProcessObject::Reap() {
  if (FReaped) return true;
  int Status = 0;
  const pid_t Reaped = waitpid(FPid, &Status, WNOHANG);
  if (Reaped == 0 || (Reaped < 0 && errno == EINTR)) return false;
  FReaped = true;
  if (Reaped < 0) {
    FWaitError = errno;
  } else if (WIFEXITED(Status)) {
    FExitCode = static_cast<uint32_t>(WEXITSTATUS(Status));
  } else {
    const int Signal = WTERMSIG(Status);
    FExitCode = FTerminating && Signal == SIGKILL ? FTerminateCode : 128u + Signal;
  }
  return true;
}

bool ProcessObject::ExitCode(uint32_t& Code) {
  std::lock_guard<std::mutex> Guard(FLock);
  if (!Reap()) {
    Code = kStillActive;
    return true;
  }
  // Reaped behind our back: the code is lost, and nothing pretends otherwise.
  if (FWaitError) return Fail(ErrorFromErrno(FWaitError));
  Code = FExitCode;
  return true;
}

bool ProcessObject::Terminate(uint32_t Code) {
  std::lock_guard<std::mutex> Guard(FLock);
  if (Reap()) return Fail(kErrorAccessDenied);
  if (FTerminating) return true;  // the first code stays
  FTerminating = true;
  FTerminateCode = Code;
  // ESRCH: it ended on its own meanwhile, and keeps its own exit code.
  if (SignalPidFd(Fd, SIGKILL) != 0 && errno != ESRCH) {
    FTerminating = false;
    SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool GetExitCodeProcess(Handle Process, uint32_t& ExitCode) {
  auto P = ProcessOf(Process);
  return P && P->ExitCode(ExitCode);
}

bool TerminateProcess(Handle Process, uint32_t ExitCode) {
  auto P = ProcessOf(Process);
  return P && P->Terminate(ExitCode);
}

uint32_t GetProcessId(Handle Process) {
  auto P = ProcessOf(Process);
  return P ? static_cast<uint32_t>(P->Pid()) : 0;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

}  // namespace green::os
