#include "AllocCount.h"

#include <atomic>
#include <cstddef>

#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define GREEN_BENCH_MALLOC_HOOK 1
#endif

namespace green::bench {
namespace {
std::atomic<uint64_t> Count{0};
}  // namespace

#if defined(GREEN_BENCH_MALLOC_HOOK)
bool AllocCounted() { return true; }
void Note() { Count.fetch_add(1, std::memory_order_relaxed); }
#else
bool AllocCounted() { return false; }
#endif
uint64_t AllocCount() { return Count.load(std::memory_order_relaxed); }

}  // namespace green::bench

#if defined(GREEN_BENCH_MALLOC_HOOK)
// glibc's own allocator, under the names it exports for such wrappers.
extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);

void* malloc(size_t N) {
  green::bench::Note();
  return __libc_malloc(N);
}
void* calloc(size_t N, size_t Size) {
  green::bench::Note();
  return __libc_calloc(N, Size);
}
void* realloc(void* P, size_t N) {
  green::bench::Note();
  return __libc_realloc(P, N);
}
void* memalign(size_t Align, size_t N) {
  green::bench::Note();
  return __libc_memalign(Align, N);
}
void* aligned_alloc(size_t Align, size_t N) {
  green::bench::Note();
  return __libc_memalign(Align, N);
}
int posix_memalign(void** Out, size_t Align, size_t N) {
  green::bench::Note();
  void* P = __libc_memalign(Align, N);
  if (!P) return 12;  // ENOMEM
  *Out = P;
  return 0;
}
void free(void* P) { __libc_free(P); }
}
#endif
