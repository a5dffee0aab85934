// What the launcher uses of its host on posix: the form compiled in, the
// GTK window module loaded only when the prompt is shown, and standard
// error for reports.
#include <cstdio>

#include "app/MainFormLayout.h"
#include "app/PromptWindow.h"
#include "app/fmMain.h"
#include "platform/Library.h"

namespace green {

namespace {

constexpr unsigned char kMainFormText[] = {
#include "MainFormText.inc"
};

void WriteError(const std::string& Text) {
  std::fwrite(Text.data(), 1, Text.size(), stderr);
  std::fflush(stderr);
}

// Loaded once and kept: a toolkit is never unloaded from a process.
TRunPromptWindow LoadPromptModule(const std::string& Path) {
  static os::Module Module = os::LoadLibrary(Path.c_str());
  if (!Module) return nullptr;
  return reinterpret_cast<TRunPromptWindow>(os::GetProcAddress(Module, kPromptModuleEntry));
}

}  // namespace

std::string_view MainFormResource() {
  return {reinterpret_cast<const char*>(kMainFormText), sizeof kMainFormText};
}

os::WindowHandle ApplicationHandle() { return nullptr; }

int RunInstallPrompt(const TPromptHooks& Hooks) {
  const TMainFormLayout Layout = ReadMainFormLayout(MainFormResource());
  // Beside the executable only: a directory that cannot be found is no
  // reason to load a module of that name from the root.
  const std::string Dir = os::ExecutableDirectory();
  const std::string Path = Dir.empty() ? std::string(kPromptModuleName) : Dir + "/" + kPromptModuleName;
  const TRunPromptWindow Run = Dir.empty() ? nullptr : LoadPromptModule(Path);
  if (!Run) {
    // The user still learns where to get .NET.
    WriteError(PromptText(Layout, kDownloadUrl));
    throw Exception("The install prompt's window module cannot be loaded: " + Path);
  }
  TPromptHooks Own = Hooks;
  if (!Own.WindowInput) Own.WindowInput = [](const os::WindowInputSource& Source) { os::SetWindowInputSource(Source); };
  if (Run(Layout, kDownloadUrl, Own) == prClosed) return 0;
  WriteError(PromptText(Layout, kDownloadUrl));
  return kExitNoDisplay;
}

void ReportStartupException(std::exception_ptr Error) { WriteError(DescribeException(Error) + "\n"); }

}  // namespace green
