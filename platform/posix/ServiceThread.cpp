#include "platform/posix/ServiceThread.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/Error.h"
#include "platform/posix/Errno.h"

namespace green::os {

namespace {

struct Watch {
  int Fd;
  std::shared_ptr<ServiceRoutine> Routine;
};

class Service {
 public:
  uint64_t Add(int Fd, ServiceRoutine Routine) {
    std::lock_guard<std::mutex> Guard(FLock);
    if (!Start()) return 0;
    const uint64_t Id = ++FLastId;
    epoll_event Event{};
    Event.events = EPOLLIN;
    Event.data.u64 = Id;
    if (epoll_ctl(FEpoll, EPOLL_CTL_ADD, Fd, &Event) != 0) {
      SetLastErrorFromErrno();
      return 0;
    }
    FWatches.emplace(Id, Watch{Fd, std::make_shared<ServiceRoutine>(std::move(Routine))});
    return Id;
  }

  // The routine is dropped outside the lock: it may own what it watched.
  void Remove(uint64_t Id) {
    std::shared_ptr<ServiceRoutine> Routine;
    {
      std::lock_guard<std::mutex> Guard(FLock);
      auto It = FWatches.find(Id);
      if (It == FWatches.end()) return;
      epoll_ctl(FEpoll, EPOLL_CTL_DEL, It->second.Fd, nullptr);
      Routine = std::move(It->second.Routine);
      FWatches.erase(It);
    }
  }

 private:
  // Under FLock.
  bool Start() {
    if (FEpoll >= 0) return true;
    FEpoll = epoll_create1(EPOLL_CLOEXEC);
    if (FEpoll < 0) {
      SetLastErrorFromErrno();
      return false;
    }
    std::thread([this] { Run(); }).detach();
    return true;
  }

  std::shared_ptr<ServiceRoutine> RoutineOf(uint64_t Id) {
    std::lock_guard<std::mutex> Guard(FLock);
    auto It = FWatches.find(Id);
    return It == FWatches.end() ? nullptr : It->second.Routine;
  }

  void Run() {
    epoll_event Events[16];
    for (;;) {
      const int Count = epoll_wait(FEpoll, Events, 16, -1);
      if (Count < 0 && errno != EINTR) {
        std::perror("green: the pipe and process service thread cannot wait");
        std::abort();
      }
      for (int I = 0; I < Count; ++I) {
        // A watch removed after this wait began is no longer found.
        std::shared_ptr<ServiceRoutine> Routine = RoutineOf(Events[I].data.u64);
        if (Routine && !(*Routine)()) Remove(Events[I].data.u64);
      }
    }
  }

  std::mutex FLock;  // guards everything below; never held while a routine runs
  int FEpoll = -1;
  uint64_t FLastId = 0;
  std::unordered_map<uint64_t, Watch> FWatches;
};

Service& TheService() {
  static Service* S = new Service;  // its thread outlives static destruction
  return *S;
}

}  // namespace

uint64_t WatchReadable(int Fd, ServiceRoutine Routine) {
  return TheService().Add(Fd, std::move(Routine));
}

void Unwatch(uint64_t Id) { TheService().Remove(Id); }

}  // namespace green::os
