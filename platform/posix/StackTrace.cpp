// Another thread's stack: a real-time signal sent to that thread runs a
// handler there that unwinds with backtrace() into the one capture slot
// and wakes the asking thread through a futex. Only one capture runs at a
// time; a handler that comes too late finds the slot no longer asked for
// and does nothing.
#include "platform/StackTrace.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <linux/futex.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace green::os {

namespace {

constexpr int kMaxFrames = 64;
// The frames of the handler itself and of the signal trampoline.
constexpr int kHandlerFrames = 2;

enum : uint32_t { kFree, kAsked, kWriting, kDone };

struct TCaptureSlot {
  std::atomic<uint32_t> State{kFree};
  std::atomic<uint32_t> Thread{0};
  void* Frames[kMaxFrames];
  int Count = 0;
};

TCaptureSlot Slot;
std::mutex SlotLock;  // one capture at a time
bool Installed = false;

int CaptureSignal() { return SIGRTMIN + 5; }

long Futex(std::atomic<uint32_t>* Word, int Op, uint32_t Value, const timespec* Timeout) {
  return ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(Word), Op, Value, Timeout, nullptr, 0);
}

// Async-signal-safe: an atomic exchange, backtrace() (its library loaded
// beforehand, see Install), a futex wake.
void OnCaptureSignal(int, siginfo_t*, void*) {
  const int SavedErrno = errno;
  uint32_t Asked = kAsked;
  if (Slot.Thread.load(std::memory_order_acquire) == static_cast<uint32_t>(::gettid()) &&
      Slot.State.compare_exchange_strong(Asked, kWriting, std::memory_order_acq_rel)) {
    Slot.Count = ::backtrace(Slot.Frames, kMaxFrames);
    Slot.State.store(kDone, std::memory_order_release);
    Futex(&Slot.State, FUTEX_WAKE_PRIVATE, 1, nullptr);
  }
  errno = SavedErrno;
}

bool Install() {
  if (Installed) return true;
  // The first backtrace() loads the unwinder's library, which a signal
  // handler must not do.
  void* Warm[4];
  ::backtrace(Warm, 4);
  struct sigaction Action = {};
  Action.sa_sigaction = &OnCaptureSignal;
  Action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&Action.sa_mask);
  if (::sigaction(CaptureSignal(), &Action, nullptr) != 0) return false;
  Installed = true;
  return true;
}

int64_t NowNanos() {
  timespec Ts;
  ::clock_gettime(CLOCK_MONOTONIC, &Ts);
  return Ts.tv_sec * 1000000000LL + Ts.tv_nsec;
}

}  // namespace

bool CanCaptureThreadStacks() { return true; }

bool CaptureThreadStack(uint32_t ThreadId, std::vector<uintptr_t>& Frames, uint32_t TimeoutMs) {
  Frames.clear();
  std::lock_guard<std::mutex> Lock(SlotLock);
  if (!Install() || ThreadId == static_cast<uint32_t>(::gettid())) return false;
  Slot.Count = 0;
  Slot.Thread.store(ThreadId, std::memory_order_release);
  Slot.State.store(kAsked, std::memory_order_release);
  if (::syscall(SYS_tgkill, ::getpid(), ThreadId, CaptureSignal()) != 0) {
    Slot.State.store(kFree, std::memory_order_release);
    return false;
  }
  const int64_t Deadline = NowNanos() + int64_t{TimeoutMs} * 1000000;
  for (;;) {
    uint32_t State = Slot.State.load(std::memory_order_acquire);
    if (State == kDone) break;
    if (State == kAsked) {
      const int64_t Left = Deadline - NowNanos();
      if (Left <= 0) {
        // Too late: take the request back, unless the handler has begun.
        if (Slot.State.compare_exchange_strong(State, kFree, std::memory_order_acq_rel)) return false;
        continue;
      }
      const timespec Wait{static_cast<time_t>(Left / 1000000000), static_cast<long>(Left % 1000000000)};
      Futex(&Slot.State, FUTEX_WAIT_PRIVATE, kAsked, &Wait);
    } else {
      // The handler is writing; it finishes in microseconds.
      Futex(&Slot.State, FUTEX_WAIT_PRIVATE, kWriting, nullptr);
    }
  }
  for (int I = kHandlerFrames; I < Slot.Count; ++I)
    Frames.push_back(reinterpret_cast<uintptr_t>(Slot.Frames[I]));
  Slot.State.store(kFree, std::memory_order_release);
  return !Frames.empty();
}

std::string DescribeCodeAddress(uintptr_t Address) {
  char Buf[512];
  Dl_info Info = {};
  if (!::dladdr(reinterpret_cast<void*>(Address), &Info) || !Info.dli_fname) {
    std::snprintf(Buf, sizeof Buf, "0x%" PRIxPTR, Address);
    return Buf;
  }
  const char* Module = Info.dli_fname;
  if (const char* Slash = std::strrchr(Module, '/')) Module = Slash + 1;
  if (Info.dli_sname && Info.dli_saddr) {
    int Status = 0;
    char* Plain = abi::__cxa_demangle(Info.dli_sname, nullptr, nullptr, &Status);
    std::snprintf(Buf, sizeof Buf, "0x%" PRIxPTR " %s+0x%" PRIxPTR " (%s)", Address,
                  Status == 0 && Plain ? Plain : Info.dli_sname,
                  Address - reinterpret_cast<uintptr_t>(Info.dli_saddr), Module);
    std::free(Plain);
  } else {
    std::snprintf(Buf, sizeof Buf, "0x%" PRIxPTR " (%s+0x%" PRIxPTR ")", Address, Module,
                  Address - reinterpret_cast<uintptr_t>(Info.dli_fbase));
  }
  return Buf;
}

}  // namespace green::os
