#include "base/BlockCache.h"

#include <new>

// Off under a memory checker, which must see every block freed to catch a
// use after free; and on Windows, where a thread-local object's destructor
// may run after the runtime freed its storage (mingw's emulated TLS).
#if defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
#define GREEN_BLOCK_CACHE_OFF 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GREEN_BLOCK_CACHE_OFF 1
#endif
#endif

namespace green {

#if defined(GREEN_BLOCK_CACHE_OFF)
void* TakeBlock(size_t Size) { return ::operator new(Size); }
void GiveBlock(void* Block, size_t) noexcept { ::operator delete(Block); }
#else
namespace {

constexpr size_t kGranule = 64;
constexpr size_t kClasses = kMaxCachedBlock / kGranule;
// What a thread keeps in all: enough for a burst of some thousand
// short-lived greenlets, bounded so that a thread that once freed many does
// not hold them all for ever.
constexpr size_t kMaxKeptBytes = 4 * 1024 * 1024;

struct TFreeBlock {
  TFreeBlock* Next;
};

struct TLists {
  TFreeBlock* Head[kClasses] = {};
  size_t KeptBytes = 0;
  ~TLists() {
    for (size_t C = 0; C < kClasses; ++C)
      while (TFreeBlock* B = Head[C]) {
        Head[C] = B->Next;
        ::operator delete(B);
      }
    Gone = true;
  }
  // Set once the thread's lists are destroyed: objects freed later in the
  // thread's exit go back to the heap.
  static thread_local bool Gone;
};
thread_local bool TLists::Gone = false;
thread_local TLists Lists;

size_t ClassOf(size_t Size) { return (Size + kGranule - 1) / kGranule - 1; }

}  // namespace

void* TakeBlock(size_t Size) {
  if (Size == 0 || Size > kMaxCachedBlock || TLists::Gone) return ::operator new(Size);
  const size_t C = ClassOf(Size);
  if (TFreeBlock* B = Lists.Head[C]) {
    Lists.Head[C] = B->Next;
    Lists.KeptBytes -= (C + 1) * kGranule;
    return B;
  }
  // Every block of a class has the class's full size, so any may serve.
  return ::operator new((C + 1) * kGranule);
}

void GiveBlock(void* Block, size_t Size) noexcept {
  if (!Block) return;
  if (Size == 0 || Size > kMaxCachedBlock || TLists::Gone) return ::operator delete(Block);
  const size_t C = ClassOf(Size);
  const size_t Bytes = (C + 1) * kGranule;
  if (Lists.KeptBytes + Bytes > kMaxKeptBytes) return ::operator delete(Block);
  auto* B = static_cast<TFreeBlock*>(Block);
  B->Next = Lists.Head[C];
  Lists.Head[C] = B;
  Lists.KeptBytes += Bytes;
}
#endif

}  // namespace green
