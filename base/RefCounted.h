// Counted objects behind interfaces. Every interface derives virtually from
// IInterface, so one object implementing several interfaces has one count.
// Release is virtual: an object may defer its own destruction (a greenlet
// dropped on a foreign thread is destroyed later on its own thread).
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "base/Object.h"

namespace green {

class IInterface {
 public:
  virtual int32_t _AddRef() = 0;
  virtual int32_t _Release() = 0;

 protected:
  virtual ~IInterface() = default;
};

class TInterfacedObject : public TObject, public virtual IInterface {
 public:
  int32_t _AddRef() override { return FRefCount.fetch_add(1, std::memory_order_relaxed) + 1; }
  int32_t _Release() override {
    int32_t N = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (N == 0) delete this;
    return N;
  }
  int32_t GetRefCount() const { return FRefCount.load(std::memory_order_relaxed); }
  // True when the caller's reference is the only one; what the other holders
  // did before they let go is then visible, so the object may be reused.
  bool SoleReference() const { return FRefCount.load(std::memory_order_acquire) == 1; }
  // A reference added or dropped while no other thread can reach the
  // object or change its count: a load and a store, with no locked
  // instruction. The count must stay above zero.
  void AddRefUnshared() { FRefCount.store(GetRefCount() + 1, std::memory_order_relaxed); }
  void ReleaseUnshared() { FRefCount.store(GetRefCount() - 1, std::memory_order_relaxed); }
  // A new reference unless the count is already 0: then the object is on
  // its way out on some thread and must not be taken up again.
  bool TryAddRef() {
    int32_t N = FRefCount.load(std::memory_order_relaxed);
    while (N > 0)
      if (FRefCount.compare_exchange_weak(N, N + 1, std::memory_order_relaxed)) return true;
    return false;
  }

 protected:
  // Lowers the count without destroying; for releases that decide for themselves.
  int32_t DecRef() { return FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1; }

 private:
  std::atomic<int32_t> FRefCount{0};
};

// Holds one counted reference. Works with any type that has _AddRef/_Release.
template <class T>
class RefPtr {
 public:
  RefPtr() noexcept = default;
  RefPtr(std::nullptr_t) noexcept {}
  RefPtr(T* P) noexcept : p_(P) {
    if (p_) p_->_AddRef();
  }
  RefPtr(const RefPtr& O) noexcept : RefPtr(O.p_) {}
  RefPtr(RefPtr&& O) noexcept : p_(std::exchange(O.p_, nullptr)) {}
  template <class U>
  RefPtr(const RefPtr<U>& O) noexcept : RefPtr(static_cast<T*>(O.get())) {}
  template <class U>
  RefPtr(RefPtr<U>&& O) noexcept : p_(O.detach()) {}
  ~RefPtr() { reset(); }

  RefPtr& operator=(RefPtr O) noexcept {
    std::swap(p_, O.p_);
    return *this;
  }

  void reset() noexcept {
    if (T* P = std::exchange(p_, nullptr)) P->_Release();
  }
  // Gives up the reference without releasing it.
  T* detach() noexcept { return std::exchange(p_, nullptr); }
  // Takes over a reference the caller already owns.
  static RefPtr adopt(T* P) noexcept {
    RefPtr R;
    R.p_ = P;
    return R;
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  friend bool operator==(const RefPtr& A, const RefPtr& B) noexcept { return A.p_ == B.p_; }
  friend bool operator==(const RefPtr& A, std::nullptr_t) noexcept { return A.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

template <class T, class... Args>
RefPtr<T> MakeRef(Args&&... Arguments) {
  return RefPtr<T>(new T(std::forward<Args>(Arguments)...));
}

}  // namespace green
