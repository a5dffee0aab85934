// Client ends of named pipes: a socket connected to the server's path, kept
// once the server's service thread has taken it.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/posix/Errno.h"
#include "platform/posix/PipeDirectory.h"
#include "platform/posix/PipeObject.h"

namespace green::os {

namespace {

// A server's service thread answers at once; only a server process that
// hangs makes an open wait this long (and then answer "pipe busy").
constexpr int64_t kAcceptTimeoutNs = 5'000'000'000;

class PipeClient final : public PipeObject {
 public:
  explicit PipeClient(int Fd) : FSocket(Fd) {}
  ~PipeClient() override { close(FSocket); }
  int IoFd() const override { return FSocket; }
  int ConnectedFd() override { return FSocket; }

 private:
  const int FSocket;
};

bool ConnectTo(int Fd, const std::string& Path) {
  sockaddr_un Address{};
  Address.sun_family = AF_UNIX;
  std::memcpy(Address.sun_path, Path.c_str(), Path.size() + 1);
  if (connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0) return true;
  // A socket file that nobody listens on is what a crashed server left.
  if (errno == ENOENT || errno == ECONNREFUSED) return Fail(kErrorFileNotFound);
  if (errno == EAGAIN) return Fail(kErrorPipeBusy);
  SetLastErrorFromErrno();
  return false;
}

// The server's answer: the accepted byte, or the end of the stream when it
// turned us away.
bool Accepted(int Fd) {
  const int64_t Deadline = MonotonicNanos() + kAcceptTimeoutNs;
  for (;;) {
    pollfd Poll{Fd, POLLIN, 0};
    const int64_t Left = Deadline - MonotonicNanos();
    if (Left <= 0) return Fail(kErrorPipeBusy);
    const int Ready = poll(&Poll, 1, static_cast<int>(Left / 1'000'000 + 1));
    if (Ready < 0 && errno == EINTR) continue;
    if (Ready < 0) {
      SetLastErrorFromErrno();
      return false;
    }
    if (Ready == 0) continue;
    char Answer = 0;
    const ssize_t Got = recv(Fd, &Answer, 1, MSG_DONTWAIT);
    if (Got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (Got == 1 && Answer == kPipeNoDescriptors) return Fail(kErrorTooManyOpenFiles);
    return (Got == 1 && Answer == kPipeAccepted) || Fail(kErrorPipeBusy);
  }
}

bool MakeBlocking(int Fd) {
  const int Flags = fcntl(Fd, F_GETFL);
  if (Flags >= 0 && fcntl(Fd, F_SETFL, Flags & ~O_NONBLOCK) == 0) return true;
  SetLastErrorFromErrno();
  return false;
}

}  // namespace

bool PipeObject::Connect(ConnectOverlapped&) { return Fail(kErrorNotSupported); }

bool PipeObject::Disconnect() { return Fail(kErrorNotSupported); }

Handle OpenPipeClient(std::string_view Name) {
  PipePaths Paths;
  if (!PipePathsOf(Name, Paths)) return kInvalidHandleValue;
  const int Fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (Fd < 0) {
    SetLastErrorFromErrno();
    return kInvalidHandleValue;
  }
  // Nonblocking only while it connects: a full backlog must not block.
  if (!ConnectTo(Fd, Paths.Socket) || !Accepted(Fd) || !MakeBlocking(Fd)) {
    close(Fd);
    return kInvalidHandleValue;
  }
  const Handle H = AddObject(std::make_shared<PipeClient>(Fd));
  return H == kNoHandle ? kInvalidHandleValue : H;
}

}  // namespace green::os
