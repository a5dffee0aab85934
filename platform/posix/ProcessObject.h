// The kernel object behind a process handle on posix: the child's pidfd,
// which polls readable once the child has ended (and stays so). The first
// call that finds the child ended reaps it and keeps its exit code; a child
// that still runs when the last reference goes is handed to the service
// thread, which reaps it when it ends, so no zombie stays behind.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>

#include "platform/Kernel.h"
#include "platform/posix/KernelObject.h"

namespace green::os {

// pidfd_open and pidfd_send_signal by system call: the glibc 2.36 header
// declares them without C linkage.
int OpenPidFd(pid_t Pid);
int SignalPidFd(int PidFd, int Signal);

class ProcessObject final : public KernelObject {
 public:
  ProcessObject(pid_t Pid, int PidFd);
  ~ProcessObject() override;

  pid_t Pid() const { return FPid; }
  // kStillActive while the child runs.
  bool ExitCode(uint32_t& Code);
  bool Terminate(uint32_t Code);

 private:
  bool Reap();  // under FLock: true once the child has been reaped

  const pid_t FPid;
  std::mutex FLock;  // guards everything below
  bool FReaped = false;
  int FWaitError = 0;  // errno when somebody else reaped the child first
  uint32_t FExitCode = 0;
  bool FTerminating = false;
  uint32_t FTerminateCode = 0;
};

}  // namespace green::os
