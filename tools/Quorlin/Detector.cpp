// The detector the launcher runs: one line on standard output, in code
// page 1251 ending in CR LF, that names the .NET Framework when one is
// present and says that none is otherwise.
#include <cstdio>

#include "Quorlin/Detect.h"
#include "Quorlin/DotNetRelease.h"

int main() {
  quorlin::SetBinaryOutput();
  const std::string Line = quorlin::OutputLine(quorlin::DetectFramework());
  const bool Written = std::fwrite(Line.data(), 1, Line.size(), stdout) == Line.size();
  return Written && std::fflush(stdout) == 0 ? 0 : 1;
}
