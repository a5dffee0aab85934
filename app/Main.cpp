// The launcher program: detection, then the worker or the install prompt.
// Its state and the detector live until main returns; then the detector is
// released (terminated if it still runs) and the reader after it. A read
// still pending when its pipe closed was cancelled; the hub's destruction
// at shut-down runs its routine and frees its record.
#include "app/Detection.h"
#include "app/fmMain.h"
#include "platform/Thread.h"

int main() {
  using namespace green;
  // A windowed program on both systems: the main thread's waits also watch
  // window input.
  os::SetConsoleApp(false);
  TLauncherState State;
  TDetection Detection;
  int Code = RunLauncher(State, [&](TLauncherState& S) { DetectDotNet(S, Detection); });
  // Taking the detector down can fail as well (with no descriptor left for
  // a wait, say): reported like a start-up error, never left to terminate.
  try {
    Detection.Release();
  } catch (...) {
    ReportStartupException(std::current_exception());
    Code = kExitStartupError;
  }
  return Code;
}
