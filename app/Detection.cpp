#include "app/Detection.h"

namespace green {

void TDetection::Release() {
  DotNetDetector = nullptr;
  AsyncRead.Impl = nullptr;
}

void DetectDotNet(TLauncherState& State, TDetection& Keep, const std::string& Command, uint32_t Timeout) {
  Keep.DotNetDetector = MakeOvoConsoleApp(Command, {}, "");
  IOvoConsoleApplication* Detector = Keep.DotNetDetector.get();
  // An exception here ends only the reader; Join does not raise it again.
  Keep.AsyncRead = TSymmetric::Spawn([&State, Detector] {
    RefPtr<IOvoProvider> Out = Detector->StdOut();
    for (const std::string& Line : Out->ReadLns()) State.TakeLine(Line);
  });
  (void)Join({Keep.AsyncRead}, Timeout, /*RaiseErrors=*/false);
}

}  // namespace green
