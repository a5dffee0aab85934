// Messages for whoever debugs the runtime, off unless GREEN_DEBUG is set
// in the environment (to anything but "" or "0"): then each one is a line
// "green: <text>" on standard error.
#pragma once

#include <string_view>

namespace green {

bool DebugLogEnabled();
void DebugLog(std::string_view Text);

}  // namespace green
