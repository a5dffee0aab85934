#include "platform/posix/StackPool.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/posix/Errno.h"
#include "platform/posix/Sanitizers.h"

#if defined(GREEN_ASAN)
#include <sanitizer/asan_interface.h>
#endif

namespace green::os {

namespace {

// Reserved per fiber whatever is asked: the kernel commits pages only when
// touched, so a generous reserve costs address space, not memory.
constexpr size_t kStandardUsable = 256 * 1024;
// Enough for a burst of ten thousand short-lived greenlets to reuse their
// stacks; a pooled stack costs address space and the pages it touched.
constexpr size_t kMaxPooled = 16384;

// A guard installed in the page tables keeps the stack one mapping with its
// neighbours; a PROT_NONE page splits it off, and the kernel's limit on
// mappings (65530 by default) would cap a process at about 32,000 fibers.
// Kernels before 6.13 refuse the advice, and then mprotect serves.
#ifndef MADV_GUARD_INSTALL
#define MADV_GUARD_INSTALL 102
#endif
bool InstallGuard(void* Page, size_t Size) {
  return madvise(Page, Size, MADV_GUARD_INSTALL) == 0 || mprotect(Page, Size, PROT_NONE) == 0;
}

size_t PageSize() {
  static const size_t Size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return Size;
}

size_t RoundUp(size_t N, size_t To) { return (N + To - 1) / To * To; }

struct Pool {
  std::mutex Lock;
  std::vector<Stack> Free;  // all of the standard size
};

Pool& ThePool() {
  static Pool* P = new Pool;  // never destroyed: fibers may outlive statics
  return *P;
}

// A few standard stacks per thread in front of the pool: a thread that
// spawns and ends greenlets in turn takes no lock. What a thread holds
// when it ends goes back to the pool.
constexpr size_t kThreadKept = 64;
struct ThreadStacks {
  Stack Kept[kThreadKept];
  size_t Count = 0;
  ~ThreadStacks() {
    Pool& P = ThePool();
    std::lock_guard<std::mutex> Guard(P.Lock);
    for (size_t I = 0; I < Count; ++I) {
      if (P.Free.size() < kMaxPooled)
        P.Free.push_back(Kept[I]);
      else
        munmap(Kept[I].Base, Kept[I].Mapped);
    }
    Count = 0;
    Gone = true;
  }
  static thread_local bool Gone;
};
thread_local bool ThreadStacks::Gone = false;
thread_local ThreadStacks Local;

Stack MapStack(size_t Usable) {
  Stack S;
  S.Mapped = Usable + PageSize();
  void* Base = mmap(nullptr, S.Mapped, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (Base == MAP_FAILED) {
    SetLastErrorFromErrno();
    return {};
  }
  if (!InstallGuard(Base, PageSize())) {
    SetLastErrorFromErrno();
    munmap(Base, S.Mapped);
    return {};
  }
  S.Base = Base;
  return S;
}

}  // namespace

void* Stack::Bottom() const { return static_cast<char*>(Base) + PageSize(); }

size_t Stack::Usable() const { return Mapped - PageSize(); }

Stack AcquireStack(size_t Usable) {
  Usable = std::max(RoundUp(Usable, PageSize()), kStandardUsable);
  if (Usable == kStandardUsable) {
    if (!ThreadStacks::Gone && Local.Count > 0) return Local.Kept[--Local.Count];
    Pool& P = ThePool();
    std::lock_guard<std::mutex> Guard(P.Lock);
    if (!P.Free.empty()) {
      Stack S = P.Free.back();
      P.Free.pop_back();
      return S;
    }
  }
  return MapStack(Usable);
}

void ReleaseStack(const Stack& S) {
  if (!S.Base) return;
#if defined(GREEN_ASAN)
  // A deleted fiber never unwinds; its frames' redzones would poison the
  // next user of this memory.
  __asan_unpoison_memory_region(S.Bottom(), S.Usable());
#endif
  if (S.Usable() == kStandardUsable) {
    if (!ThreadStacks::Gone && Local.Count < kThreadKept) {
      Local.Kept[Local.Count++] = S;
      return;
    }
    Pool& P = ThePool();
    std::lock_guard<std::mutex> Guard(P.Lock);
    if (P.Free.size() < kMaxPooled) {
      P.Free.push_back(S);
      return;
    }
  }
  munmap(S.Base, S.Mapped);
}

}  // namespace green::os
