// Gevents: events that greenlets wait on by switching away and plain
// threads by serving their hub; any thread may signal one. A Gevent is a
// shared handle: copies name the same event.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "green/detail/Access.h"
#include "green/detail/Names.h"

namespace green {

enum class WaitResult : uint8_t { Signaled, Timeout, Abandoned, Error, IOCompletion };

class Gevent {
 public:
  // A manual-reset gevent stays signalled until reset and ends every wait;
  // an auto-reset one ends one wait and is reset by it.
  explicit Gevent(bool ManualReset = false, bool InitialState = false);

  void SetEvent();
  void ResetEvent();
  WaitResult WaitFor(uint32_t Timeout = INFINITE);
  // Waits for the first signalled of Events; Index tells which, -1 when none.
  static WaitResult WaitAny(const std::vector<Gevent>& Events, int32_t& Index,
                            uint32_t Timeout = INFINITE);

  bool operator==(const Gevent& Other) const { return FImpl == Other.FImpl; }

 private:
  friend struct detail::Access;
  struct Impl;
  explicit Gevent(std::shared_ptr<Impl> Value) : FImpl(std::move(Value)) {}
  std::shared_ptr<Impl> FImpl;
};

}  // namespace green
