// The launcher. Start-up runs the detector, reads what it prints for at
// most a second, and then either starts the worker with the launcher's own
// arguments, detached, or shows the install prompt (TMainForm) until the
// user closes it. Everything happens on the main thread.
//
// This header holds the pieces start-up is made of. Detection itself (the
// detector as a console application, its lines read on a green thread and
// joined with a timeout) is handed in to RunLauncher.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/PromptWindow.h"
#include "platform/Shell.h"

namespace green {

constexpr const char* kDetectorCommand = "Quorlin.exe";
constexpr std::string_view kDotNetMarker = ".NET Framework";
constexpr uint32_t kDetectorJoinTimeout = 1000;  // ms
// Appended to the current directory, after a separator, to name the worker.
#ifdef _WIN32
constexpr const char* kWorkerRelPath = "bin\\Tarvex.exe";
#else
constexpr const char* kWorkerRelPath = "bin/Tarvex.exe";
#endif
constexpr const char* kDownloadUrl = "https://www.microsoft.com/ru-ru/download/details.aspx?id=30653";
// Exit codes: a start-up failure, and a prompt that no display could show.
constexpr int kExitStartupError = 1;
constexpr int kExitNoDisplay = 2;

// What start-up keeps for the life of the program.
struct TLauncherState {
  std::vector<std::string> Output;     // every line the detector printed, in order
  std::vector<std::string> Arguments;  // the launcher's arguments 1..n (worker branch only)
  bool DotNetInstalled = false;        // only ever moves to true

  // The reader's step for one line: keep it, and note the marker in it.
  void TakeLine(std::string Line);
};

// Whether Line holds the marker: case-sensitive, anywhere.
bool HasDotNetMarker(std::string_view Line);

// CurrentDir, a separator and kWorkerRelPath. A root keeps its own
// separator, so the path then holds two in a row, which both systems accept.
std::string WorkerPath(const std::string& CurrentDir);

// Starts Exe with the parameters Args through the shell, detached, owned by
// the application's hidden window. The result is ignored: the shell shows
// its own message if it cannot start the program.
void RunExternalProgramDetached(const std::string& Exe, const std::string& Args);

// The worker branch: takes Args into State.Arguments, joins them with " "
// and starts the worker under the current directory.
void StartWorker(TLauncherState& State, const std::vector<std::string>& Args);

// Shows the install prompt and runs its message loop. Closed: 0. Without a
// display (posix) the prompt's text and address go to standard error
// instead, and the answer is kExitNoDisplay.
int RunInstallPrompt(const TPromptHooks& Hooks);
// The hooks of the real prompt: the label opens the page through the shell.
TPromptHooks DefaultPromptHooks();

// Acts on the decision taken by detection: the worker with the process's
// arguments, or the prompt. The exit code.
int ActOnDetection(TLauncherState& State);

// "<class>: <message>" for an exception; the class without its namespace.
std::string DescribeException(std::exception_ptr Error);
// Reports an exception that ended start-up: a message box on win32,
// standard error elsewhere.
void ReportStartupException(std::exception_ptr Error);

// The whole start-up: Detect fills State, then ActOnDetection. An exception
// from either is reported and gives kExitStartupError. The caller owns
// State and whatever Detect started, so both live until the program ends.
int RunLauncher(TLauncherState& State, const std::function<void(TLauncherState& State)>& Detect);

// The application object's hidden top-level window, created on first use
// (win32); nullptr where the toolkit has none.
os::WindowHandle ApplicationHandle();

}  // namespace green
