// A scripted detector for the launcher's end-to-end tests. It is copied as
// Quorlin.exe into a scratch folder and acts out the script beside it, the
// file of its own name with the extension ".script":
//   write TEXT     writes TEXT (\r, \n, \\ escapes) and flushes it
//   sleep MS       waits MS milliseconds
// Without a script it prints nothing and ends with 0.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "programs/StdioMode.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

namespace fs = std::filesystem;

fs::path OwnPath([[maybe_unused]] const char* Argv0) {
#ifdef _WIN32
  wchar_t Path[MAX_PATH];
  const DWORD Size = ::GetModuleFileNameW(nullptr, Path, MAX_PATH);
  return fs::path(std::wstring(Path, Size));
#else
  return fs::read_symlink("/proc/self/exe");
#endif
}

std::string Unescape(const std::string& Text) {
  std::string Out;
  for (size_t I = 0; I < Text.size(); ++I) {
    if (Text[I] != '\\' || I + 1 == Text.size()) {
      Out += Text[I];
      continue;
    }
    const char C = Text[++I];
    Out += C == 'r' ? '\r' : C == 'n' ? '\n' : C;
  }
  return Out;
}

}  // namespace

int main(int, char** Argv) {
  UseBinaryStdio();
  fs::path Script = OwnPath(Argv[0]);
  Script.replace_extension(".script");
  std::ifstream In(Script, std::ios::binary);
  std::string Line;
  while (std::getline(In, Line)) {
    if (!Line.empty() && Line.back() == '\r') Line.pop_back();
    if (Line.rfind("write ", 0) == 0) {
      const std::string Text = Unescape(Line.substr(6));
      std::fwrite(Text.data(), 1, Text.size(), stdout);
      std::fflush(stdout);
    } else if (Line.rfind("sleep ", 0) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(Line.substr(6))));
    }
  }
  return 0;
}
