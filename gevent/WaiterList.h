// The waiter list of a gevent: a vector of references whose first element
// lives in place. Most gevents have one listener at a time (a greenlet's
// state-change event and the join that collects it), which then costs no
// allocation. Heap storage, once made, is kept, as a vector keeps its
// capacity: an emission empties the list and refills it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

#include "base/RefCounted.h"

namespace green {

template <class T>
class TWaiterList {
 public:
  using TRef = RefPtr<T>;

  TWaiterList() = default;
  TWaiterList(const TWaiterList&) = delete;
  TWaiterList& operator=(const TWaiterList&) = delete;
  ~TWaiterList() {
    clear();
    if (FData != InPlace()) ::operator delete(FData);
  }

  size_t size() const { return FSize; }
  bool empty() const { return FSize == 0; }
  TRef& front() { return FData[0]; }
  TRef* begin() { return FData; }
  TRef* end() { return FData + FSize; }

  // A failed allocation throws before anything changed.
  void push_back(TRef D) {
    if (FSize == FCapacity) Grow();
    new (FData + FSize) TRef(std::move(D));
    ++FSize;
  }
  void pop_back() { FData[--FSize].~TRef(); }
  void clear() {
    while (FSize > 0) pop_back();
  }
  // For erase(remove_if(...), end()): drops [First, end()).
  TRef* erase(TRef* First, TRef* Last) {
    TRef* To = std::move(Last, end(), First);
    while (end() != To) pop_back();
    return First;
  }

 private:
  TRef* InPlace() { return reinterpret_cast<TRef*>(FInPlace); }
  void Grow() {
    const uint32_t Capacity = FCapacity < 4 ? 4 : FCapacity * 2;
    auto* Bigger = static_cast<TRef*>(::operator new(Capacity * sizeof(TRef)));
    for (uint32_t I = 0; I < FSize; ++I) {
      new (Bigger + I) TRef(std::move(FData[I]));
      FData[I].~TRef();
    }
    if (FData != InPlace()) ::operator delete(FData);
    FData = Bigger;
    FCapacity = Capacity;
  }

  TRef* FData = InPlace();
  uint32_t FSize = 0;
  uint32_t FCapacity = 1;
  alignas(TRef) unsigned char FInPlace[sizeof(TRef)];
};

}  // namespace green
