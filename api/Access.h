// What the public handles hold, and the generator sources behind
// Generator<T>: the seam between include/green and the runtime.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "green/ChildProcess.h"
#include "green/Generator.h"
#include "green/Gevent.h"
#include "green/Greenlet.h"
#include "green/RegEx.h"
#include "greenlets/Greenlets.h"
#include "ovo/Ovo.h"

namespace green {

struct Greenlet::Impl {
  RefPtr<IRawGreenlet> G;
};

struct Gevent::Impl {
  RefPtr<TGevent> E;
};

struct RegEx::Impl {
  TRegEx R;
};

struct ChildProcess::Impl {
  RefPtr<IOvoConsoleApplication> App;
};

namespace detail {

struct Access {
  template <class H>
  static auto& Of(const H& Handle) {
    return *Handle.FImpl;
  }
  static Greenlet MakeGreenlet(RefPtr<IRawGreenlet> G) {
    return Greenlet(std::make_shared<Greenlet::Impl>(std::move(G)));
  }
  static Gevent MakeGevent(RefPtr<TGevent> E) {
    return Gevent(std::make_shared<Gevent::Impl>(std::move(E)));
  }
};

// Where a Generator<T> gets its values from.
class GeneratorSource {
 public:
  virtual ~GeneratorSource() = default;
  virtual bool MoveNext() = 0;
  virtual const void* Current() const = 0;
  virtual IRawGreenlet* Greenlet() const = 0;
};

// One of the runtime's own generators, walked as it is; Owner is kept
// alive with it (what its body reads from).
template <class T>
class TAdoptedSource final : public GeneratorSource {
 public:
  TAdoptedSource(TGenerator<T> Gen, std::shared_ptr<const void> Owner)
      : FGen(std::move(Gen)), FOwner(std::move(Owner)) {}
  bool MoveNext() override { return FGen.Impl->MoveNext(); }
  const void* Current() const override { return &FGen.Impl->Current(); }
  IRawGreenlet* Greenlet() const override { return FGen.Impl->Greenlet(); }

 private:
  TGenerator<T> FGen;
  std::shared_ptr<const void> FOwner;
};

template <class T>
Generator<T> Adopt(TGenerator<T> Gen, std::shared_ptr<const void> Owner) {
  return Generator<T>(
      GeneratorCore(std::make_shared<TAdoptedSource<T>>(std::move(Gen), std::move(Owner))));
}

}  // namespace detail
}  // namespace green
