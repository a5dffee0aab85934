// The named-pipe calls over the pipe objects; a peek also takes the ends
// of anonymous pipes, as on Windows.
#include "platform/Pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "platform/Error.h"
#include "platform/posix/Errno.h"
#include "platform/posix/PipeObject.h"

namespace green::os {

namespace {

std::shared_ptr<PipeObject> PipeOf(Handle H) {
  return std::static_pointer_cast<PipeObject>(ObjectOf(H, ObjectKind::Pipe));
}

// A named pipe's connected socket, or the end of an anonymous pipe (a
// stream pipe's); -1 with the last error set for anything else.
int PeekableFd(KernelObject& Object, bool& IsSocket) {
  if (Object.Kind == ObjectKind::Pipe) {
    IsSocket = true;
    return static_cast<PipeObject&>(Object).ConnectedFd();
  }
  struct stat Info;
  const int Fd = Object.IoFd();
  if (Object.Kind == ObjectKind::File && Fd >= 0 && fstat(Fd, &Info) == 0 &&
      S_ISFIFO(Info.st_mode))
    return Fd;
  SetLastError(kErrorInvalidHandle);
  return -1;
}

// A pipe has no peek: its bytes are copied through a pipe of our own (tee
// leaves them where they are).
ssize_t CopyFromPipe(int Fd, void* Buffer, size_t Size) {
  int Scratch[2];
  if (pipe2(Scratch, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  ssize_t Copied = tee(Fd, Scratch[1], Size, SPLICE_F_NONBLOCK);
  if (Copied > 0) Copied = read(Scratch[0], Buffer, static_cast<size_t>(Copied));
  close(Scratch[0]);
  close(Scratch[1]);
  return Copied;
}

}  // namespace

bool PeerHasClosed(int Fd) {
  pollfd Poll{Fd, POLLRDHUP, 0};
  return poll(&Poll, 1, 0) == 1 && (Poll.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

Handle CreateNamedPipe(std::string_view Name, uint32_t OutBufferSize, uint32_t InBufferSize,
                       uint32_t MaxInstances) {
  if (MaxInstances == 0 || MaxInstances > kPipeUnlimitedInstances) {
    SetLastError(kErrorInvalidParameter);
    return kInvalidHandleValue;
  }
  return CreatePipeServer(Name);
}

Handle OpenNamedPipe(std::string_view Name) { return OpenPipeClient(Name); }

bool ConnectNamedPipe(Handle Pipe, ConnectOverlapped& Overlapped) {
  auto P = PipeOf(Pipe);
  return P && P->Connect(Overlapped);
}

bool DisconnectNamedPipe(Handle Pipe) {
  auto P = PipeOf(Pipe);
  return P && P->Disconnect();
}

bool PeekNamedPipe(Handle Pipe, void* Buffer, uint32_t Size, uint32_t* BytesRead,
                   uint32_t* BytesAvailable) {
  const ObjectRef Object = ObjectOf(Pipe);
  if (!Object) return false;
  bool IsSocket = false;
  const int Fd = PeekableFd(*Object, IsSocket);
  if (Fd < 0) return false;
  int Waiting = 0;
  if (ioctl(Fd, FIONREAD, &Waiting) != 0) {
    SetLastErrorFromErrno();
    return false;
  }
  if (Waiting == 0 && PeerHasClosed(Fd)) {
    SetLastError(kErrorBrokenPipe);
    return false;
  }
  ssize_t Copied = 0;
  if (Buffer && Size > 0 && Waiting > 0) {
    const size_t Want = std::min<size_t>(Size, Waiting);
    Copied = IsSocket ? recv(Fd, Buffer, Want, MSG_PEEK | MSG_DONTWAIT)
                      : CopyFromPipe(Fd, Buffer, Want);
    if (Copied < 0) Copied = 0;
  }
  if (BytesRead) *BytesRead = static_cast<uint32_t>(Copied);
  if (BytesAvailable) *BytesAvailable = static_cast<uint32_t>(std::max<ssize_t>(Waiting, Copied));
  return true;
}

}  // namespace green::os
