#include "platform/posix/ThreadWaitState.h"

#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "platform/Callback.h"
#include "platform/Error.h"
#include "platform/Io.h"
#include "platform/Thread.h"
#include "platform/posix/Errno.h"

namespace green::os {

namespace {

// Every thread's state by id, so that QueueApc can reach it.
struct Registry {
  std::mutex Lock;
  std::unordered_map<uint32_t, std::shared_ptr<ThreadWaitState>> ByThread;
};

Registry& TheRegistry() {
  static Registry* R = new Registry;  // outlives the threads' exit
  return *R;
}

// The start time of a thread of this process, 0 when there is no such thread.
uint64_t ThreadStartTime(uint32_t ThreadId) {
  std::string Path = "/proc/self/task/" + std::to_string(ThreadId) + "/stat";
  FILE* File = std::fopen(Path.c_str(), "re");
  if (!File) return 0;
  char Line[1024];
  size_t Length = std::fread(Line, 1, sizeof Line - 1, File);
  std::fclose(File);
  Line[Length] = 0;
  // The name in parentheses may hold anything; field 22 counts from after it.
  const char* P = std::strrchr(Line, ')');
  for (int Field = 2; P && Field < 22; ++Field) P = std::strchr(P + 1, ' ');
  return P ? std::strtoull(P + 1, nullptr, 10) : 0;
}

std::shared_ptr<ThreadWaitState> NewState(uint32_t ThreadId, uint64_t StartTime) {
  auto State = std::make_shared<ThreadWaitState>();
  State->ThreadId = ThreadId;
  State->StartTime = StartTime;
  // Without a descriptor to spare, the thread's alertable waits fail (and
  // say why) until one can be made: nothing aborts the process.
  (void)MakeWakeFd(*State);
  return State;
}

// Takes up the state another thread made for this one (routines queued before
// its first wait), or makes a new one. Only a state made beforehand needs
// the thread's start time, which tells it from one made for an earlier
// thread with the same id; an adopted state's is never read. So the usual
// first wait reads no file, and one that finds a state reads it outside
// the lock and looks again.
std::shared_ptr<ThreadWaitState> Adopt() {
  const uint32_t Id = CurrentThreadId();
  Registry& R = TheRegistry();
  uint64_t StartTime = 0;
  for (bool Timed = false;; Timed = true) {
    {
      std::lock_guard<std::mutex> Guard(R.Lock);
      auto It = R.ByThread.find(Id);
      if (It == R.ByThread.end() || Timed) {
        auto& Slot = R.ByThread[Id];
        if (!Slot || Slot->StartTime != StartTime) Slot = NewState(Id, StartTime);
        std::lock_guard<std::mutex> StateGuard(Slot->Lock);
        Slot->Adopted = true;
        return Slot;
      }
    }
    StartTime = ThreadStartTime(Id);
  }
}

// Set while the thread's Holder lives; trivially destroyed, so reading it
// while the thread ends is safe.
thread_local ThreadWaitState* Existing = nullptr;

// The main thread's state once its Holder is gone. exit() destroys the main
// thread's thread_locals before the static objects, and the destructors of
// those (the hub unit's among them: it destroys every hub, cancelling and
// draining their operations) still cancel and wait on this thread, so its
// state stays until the process ends. A plain pointer, never freed: the
// registry holds the state as well.
std::shared_ptr<ThreadWaitState>* MainStateKept = nullptr;
thread_local bool Kept = false;

// Asked of the kernel, not remembered: a forked child is its own main thread.
bool IsProcessMainThread() { return gettid() == getpid(); }

struct Holder {
  std::shared_ptr<ThreadWaitState> State = Adopt();
  Holder() { Existing = State.get(); }
  ~Holder() {
    if (IsProcessMainThread()) {
      MainStateKept = new std::shared_ptr<ThreadWaitState>(std::move(State));
      Kept = true;
      return;
    }
    Existing = nullptr;
    Registry& R = TheRegistry();
    {
      std::lock_guard<std::mutex> Guard(R.Lock);
      auto It = R.ByThread.find(State->ThreadId);
      if (It != R.ByThread.end() && It->second == State) R.ByThread.erase(It);
    }
    // Routines queued to a thread that ends are dropped, as on Windows.
    {
      std::lock_guard<std::mutex> Guard(State->Lock);
      State->Exited = true;
      State->Apcs.clear();
    }
    DropTimers(*State);
    DropIo(State->Io);
  }
};

Holder& ThisHolder() {
  thread_local Holder H;
  return H;
}

// The state of another thread of this process, made for it when it has none
// yet; nullptr when no such thread runs.
std::shared_ptr<ThreadWaitState> StateOf(uint32_t ThreadId) {
  Registry& R = TheRegistry();
  {
    std::lock_guard<std::mutex> Guard(R.Lock);
    auto It = R.ByThread.find(ThreadId);
    if (It != R.ByThread.end() && It->second->Adopted) return It->second;
  }
  // Not taken up yet: check that the thread exists (and is the same one).
  uint64_t StartTime = ThreadStartTime(ThreadId);
  std::lock_guard<std::mutex> Guard(R.Lock);
  auto It = R.ByThread.find(ThreadId);
  if (!StartTime) {
    if (It != R.ByThread.end() && !It->second->Adopted) R.ByThread.erase(It);
    return nullptr;
  }
  if (It == R.ByThread.end() || (!It->second->Adopted && It->second->StartTime != StartTime))
    It = R.ByThread.insert_or_assign(ThreadId, NewState(ThreadId, StartTime)).first;
  return It->second;
}

}  // namespace

// Routines queued while there was no descriptor found no wake to write:
// the new one starts written, so the next wait runs them.
bool MakeWakeFd(ThreadWaitState& State) {
  if (State.WakeFd.load() >= 0) return true;
  const int Fd = eventfd(1, EFD_NONBLOCK | EFD_CLOEXEC);
  if (Fd < 0) {
    SetLastErrorFromErrno();
    return false;
  }
  int None = -1;
  if (!State.WakeFd.compare_exchange_strong(None, Fd)) close(Fd);
  return true;
}

// A thread id that names no thread now belonged to a thread whose Holder
// has run: its operations were dropped. An id reused since reads as alive.
// Asked of the kernel by a null signal, which needs no descriptor: a check
// that failed for want of one must not read as "ended".
bool ThreadIoDropped(uint32_t ThreadId) {
  if (ThreadId == CurrentThreadId()) return false;
  return syscall(SYS_tgkill, getpid(), static_cast<pid_t>(ThreadId), 0) != 0 && errno == ESRCH;
}

ThreadWaitState::~ThreadWaitState() {
  if (WakeFd >= 0) close(WakeFd);
  if (MessageFd >= 0) close(MessageFd);
}

ThreadWaitState& ThisThreadWaitState() { return Kept ? **MainStateKept : *ThisHolder().State; }

std::shared_ptr<ThreadWaitState> ThisThreadWaitStateShared() {
  return Kept ? *MainStateKept : ThisHolder().State;
}

ThreadWaitState* ThisThreadWaitStateIfAny() { return Existing; }

std::shared_ptr<ThreadWaitState> ThreadWaitStateOf(uint32_t ThreadId) {
  return ThreadId == CurrentThreadId() ? ThisThreadWaitStateShared() : StateOf(ThreadId);
}

std::vector<std::shared_ptr<ThreadWaitState>> AllThreadWaitStates() {
  Registry& R = TheRegistry();
  std::lock_guard<std::mutex> Guard(R.Lock);
  std::vector<std::shared_ptr<ThreadWaitState>> States;
  States.reserve(R.ByThread.size());
  for (auto& Entry : R.ByThread) States.push_back(Entry.second);
  return States;
}

bool QueueApc(uint32_t ThreadId, ApcProc Proc, void* Arg) {
  if (!Proc) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  std::shared_ptr<ThreadWaitState> State =
      ThreadId == CurrentThreadId() ? ThisThreadWaitStateShared() : StateOf(ThreadId);
  if (!State) {
    SetLastError(kErrorInvalidHandle);
    return false;
  }
  {
    std::lock_guard<std::mutex> Guard(State->Lock);
    if (State->Exited) {
      SetLastError(kErrorInvalidHandle);
      return false;
    }
    State->Apcs.emplace_back(Proc, Arg);
  }
  uint64_t One = 1;
  (void)!write(State->WakeFd, &One, sizeof One);
  return true;
}

bool RunQueuedApcs(ThreadWaitState& State) {
  uint64_t Count;
  // Drain the wake first: a routine queued after the swap below wakes the
  // next wait instead.
  (void)!read(State.WakeFd, &Count, sizeof Count);
  std::vector<std::pair<ApcProc, void*>> Due;
  {
    std::lock_guard<std::mutex> Guard(State.Lock);
    Due.swap(State.Apcs);
  }
  // After one fails, the others are held back for the next alertable wait.
  for (auto& [Proc, Arg] : Due) RunSystemCallback([P = Proc, A = Arg] { P(A); });
  return !Due.empty();
}

}  // namespace green::os
