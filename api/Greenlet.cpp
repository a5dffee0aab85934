#include "green/Greenlet.h"

#include "api/Access.h"

namespace green {

using detail::Access;

static_assert(static_cast<int>(GreenletState::Ready) == gsReady &&
              static_cast<int>(GreenletState::Running) == gsExecute &&
              static_cast<int>(GreenletState::Ended) == gsTerminated &&
              static_cast<int>(GreenletState::Killed) == gsKilled &&
              static_cast<int>(GreenletState::Failed) == gsException &&
              static_cast<int>(GreenletState::Suspended) == gsSuspended &&
              static_cast<int>(GreenletState::Killing) == gsKilling);

Greenlet Greenlet::Create(std::function<void()> Routine) {
  return Access::MakeGreenlet(TSymmetric::Create(std::move(Routine)).Impl);
}

Greenlet Greenlet::Spawn(std::function<void()> Routine) {
  return Access::MakeGreenlet(TSymmetric::Spawn(std::move(Routine)).Impl);
}

void Greenlet::Switch() { FImpl->G->Switch(); }
void Greenlet::Kill() { FImpl->G->Kill(); }
void Greenlet::Join(bool RaiseErrors) { FImpl->G->Join(RaiseErrors); }

GreenletState Greenlet::State() const { return static_cast<GreenletState>(FImpl->G->GetState()); }

const Greenlet& Greenlet::SetName(const std::string& Value) const {
  FImpl->G->SetName(Value);
  return *this;
}

std::string Greenlet::Name() const { return FImpl->G->GetName(); }

void Greenlet::Sleep(uint32_t Timeout) { GreenSleep(Timeout); }
// Qualified: the member would find itself.
void Greenlet::Yield() { ::green::Yield(); }

bool Join(const std::vector<Greenlet>& Greenlets, uint32_t Timeout, bool RaiseErrors) {
  std::vector<RefPtr<IRawGreenlet>> Workers;
  Workers.reserve(Greenlets.size());
  for (const Greenlet& G : Greenlets) Workers.push_back(Access::Of(G).G);
  return Join(Workers, Timeout, RaiseErrors);
}

}  // namespace green
