// A binary min-heap of timers on their due time; each timer knows its slot,
// so cancelling is O(log n) too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace green::os {

constexpr size_t kNotQueued = static_cast<size_t>(-1);

// T has fields `int64_t Due` and `size_t HeapIndex`.
template <typename T>
class TimerHeap {
 public:
  explicit TimerHeap(std::vector<T*>& Items) : Items(Items) {}

  void Push(T* Item) {
    Item->HeapIndex = Items.size();
    Items.push_back(Item);
    Up(Item->HeapIndex);
  }

  void Remove(T* Item) {
    size_t I = Item->HeapIndex;
    Item->HeapIndex = kNotQueued;
    T* Last = Items.back();
    Items.pop_back();
    if (Last == Item) return;
    Place(I, Last);
    Update(Last);
  }

  // Restores the order after Item->Due changed.
  void Update(T* Item) {
    Up(Item->HeapIndex);
    Down(Item->HeapIndex);
  }

 private:
  void Place(size_t I, T* Item) {
    Items[I] = Item;
    Item->HeapIndex = I;
  }
  void Up(size_t I) {
    while (I > 0) {
      size_t Parent = (I - 1) / 2;
      if (Items[Parent]->Due <= Items[I]->Due) return;
      Swap(I, Parent);
      I = Parent;
    }
  }
  void Down(size_t I) {
    for (;;) {
      size_t Least = I;
      for (size_t Child = 2 * I + 1; Child <= 2 * I + 2 && Child < Items.size(); ++Child)
        if (Items[Child]->Due < Items[Least]->Due) Least = Child;
      if (Least == I) return;
      Swap(I, Least);
      I = Least;
    }
  }
  void Swap(size_t A, size_t B) {
    T* Item = Items[A];
    Place(A, Items[B]);
    Place(B, Item);
  }

  std::vector<T*>& Items;
};

}  // namespace green::os
