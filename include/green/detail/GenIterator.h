// Range-for over what a generator has left to give: G has MoveNext() and
// Current(). Shared by the public generator and the runtime's own.
#pragma once

namespace green::detail {

template <class G>
class GenIterator {
 public:
  GenIterator() = default;
  explicit GenIterator(G* Gen) : FGen(Gen) { Advance(); }
  decltype(auto) operator*() const { return FGen->Current(); }
  GenIterator& operator++() {
    Advance();
    return *this;
  }
  bool operator!=(const GenIterator& Other) const { return FGen != Other.FGen; }

 private:
  void Advance() {
    if (FGen && !FGen->MoveNext()) FGen = nullptr;
  }
  G* FGen = nullptr;
};

}  // namespace green::detail
