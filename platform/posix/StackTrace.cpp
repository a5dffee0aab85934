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
  const int savedErrno = errno;
  uint32_t asked = kAsked;
  if (Slot.Thread.load(std::memory_order_acquire) == static_cast<uint32_t>(::gettid()) &&
      Slot.State.compare_exchange_strong(asked, kWriting, std::memory_order_acq_rel)) {
    Slot.Count = ::backtrace(Slot.Frames, kMaxFrames);
    Slot.State.store(kDone, std::memory_order_release);
    Futex(&Slot.State, FUTEX_WAKE_PRIVATE, 1, nullptr);
  }
  errno = savedErrno;
}

bool Install() {
  if (Installed) return true;
  // The first backtrace() loads the unwinder's library, which a signal
  // handler must not do.
  void* warm[4];
  ::backtrace(warm, 4);
  struct sigaction action = {};
  action.sa_sigaction = &OnCaptureSignal;
  action.sa_flags = SA_SIGINFO | SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (::sigaction(CaptureSignal(), &action, nullptr) != 0) return false;
  Installed = true;
  return true;
}

int64_t NowNanos() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

}  // namespace

bool CanCaptureThreadStacks() { return true; }

bool CaptureThreadStack(uint32_t ThreadId, std::vector<uintptr_t>& Frames, uint32_t TimeoutMs) {
  Frames.clear();
  std::lock_guard<std::mutex> lock(SlotLock);
  if (!Install() || ThreadId == static_cast<uint32_t>(::gettid())) return false;
  Slot.Count = 0;
  Slot.Thread.store(ThreadId, std::memory_order_release);
  Slot.State.store(kAsked, std::memory_order_release);
  if (::syscall(SYS_tgkill, ::getpid(), ThreadId, CaptureSignal()) != 0) {
    Slot.State.store(kFree, std::memory_order_release);
    return false;
  }
  const int64_t deadline = NowNanos() + int64_t{TimeoutMs} * 1000000;
  for (;;) {
    uint32_t state = Slot.State.load(std::memory_order_acquire);
    if (state == kDone) break;
    if (state == kAsked) {
      const int64_t left = deadline - NowNanos();
      if (left <= 0) {
        // Too late: take the request back, unless the handler has begun.
        if (Slot.State.compare_exchange_strong(state, kFree, std::memory_order_acq_rel)) return false;
        continue;
      }
      const timespec wait{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
      Futex(&Slot.State, FUTEX_WAIT_PRIVATE, kAsked, &wait);
    } else {
      // The handler is writing; it finishes in microseconds.
      Futex(&Slot.State, FUTEX_WAIT_PRIVATE, kWriting, nullptr);
    }
  }
  for (int i = kHandlerFrames; i < Slot.Count; ++i)
    Frames.push_back(reinterpret_cast<uintptr_t>(Slot.Frames[i]));
  Slot.State.store(kFree, std::memory_order_release);
  return !Frames.empty();
}

std::string DescribeCodeAddress(uintptr_t Address) {
  char buf[512];
  Dl_info info = {};
  if (!::dladdr(reinterpret_cast<void*>(Address), &info) || !info.dli_fname) {
    std::snprintf(buf, sizeof buf, "0x%" PRIxPTR, Address);
    return buf;
  }
  const char* module = info.dli_fname;
  if (const char* slash = std::strrchr(module, '/')) module = slash + 1;
  if (info.dli_sname && info.dli_saddr) {
    int status = 0;
    char* plain = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::snprintf(buf, sizeof buf, "0x%" PRIxPTR " %s+0x%" PRIxPTR " (%s)", Address,
                  status == 0 && plain ? plain : info.dli_sname,
                  Address - reinterpret_cast<uintptr_t>(info.dli_saddr), module);
    std::free(plain);
  } else {
    std::snprintf(buf, sizeof buf, "0x%" PRIxPTR " (%s+0x%" PRIxPTR ")", Address, module,
                  Address - reinterpret_cast<uintptr_t>(info.dli_fbase));
  }
  return buf;
}

}  // namespace green::os
