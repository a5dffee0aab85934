// One redirected stream of a console application: the parent's end as a
// named-pipe provider and the child's end as a bare handle, made connected
// by one call.
#include <utility>

#include "base/Exception.h"
#include "ovo/ConsoleApplicationImpl.h"
#include "platform/Error.h"
#include "platform/Kernel.h"

namespace green {

namespace {
constexpr uint32_t kPipeBufSize = 4096;
}  // namespace

TOvoConsoleApplication::TInOut::TInOut(const std::string& Name, bool ChildReads) {
  Pipe1 = MakeRef<TOvoNamedPipe>(Name);
  THandle Parent = os::kNoHandle;
  if (!os::CreateStreamPipe(Pipe1->PipeName(), ChildReads, kPipeBufSize, Parent, Pipe2))
    throw TOvoProvider::EIOError(Format("OvoNamedPipe.MakeServer error: %s",
                                        os::SysErrorMessage(os::GetLastError()).c_str()));
  Pipe1->Adopt(Parent);
}

TOvoConsoleApplication::TInOut::~TInOut() { ReleaseChildSide(); }

TOvoConsoleApplication::TInOut& TOvoConsoleApplication::TInOut::operator=(TInOut&& Other) noexcept {
  if (this != &Other) {
    Destroy();
    Pipe1 = std::move(Other.Pipe1);
    Pipe2 = std::exchange(Other.Pipe2, os::kNoHandle);
  }
  return *this;
}

void TOvoConsoleApplication::TInOut::Destroy() {
  Pipe1.reset();
  ReleaseChildSide();
}

void TOvoConsoleApplication::TInOut::ReleaseChildSide() {
  if (Pipe2 != os::kNoHandle) os::CloseHandle(Pipe2);
  Pipe2 = os::kNoHandle;
}

void TOvoConsoleApplication::TInOut::RefreshEncodings(const TEncoding& Enc,
                                                      const std::string& EOL) {
  if (!Pipe1) return;
  Pipe1->SetEncoding(Enc);
  Pipe1->SetEOL(EOL);
}

}  // namespace green
