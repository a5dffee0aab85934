#include "green/Gevent.h"

#include "api/Access.h"

namespace green {

static_assert(static_cast<int>(WaitResult::Signaled) == wrSignaled &&
              static_cast<int>(WaitResult::Timeout) == wrTimeout &&
              static_cast<int>(WaitResult::Abandoned) == wrAbandoned &&
              static_cast<int>(WaitResult::Error) == wrError &&
              static_cast<int>(WaitResult::IOCompletion) == wrIOCompletion);

Gevent::Gevent(bool ManualReset, bool InitialState)
    : FImpl(std::make_shared<Impl>(MakeRef<TGevent>(ManualReset, InitialState))) {}

void Gevent::SetEvent() { FImpl->E->SetEvent(); }
void Gevent::ResetEvent() { FImpl->E->ResetEvent(); }

WaitResult Gevent::WaitFor(uint32_t Timeout) {
  return static_cast<WaitResult>(FImpl->E->WaitFor(Timeout));
}

WaitResult Gevent::WaitAny(const std::vector<Gevent>& Events, int32_t& Index, uint32_t Timeout) {
  std::vector<TGevent*> Raw;
  Raw.reserve(Events.size());
  for (const Gevent& E : Events) Raw.push_back(E.FImpl->E.get());
  return static_cast<WaitResult>(TGevent::WaitMultiple(Raw, Index, Timeout));
}

}  // namespace green
