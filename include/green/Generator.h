// Generators: a greenlet body delivers one value per Yield, and the caller
// walks the values with MoveNext and Current or a range-for. The body may
// wait and sleep between values; MoveNext then waits with it. A Generator
// is a shared handle: copies walk the same values.
//
// A value is handed over in place, without a copy: Current refers to the
// body's own value, which stays valid until the next MoveNext.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>

#include "green/detail/GenIterator.h"
#include "green/detail/Names.h"

namespace green {

namespace detail {

class GeneratorSource;

// What every Generator<T> shares, typed by the address of a tag per T: a
// body's Yield reaches only a walker of the same T.
class GeneratorCore {
 public:
  GeneratorCore(std::function<void()> Body, const void* Type);
  explicit GeneratorCore(std::shared_ptr<GeneratorSource> Source) : FSource(std::move(Source)) {}

  bool MoveNext();
  // The value of the last successful MoveNext.
  const void* Current() const;
  void SetName(const std::string& Value) const;
  std::string Name() const;
  // Called inside a body; a Yield outside any generator's body of Type only
  // yields the greenlet, and its walker's MoveNext answers false.
  static void Yield(const void* Value, const void* Type);

 private:
  std::shared_ptr<GeneratorSource> FSource;
};

template <class T>
inline constexpr char kGeneratorType = 0;

}  // namespace detail

template <class T>
class Generator {
 public:
  static Generator Create(std::function<void()> Body) {
    return Generator(detail::GeneratorCore(std::move(Body), &detail::kGeneratorType<T>));
  }
  // For the runtime's own sources of values.
  explicit Generator(detail::GeneratorCore Core) : FCore(std::move(Core)) {}

  // Called inside the body: hands Value to the walker and waits for the
  // next MoveNext.
  static void Yield(const T& Value) { detail::GeneratorCore::Yield(&Value, &detail::kGeneratorType<T>); }

  bool MoveNext() { return FCore.MoveNext(); }
  const T& Current() const { return *static_cast<const T*>(FCore.Current()); }
  // A name for reports, given to the generator's greenlet.
  const Generator& SetName(const std::string& Value) const {
    FCore.SetName(Value);
    return *this;
  }
  std::string Name() const { return FCore.Name(); }

  // Range-for over the values that are left.
  using iterator = detail::GenIterator<Generator>;
  iterator begin() { return iterator(this); }
  iterator end() { return iterator(); }

 private:
  detail::GeneratorCore FCore;
};

}  // namespace green
