// A sample worker: it reports what it was started with, so that scripts
// and tests can check what the launcher passed on. The report, on standard
// output and in a file, is
//   cwd=<working directory>
//   cmdline=<the raw command line>      (Windows only)
//   arg=<argument>                      (one line per argument, exact bytes)
// The file is $TARVEX_REPORT, or Tarvex-report.txt in the working
// directory; it is written whole under another name and then renamed, so
// whoever waits for it never reads half of it.
#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace {

namespace fs = std::filesystem;

#ifdef _WIN32
std::string Utf8(const wchar_t* Text) {
  const int Size = ::WideCharToMultiByte(CP_UTF8, 0, Text, -1, nullptr, 0, nullptr, nullptr);
  if (Size <= 1) return {};
  std::string Out(Size - 1, '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, Text, -1, Out.data(), Size, nullptr, nullptr);
  return Out;
}

// The arguments as a Windows program's runtime splits its command line.
std::string Arguments() {
  std::string Report = "cmdline=" + Utf8(::GetCommandLineW()) + "\n";
  int Count = 0;
  wchar_t** Args = ::CommandLineToArgvW(::GetCommandLineW(), &Count);
  for (int I = 1; Args && I < Count; ++I) Report += "arg=" + Utf8(Args[I]) + "\n";
  ::LocalFree(Args);
  return Report;
}

fs::path ReportPath() {
  const wchar_t* Path = ::_wgetenv(L"TARVEX_REPORT");
  return Path && *Path ? fs::path(Path) : fs::current_path() / "Tarvex-report.txt";
}
#else
std::string Arguments(int Argc, char** Argv) {
  std::string Report;
  for (int I = 1; I < Argc; ++I) Report += std::string("arg=") + Argv[I] + "\n";
  return Report;
}

fs::path ReportPath() {
  const char* Path = std::getenv("TARVEX_REPORT");
  return Path && *Path ? fs::path(Path) : fs::current_path() / "Tarvex-report.txt";
}
#endif

bool WriteReport(const fs::path& Path, const std::string& Report) {
  fs::path Temporary = Path;
  Temporary += ".part";
  {
    std::ofstream Out(Temporary, std::ios::binary | std::ios::trunc);
    if (!(Out << Report)) return false;
  }
  std::error_code Error;
  fs::rename(Temporary, Path, Error);
  return !Error;
}

}  // namespace

int main([[maybe_unused]] int Argc, [[maybe_unused]] char** Argv) {
  std::error_code Error;
  const fs::path Cwd = fs::current_path(Error);
#ifdef _WIN32
  const std::string Report = "cwd=" + Utf8(Cwd.wstring().c_str()) + "\n" + Arguments();
#else
  const std::string Report = "cwd=" + Cwd.string() + "\n" + Arguments(Argc, Argv);
#endif
  // A windowed program may have no standard output: the file is what counts.
  std::fwrite(Report.data(), 1, Report.size(), stdout);
  std::fflush(stdout);
  return WriteReport(ReportPath(), Report) ? 0 : 1;
}
