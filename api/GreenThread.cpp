#include "green/Greenlet.h"

#include "api/Access.h"

namespace green {

struct GreenThread::Impl {
  TGreenThread Thread;
};

GreenThread::GreenThread() : FImpl(std::make_unique<Impl>()) {}
GreenThread::~GreenThread() = default;

Greenlet GreenThread::Spawn(std::function<void()> Routine) {
  return detail::Access::MakeGreenlet(FImpl->Thread.Symmetrics().Spawn(std::move(Routine)).Impl);
}

bool GreenThread::IsCurrent() const {
  return GetCurrentHubIfAny() == FImpl->Thread.Symmetrics().Hub();
}

void GreenThread::Kill(bool Wait) { FImpl->Thread.Kill(Wait); }

}  // namespace green
