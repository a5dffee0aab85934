#include "base/DebugLog.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace green {

bool DebugLogEnabled() {
  static const bool Enabled = [] {
    const char* Value = std::getenv("GREEN_DEBUG");
    return Value && *Value && std::string_view(Value) != "0";
  }();
  return Enabled;
}

void DebugLog(std::string_view Text) {
  if (!DebugLogEnabled()) return;
  // One write per line, so that lines of several threads do not mix.
  std::string Line = "green: ";
  Line.append(Text).push_back('\n');
  std::fwrite(Line.data(), 1, Line.size(), stderr);
  std::fflush(stderr);
}

}  // namespace green
