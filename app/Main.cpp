// The launcher program: detection, then the worker or the install prompt.
// Its state and the detector live until main returns; then the detector is
// released (terminated if it still runs) and the reader after it.
#include "app/Detection.h"
#include "app/fmMain.h"
#include "platform/Kernel.h"
#include "platform/Thread.h"

int main() {
  using namespace green;
  // A windowed program on both systems: the main thread's waits also watch
  // window input.
  os::SetConsoleApp(false);
  TLauncherState State;
  TDetection Detection;
  const int Code = RunLauncher(State, [&](TLauncherState& S) { DetectDotNet(S, Detection); });
  Detection.Release();
  // A read still pending when the pipes closed was cancelled; its routine
  // runs in an alertable wait of this thread and frees the read's record.
  os::SleepEx(0, true);
  return Code;
}
