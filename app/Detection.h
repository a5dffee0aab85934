// Detection as start-up does it: the detector runs as a console
// application, one symmetric greenlet reads its standard output line by
// line into the launcher's state, and start-up joins that reader for at
// most kDetectorJoinTimeout. The decision is then in State.DotNetInstalled.
#pragma once

#include "app/fmMain.h"
#include "greenlets/Greenlets.h"
#include "ovo/Ovo.h"

namespace green {

// Start-up's globals: kept until the program ends. Released in this order,
// the detector first (which terminates it with 0 if it still runs and
// closes its pipes), then the reader.
struct TDetection {
  RefPtr<IOvoConsoleApplication> DotNetDetector;
  TSymmetric AsyncRead;

  TDetection() = default;
  TDetection(const TDetection&) = delete;
  TDetection& operator=(const TDetection&) = delete;
  ~TDetection() { Release(); }
  void Release();
};

// Starts Command with no arguments and an empty working directory, reads
// its lines into State, and returns once the reader ended or the timeout
// passed; a reader still waiting keeps waiting. The detector's start-up
// failure (TOvoProvider::EIOError) passes through.
void DetectDotNet(TLauncherState& State, TDetection& Keep, const std::string& Command = kDetectorCommand,
                  uint32_t Timeout = kDetectorJoinTimeout);

}  // namespace green
