// On Linux the .NET Framework's compatible runtime is Mono: found on PATH,
// its version read from "mono --version".
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "Quorlin/Detect.h"
#include "Quorlin/DotNetRelease.h"

namespace quorlin {

namespace {

std::string FindOnPath(const char* Name) {
  const char* Path = std::getenv("PATH");
  std::string_view Dirs = Path ? Path : "";
  while (!Dirs.empty()) {
    const size_t Colon = Dirs.find(':');
    const std::string Dir(Dirs.substr(0, Colon));
    Dirs = Colon == std::string_view::npos ? std::string_view() : Dirs.substr(Colon + 1);
    const std::string Candidate = (Dir.empty() ? "." : Dir) + "/" + Name;
    struct stat St;
    if (::stat(Candidate.c_str(), &St) == 0 && S_ISREG(St.st_mode) && ::access(Candidate.c_str(), X_OK) == 0)
      return Candidate;
  }
  return {};
}

// "Mono JIT compiler version 6.8.0.105 (...)": the version, or empty.
std::string MonoVersion(const std::string& Mono) {
  if (Mono.find('\'') != std::string::npos) return {};
  const std::string Command = "'" + Mono + "' --version 2>/dev/null";
  FILE* Out = ::popen(Command.c_str(), "r");
  if (!Out) return {};
  char Line[512] = {};
  const bool Read = std::fgets(Line, sizeof Line, Out) != nullptr;
  // Read to the end: closing early would kill mono with SIGPIPE mid-output.
  char Drain[512];
  while (std::fgets(Drain, sizeof Drain, Out)) {
  }
  const int Status = ::pclose(Out);
  if (!Read || Status != 0) return {};
  const std::string_view Text(Line);
  constexpr std::string_view kPrefix = "Mono JIT compiler version ";
  if (Text.substr(0, kPrefix.size()) != kPrefix) return {};
  const std::string_view Rest = Text.substr(kPrefix.size());
  return std::string(Rest.substr(0, Rest.find_first_of(" \r\n")));
}

}  // namespace

std::string DetectFramework() {
  const std::string Mono = FindOnPath("mono");
  const std::string Version = Mono.empty() ? std::string() : MonoVersion(Mono);
  if (Version.empty()) return AbsentLine();
  return ".NET Framework 4.x compatible runtime: Mono " + Version;
}

void SetBinaryOutput() {}

}  // namespace quorlin
