// Named-pipe ends: creation, the overlapped connect, the client's open,
// peeking and the order in which an end is taken down.
#include "ovo/NamedPipe.h"

#include "base/Exception.h"
#include "hub/Hub.h"
#include "platform/Error.h"
#include "platform/Kernel.h"

namespace green {

namespace {

constexpr const char* kPipePrefix = "\\\\.\\pipe\\";

[[noreturn]] void RaiseLastError(const char* Template) {
  throw TOvoProvider::EIOError(Format(Template, os::SysErrorMessage(os::GetLastError()).c_str()));
}

bool ValidHandle(THandle H) { return H != os::kNoHandle && H != os::kInvalidHandleValue; }

}  // namespace

TOvoNamedPipe::TOvoNamedPipe(const std::string& Name) : FPipeName(kPipePrefix + Name) {}

// Disconnect, cancel, close; the connect's gevent and event after the
// handle, whose closing completes a connect still pending. The current
// hub also forgets the handle, also when no operation is owed: a hub cannot
// see a handle close, and a record left under the closed handle's value
// would grow its tables by one per pipe and, when the hub goes, cancel
// this thread's operations on a later handle of the same value. A thread
// without a hub has no record to forget (and may have no room to make one).
TOvoNamedPipe::~TOvoNamedPipe() {
  if (FOpened) os::DisconnectNamedPipe(FFd);
  if (ValidHandle(FFd)) {
    CancelPending();
    if (TCustomHub* Hub = HubInfrasctuctureEnable ? GetCurrentHubIfAny() : nullptr) Hub->Cancel(FFd);
    os::CloseHandle(FFd);
  }
  FOnConnect.reset();
  if (FEvent != os::kNoHandle) os::CloseHandle(FEvent);
}

void TOvoNamedPipe::MakeServer(uint32_t BufSize) {
  FFd = os::CreateNamedPipe(FPipeName, BufSize, BufSize, os::kPipeUnlimitedInstances);
  if (FFd == os::kInvalidHandleValue) RaiseLastError("OvoNamedPipe.MakeServer error: %s");
}

void TOvoNamedPipe::Open() {
  FFd = os::OpenNamedPipe(FPipeName);
  if (FFd == os::kInvalidHandleValue) RaiseLastError("OvoNamedPipe. error: %s");
  FOpened = true;
}

void TOvoNamedPipe::Adopt(THandle Fd) { FFd = Fd; }

// The connect's event is made by the first connect: most ends never wait
// for one (a client's, or one that a child's stream pipe made).
void TOvoNamedPipe::MakeConnectEvent(const char* Template) {
  if (FEvent != os::kNoHandle) return;
  FEvent = os::CreateEvent(false, false);
  if (FEvent == os::kNoHandle) RaiseLastError(Template);
  FOnConnect = MakeRef<TGevent>(FEvent);
  FOvlp.Event = FEvent;
}

bool TOvoNamedPipe::WaitConnection(uint32_t Timeout) {
  MakeConnectEvent("OvoNamedPipe.WaitConnection error: %s");
  os::ConnectNamedPipe(FFd, FOvlp);
  if (os::GetLastError() != os::kErrorIoPending)
    RaiseLastError("OvoNamedPipe.WaitConnection error: %s");
  return FOnConnect->WaitFor(Timeout) == wrSignaled;
}

uint32_t TOvoNamedPipe::GetDriverRcvBufSize() {
  uint32_t Waiting = 0;
  if (!os::PeekNamedPipe(FFd, nullptr, 0, nullptr, &Waiting)) Waiting = 0;
  const size_t Total = Waiting + PendingBytes();
  return Total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(Total);
}

TBytes TOvoNamedPipe::Peek() {
  TBytes Bytes(GetDriverRcvBufSize());
  if (Bytes.empty()) return Bytes;
  uint32_t Copied = 0;
  if (!os::PeekNamedPipe(FFd, Bytes.data(), static_cast<uint32_t>(Bytes.size()), &Copied,
                         nullptr))
    Copied = 0;
  Bytes.resize(Copied);
  return Bytes;
}

}  // namespace green
