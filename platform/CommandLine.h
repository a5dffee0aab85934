// How a command line splits into arguments. One rule on both systems: the
// launcher reads its own arguments with it, and a detached start on posix
// splits its parameters string with it, so a program started there gets
// the arguments a Windows program started with the same string would.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace green::os {

// Characters 1 to 32 separate arguments. At the start of an argument
// separators and pairs of double quotes are skipped, so "" yields no
// argument. Inside one, a double quote opens a section that runs to the
// next double quote (or the end) in which separators belong to the
// argument; the quotes themselves are dropped. There is no escape
// character: a backslash is ordinary. A NUL ends the line. Text is UTF-8;
// no byte of a multi-byte sequence is a separator or a quote.
std::vector<std::string> SplitCommandLine(std::string_view Line);

}  // namespace green::os
