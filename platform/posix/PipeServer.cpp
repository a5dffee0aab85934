// Server ends of named pipes: the lock on the name, the listening socket,
// and the connection the service thread accepts.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Error.h"
#include "platform/posix/Errno.h"
#include "platform/posix/PipeDirectory.h"
#include "platform/posix/PipeObject.h"
#include "platform/posix/ServiceThread.h"

namespace green::os {

namespace {

// Clients queued beyond those the service thread has not yet turned away
// are refused by the system, which their open reads as "pipe busy".
constexpr int kBacklog = 8;

enum class PipeState { Listening, Connected, Disconnected };

bool SameFile(int Fd, const std::string& Path) {
  struct stat Held, Named;
  return fstat(Fd, &Held) == 0 && stat(Path.c_str(), &Named) == 0 && Held.st_dev == Named.st_dev &&
         Held.st_ino == Named.st_ino;
}

// The name's lock file, opened and locked: held by the name's one server. A
// server that went away removed the file while it held the lock, so a lock
// won on a file no longer at its path is tried again.
int LockName(const std::string& Path) {
  for (int Attempt = 0; Attempt < 16; ++Attempt) {
    const int Fd = open(Path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (Fd < 0) {
      SetLastErrorFromErrno();
      return -1;
    }
    if (flock(Fd, LOCK_EX | LOCK_NB) != 0) {
      const int Error = errno;
      close(Fd);
      SetLastError(Error == EWOULDBLOCK ? kErrorAccessDenied : ErrorFromErrno(Error));
      return -1;
    }
    if (SameFile(Fd, Path)) return Fd;
    close(Fd);
  }
  SetLastError(kErrorAccessDenied);
  return -1;
}

bool SendAccepted(int Fd) { return send(Fd, &kPipeAccepted, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1; }

// What the other end wrote and nobody read: a disconnect drops it.
void Drain(int Fd) {
  char Buffer[4096];
  while (recv(Fd, Buffer, sizeof Buffer, MSG_DONTWAIT) > 0) {
  }
}

// A descriptor kept in reserve for the service thread, which alone uses it
// once it is made: when the process has no descriptor left for a client,
// the reserve lets the thread take the client and tell it why at once,
// rather than leave it queued until its open gives up.
int& SpareFd() {
  static int Fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  return Fd;
}

void RefuseForLackOfDescriptors(int Listen) {
  int& Spare = SpareFd();
  if (Spare < 0) return;
  close(Spare);
  const int Fd = accept4(Listen, nullptr, nullptr, SOCK_CLOEXEC);
  if (Fd >= 0) {
    (void)!send(Fd, &kPipeNoDescriptors, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    close(Fd);
  }
  Spare = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

class PipeServer final : public PipeObject {
 public:
  ~PipeServer() override {
    Release();
    const int Connected = FConnected.load(std::memory_order_relaxed);
    if (Connected >= 0) close(Connected);
  }

  bool Listen(const PipePaths& Paths) {
    FPaths = Paths;
    FLockFd = LockName(Paths.Lock);
    if (FLockFd < 0) return false;
    // A socket left by a server that ended without closing its handle.
    unlink(Paths.Socket.c_str());
    FListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (FListen < 0) return FailErrno();
    sockaddr_un Address{};
    Address.sun_family = AF_UNIX;
    std::memcpy(Address.sun_path, Paths.Socket.c_str(), Paths.Socket.size() + 1);
    if (bind(FListen, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0)
      return FailErrno();
    FBound = true;
    return listen(FListen, kBacklog) == 0 || FailErrno();
  }

  bool StartAccepting(std::weak_ptr<PipeServer> Self) {
    FWatch = WatchReadable(FListen, [Self] {
      auto Server = Self.lock();
      return Server && Server->AcceptOne();
    });
    return FWatch != 0;
  }

  int IoFd() const override { return FConnected.load(std::memory_order_acquire); }

  int ConnectedFd() override {
    std::lock_guard<std::mutex> Guard(FLock);
    if (FState == PipeState::Connected) return FConnected.load(std::memory_order_relaxed);
    SetLastError(kErrorBadPipe);
    return -1;
  }

  bool Connect(ConnectOverlapped& Overlapped) override {
    ObjectRef Event;
    if (Overlapped.Event != kNoHandle) {
      Event = ObjectOf(Overlapped.Event, ObjectKind::Event);
      if (!Event) return false;
      ResetEventObject(*Event);
    }
    std::lock_guard<std::mutex> Guard(FLock);
    if (FState == PipeState::Connected) {
      SetLastError(PeerHasClosed(FConnected.load(std::memory_order_relaxed)) ? kErrorNoData
                                                                             : kErrorPipeConnected);
      return false;
    }
    FState = PipeState::Listening;
    if (Event) FPending.push_back(std::move(Event));
    SetLastError(kErrorIoPending);
    return false;
  }

  bool Disconnect() override {
    std::lock_guard<std::mutex> Guard(FLock);
    if (FState != PipeState::Connected) {
      SetLastError(FState == PipeState::Listening ? kErrorPipeListening : kErrorPipeNotConnected);
      return false;
    }
    const int Fd = FConnected.load(std::memory_order_relaxed);
    shutdown(Fd, SHUT_RDWR);
    Drain(Fd);
    FState = PipeState::Disconnected;
    return true;
  }

  void Closed() override { Release(); }

 private:
  // On the service thread; false ends the watch.
  bool AcceptOne() {
    std::lock_guard<std::mutex> Guard(FLock);
    if (FListen < 0) return false;
    const int Fd = accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    if (Fd < 0 && (errno == EMFILE || errno == ENFILE)) RefuseForLackOfDescriptors(FListen);
    if (Fd < 0) return true;  // or the client gave up already
    if (FState != PipeState::Listening || !Adopt(Fd)) {
      close(Fd);  // busy: the client's open reads the end of the stream
      return true;
    }
    // Only once adopted: a client whose open has returned may write at
    // once, and a read of this end must then find the socket.
    if (!SendAccepted(FConnected.load(std::memory_order_relaxed))) return true;
    FState = PipeState::Connected;
    for (const ObjectRef& Event : FPending) SignalEventObject(*Event);
    FPending.clear();
    return true;
  }

  // The first connection keeps its number; later ones move onto it.
  bool Adopt(int Fd) {
    const int Connected = FConnected.load(std::memory_order_relaxed);
    if (Connected < 0) {
      FConnected.store(Fd, std::memory_order_release);
      return true;
    }
    if (dup3(Fd, Connected, O_CLOEXEC) < 0) return false;
    close(Fd);
    return true;
  }

  // Frees the name; pending connects complete (their events are set), as a
  // close cancels them on Windows. Idempotent.
  void Release() {
    std::lock_guard<std::mutex> Guard(FLock);
    if (FWatch) Unwatch(FWatch);
    FWatch = 0;
    if (FListen >= 0) close(FListen);
    FListen = -1;
    if (FBound) unlink(FPaths.Socket.c_str());
    FBound = false;
    if (FLockFd >= 0) {
      unlink(FPaths.Lock.c_str());
      close(FLockFd);
    }
    FLockFd = -1;
    for (const ObjectRef& Event : FPending) SignalEventObject(*Event);
    FPending.clear();
  }

  std::mutex FLock;  // guards everything but FConnected's loads
  PipePaths FPaths;
  int FLockFd = -1;
  int FListen = -1;
  bool FBound = false;
  uint64_t FWatch = 0;
  PipeState FState = PipeState::Listening;
  std::atomic<int> FConnected{-1};
  std::vector<ObjectRef> FPending;  // the events of pending connects
};

}  // namespace

Handle CreatePipeServer(std::string_view Name) {
  PipePaths Paths;
  if (!PipePathsOf(Name, Paths)) return kInvalidHandleValue;
  (void)SpareFd();
  auto Server = std::make_shared<PipeServer>();
  if (!Server->Listen(Paths) || !Server->StartAccepting(Server)) return kInvalidHandleValue;
  const Handle H = AddObject(Server);
  return H == kNoHandle ? kInvalidHandleValue : H;
}

}  // namespace green::os
