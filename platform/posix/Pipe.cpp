// The named-pipe calls over the pipe objects.
#include "platform/Pipe.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

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
  auto P = PipeOf(Pipe);
  if (!P) return false;
  const int Fd = P->ConnectedFd();
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
    Copied = recv(Fd, Buffer, std::min<size_t>(Size, Waiting), MSG_PEEK | MSG_DONTWAIT);
    if (Copied < 0) Copied = 0;
  }
  if (BytesRead) *BytesRead = static_cast<uint32_t>(Copied);
  if (BytesAvailable) *BytesAvailable = static_cast<uint32_t>(std::max<ssize_t>(Waiting, Copied));
  return true;
}

}  // namespace green::os
