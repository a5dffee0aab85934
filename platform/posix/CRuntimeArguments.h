// Command lines split as the Windows C runtime splits them into argv, so a
// child started with one string sees the same arguments on both systems:
// - the program name runs to the first blank outside double quotes; quotes
//   group and are dropped, backslashes are plain;
// - then arguments are separated by blanks (space, tab) outside quotes; 2n
//   backslashes before a quote give n and the quote opens or closes a quoted
//   part; 2n + 1 give n and a literal quote; inside quotes "" gives a quote;
//   other backslashes are plain.
// (The launcher's own splitter, platform/CommandLine.h, knows no escapes.)
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace green::os {

std::vector<std::string> SplitAsCRuntime(std::string_view Line);

}  // namespace green::os
