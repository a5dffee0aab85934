// Finding the framework: the registry on Windows, Mono on Linux.
#pragma once

#include <string>

namespace quorlin {

// The one line the detector reports, without its line end.
std::string DetectFramework();

// Sets standard output to pass bytes through unchanged (no CR added).
void SetBinaryOutput();

}  // namespace quorlin
