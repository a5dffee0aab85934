// The set of indexes an association has recorded. The indexes callers give
// are small and dense (a join numbers its workers from 0), so those sit in
// a bitmap that grows with the largest one: recording an index allocates
// nothing once the bitmap is grown, where a hash set made a node per index.
// Others (negative, or too large for a bitmap) go to a hash set.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

namespace green {

class TIndexSet {
 public:
  // True when Index was not in the set before.
  bool Insert(int32_t Index) {
    if (!Dense(Index)) return FSparse.insert(Index).second;
    const size_t Word = static_cast<size_t>(Index) / 64;
    const uint64_t Bit = uint64_t{1} << (Index % 64);
    if (Word >= FBits.size()) FBits.resize(Word + 1, 0);
    if (FBits[Word] & Bit) return false;
    FBits[Word] |= Bit;
    return true;
  }
  bool Contains(int32_t Index) const {
    if (!Dense(Index)) return FSparse.count(Index) != 0;
    const size_t Word = static_cast<size_t>(Index) / 64;
    return Word < FBits.size() && (FBits[Word] >> (Index % 64)) & 1;
  }
  void Clear() {
    FBits.clear();
    FSparse.clear();
  }

 private:
  // Up to 2^20 indexes in 128 KiB of bits.
  static constexpr int32_t kDenseLimit = 1 << 20;
  static bool Dense(int32_t Index) { return Index >= 0 && Index < kDenseLimit; }

  std::vector<uint64_t> FBits;
  std::unordered_set<int32_t> FSparse;
};

}  // namespace green
