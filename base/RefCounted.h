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
    int32_t n = FRefCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (n == 0) delete this;
    return n;
  }
  int32_t GetRefCount() const { return FRefCount.load(std::memory_order_relaxed); }
  // True when the caller's reference is the only one; what the other holders
  // did before they let go is then visible, so the object may be reused.
  bool SoleReference() const { return FRefCount.load(std::memory_order_acquire) == 1; }
  // A new reference unless the count is already 0: then the object is on
  // its way out on some thread and must not be taken up again.
  bool TryAddRef() {
    int32_t n = FRefCount.load(std::memory_order_relaxed);
    while (n > 0)
      if (FRefCount.compare_exchange_weak(n, n + 1, std::memory_order_relaxed)) return true;
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
  RefPtr(T* p) noexcept : p_(p) {
    if (p_) p_->_AddRef();
  }
  RefPtr(const RefPtr& o) noexcept : RefPtr(o.p_) {}
  RefPtr(RefPtr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  RefPtr(const RefPtr<U>& o) noexcept : RefPtr(static_cast<T*>(o.get())) {}
  template <class U>
  RefPtr(RefPtr<U>&& o) noexcept : p_(o.detach()) {}
  ~RefPtr() { reset(); }

  RefPtr& operator=(RefPtr o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  void reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) p->_Release();
  }
  // Gives up the reference without releasing it.
  T* detach() noexcept { return std::exchange(p_, nullptr); }
  // Takes over a reference the caller already owns.
  static RefPtr adopt(T* p) noexcept {
    RefPtr r;
    r.p_ = p;
    return r;
  }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  T& operator*() const noexcept { return *p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  friend bool operator==(const RefPtr& a, const RefPtr& b) noexcept { return a.p_ == b.p_; }
  friend bool operator==(const RefPtr& a, std::nullptr_t) noexcept { return a.p_ == nullptr; }

 private:
  T* p_ = nullptr;
};

template <class T, class... Args>
RefPtr<T> MakeRef(Args&&... args) {
  return RefPtr<T>(new T(std::forward<Args>(args)...));
}

}  // namespace green
