// A greenlet whose body is a lambda, for tests of the raw greenlet and of
// what is built on it.
#pragma once

#include <functional>
#include <utility>

#include "greenlets/GreenletsImpl.h"

namespace green::test {

class TLambdaGreenlet : public TRawGreenletImpl {
 public:
  explicit TLambdaGreenlet(std::function<void()> Body) : FBody(std::move(Body)) {}
  void Execute() override { FBody(); }

 private:
  std::function<void()> FBody;
};

inline RefPtr<TLambdaGreenlet> Spawn(std::function<void()> Body) {
  return RefPtr<TLambdaGreenlet>(new TLambdaGreenlet(std::move(Body)));
}

// Counts destructions, to see that an object was freed exactly once.
struct TTracked : TObject {
  explicit TTracked(int* Counter) : FCounter(Counter) {}
  ~TTracked() override { ++*FCounter; }
  int* FCounter;
};

}  // namespace green::test
