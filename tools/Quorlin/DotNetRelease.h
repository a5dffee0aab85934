// The detector's knowledge of .NET Framework 4.x: release numbers and the
// line it prints.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quorlin {

// The version that a .NET Framework 4 "Release" value stands for: the
// newest whose minimum release it reaches ("4.8" for 528040), "4.0" below
// the first 4.5 release.
std::string FrameworkVersion(uint32_t Release);

// The line printed when a framework is found, and when none is. The second
// never holds the words the launcher looks for.
std::string FoundLine(uint32_t Release);
std::string AbsentLine();

// Text as code page 1251 with a CR LF end: our lines are ASCII, and any
// other byte is replaced by '?' rather than passed on undecodable.
std::string OutputLine(std::string_view Text);

}  // namespace quorlin
