// Start-up apart from detection: the decision's two branches and the
// report of an exception that ends start-up.
#include "app/fmMain.h"

#include "app/Arguments.h"
#include "app/MainFormLayout.h"
#include "base/Exception.h"
#include "platform/Error.h"

namespace green {

void TLauncherState::TakeLine(std::string Line) {
  // Reading goes on after a hit: every line is kept.
  if (HasDotNetMarker(Line)) DotNetInstalled = true;
  Output.push_back(std::move(Line));
}

bool HasDotNetMarker(std::string_view Line) { return Line.find(kDotNetMarker) != std::string_view::npos; }

std::string WorkerPath(const std::string& CurrentDir) {
  return CurrentDir + os::kPathDelim + kWorkerRelPath;
}

void RunExternalProgramDetached(const std::string& Exe, const std::string& Args) {
  (void)os::StartDetached(Exe, Args, ApplicationHandle());
}

// The worker is found from the current directory only: when that cannot be
// read, nothing is started, rather than a path under the root.
void StartWorker(TLauncherState& State, const std::vector<std::string>& Args) {
  State.Arguments.insert(State.Arguments.end(), Args.begin(), Args.end());
  const std::string Dir = os::CurrentDirectory();
  if (Dir.empty())
    throw Exception("The current directory cannot be read: " + os::SysErrorMessage(os::GetLastError()));
  RunExternalProgramDetached(WorkerPath(Dir), DelimitedText(State.Arguments, ' '));
}

TPromptHooks DefaultPromptHooks() {
  TPromptHooks Hooks;
  // Nothing is reported when the shell cannot open the page; the user may
  // click again.
  Hooks.OpenUrl = [](const std::string& Url) { (void)os::OpenUrl(Url); };
  return Hooks;
}

int ActOnDetection(TLauncherState& State) {
  if (!State.DotNetInstalled) return RunInstallPrompt(DefaultPromptHooks());
  StartWorker(State, os::ProcessArguments());
  return 0;
}

int RunLauncher(TLauncherState& State, const std::function<void(TLauncherState& State)>& Detect) {
  try {
    Detect(State);
    return ActOnDetection(State);
  } catch (...) {
    ReportStartupException(std::current_exception());
    return kExitStartupError;
  }
}

}  // namespace green
