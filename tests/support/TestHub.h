// Hubs for tests that need the system to refuse something.
#pragma once

#include "hub/Hub.h"

namespace green::test {

// A hub whose next FailArmings timer armings are refused, as a system out
// of timer resources would refuse them.
class TFailingArmHub : public TSingleThreadHub {
 public:
  int FailArmings = 0;

 protected:
  bool ArmWaitableTimer(THandle Timer, int64_t DueTime, int32_t Period,
                        TTimeoutTuple* Tuple) override {
    if (FailArmings > 0) {
      --FailArmings;
      return false;
    }
    return TSingleThreadHub::ArmWaitableTimer(Timer, DueTime, Period, Tuple);
  }
};

}  // namespace green::test
