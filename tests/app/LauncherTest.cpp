// Start-up apart from detection: the reader's test of each line, the
// worker's path and its detached start with the launcher's arguments, and
// the report of an exception that ends start-up.
#include <gtest/gtest.h>

#include <stdexcept>

#include "Files.h"
#include "app/FormText.h"
#include "app/MainFormLayout.h"
#include "app/fmMain.h"
#include "platform/Shell.h"

namespace green {

// A nested exception class, named as the report shows it.
struct TTestProvider {
  GREEN_EXCEPTION(EIOError, Exception);
};

namespace testing {
fs::path BinDir() { return fs::path(os::ExecutableDirectory()); }
}  // namespace testing

namespace {

using namespace green::testing;

TEST(LauncherState, TheMarkerAnywhereInALineAndCaseSensitive) {
  EXPECT_TRUE(HasDotNetMarker(".NET Framework"));
  EXPECT_TRUE(HasDotNetMarker("Microsoft .NET Framework 4.8 (release 528040)"));
  EXPECT_FALSE(HasDotNetMarker(".net framework 4.8"));
  EXPECT_FALSE(HasDotNetMarker(".NET  Framework"));
  EXPECT_FALSE(HasDotNetMarker(".NET Frame"));
  EXPECT_FALSE(HasDotNetMarker(""));
}

TEST(LauncherState, EveryLineIsKeptAndAHitStays) {
  TLauncherState State;
  State.TakeLine("Detector 1.0");
  EXPECT_FALSE(State.DotNetInstalled);
  State.TakeLine("Product .NET Framework 4.8");
  State.TakeLine("later line");
  State.TakeLine("");
  EXPECT_TRUE(State.DotNetInstalled);
  EXPECT_EQ(State.Output,
            (std::vector<std::string>{"Detector 1.0", "Product .NET Framework 4.8", "later line", ""}));
}

TEST(WorkerPath, UnderTheCurrentDirectory) {
#ifdef _WIN32
  EXPECT_EQ(WorkerPath("C:\\work\\app"), "C:\\work\\app\\bin\\Tarvex.exe");
  // A root keeps its backslash: two in a row, which the system accepts.
  EXPECT_EQ(WorkerPath("C:\\"), "C:\\\\bin\\Tarvex.exe");
#else
  EXPECT_EQ(WorkerPath("/work/app"), "/work/app/bin/Tarvex.exe");
  EXPECT_EQ(WorkerPath("/"), "//bin/Tarvex.exe");
#endif
}

TEST(CurrentDirectory, HasNoTrailingSeparatorExceptAtARoot) {
  TScratchDir Dir("green-cwd");
  EXPECT_EQ(fs::path(os::CurrentDirectory()), fs::current_path());
  EXPECT_NE(os::CurrentDirectory().back(), os::kPathDelim);
  fs::current_path(fs::current_path().root_path());
#ifdef _WIN32
  EXPECT_EQ(os::CurrentDirectory().size(), 3u);
  EXPECT_EQ(os::CurrentDirectory().substr(1), ":\\");
#else
  EXPECT_EQ(os::CurrentDirectory(), "/");
#endif
}

TEST(ExecutableDirectory, HoldsTheProgramsBuiltBesideThisOne) {
  EXPECT_TRUE(fs::exists(BinDir() / "Quorlin.exe"));
  EXPECT_TRUE(fs::exists(BinDir() / "bin" / "Tarvex.exe"));
}

std::vector<std::string> Lines(const std::string& Report) {
  std::vector<std::string> Out;
  for (size_t I = 0; I < Report.size();) {
    const size_t End = Report.find('\n', I);
    Out.push_back(Report.substr(I, End - I));
    I = End == std::string::npos ? Report.size() : End + 1;
  }
  return Out;
}

// The value of the sample worker's first report line with Key.
std::string Field(const std::string& Report, const std::string& Key) {
  for (const std::string& Line : Lines(Report))
    if (Line.rfind(Key + "=", 0) == 0) return Line.substr(Key.size() + 1);
  return "<no " + Key + ">";
}

std::vector<std::string> ArgumentsOf(const std::string& Report) {
  std::vector<std::string> Args;
  for (const std::string& Line : Lines(Report))
    if (Line.rfind("arg=", 0) == 0) Args.push_back(Line.substr(4));
  return Args;
}

void InstallWorker(const TScratchDir& Dir) {
  fs::create_directories(Dir.Path() / "bin");
  fs::copy_file(BinDir() / "bin" / "Tarvex.exe", Dir.Path() / "bin" / "Tarvex.exe");
}

TEST(StartWorker, PassesTheArgumentsJoinedAndRunsInTheCurrentDirectory) {
  TScratchDir Dir("green-worker");
  InstallWorker(Dir);
  TLauncherState State;
  State.DotNetInstalled = true;
  StartWorker(State, {"one", "two words", "th\\ree"});
  EXPECT_EQ(State.Arguments, (std::vector<std::string>{"one", "two words", "th\\ree"}));
  const auto Report = WaitForFile(Dir.Path() / "Tarvex-report.txt");
  ASSERT_TRUE(Report) << "the worker wrote no report";
  EXPECT_EQ(fs::path(Field(*Report, "cwd")), fs::current_path());
  EXPECT_EQ(ArgumentsOf(*Report), State.Arguments);
#ifdef _WIN32
  // The parameters string as the program received it, after its own path.
  const std::string CommandLine = Field(*Report, "cmdline");
  const std::string Parameters = "Tarvex.exe\" one \"two words\" th\\ree";
  ASSERT_GE(CommandLine.size(), Parameters.size());
  EXPECT_EQ(CommandLine.substr(CommandLine.size() - Parameters.size()), Parameters) << CommandLine;
#endif
}

TEST(StartWorker, NoArgumentsGiveNone) {
  TScratchDir Dir("green-worker-none");
  InstallWorker(Dir);
  TLauncherState State;
  StartWorker(State, {});
  const auto Report = WaitForFile(Dir.Path() / "Tarvex-report.txt");
  ASSERT_TRUE(Report) << "the worker wrote no report";
  EXPECT_TRUE(ArgumentsOf(*Report).empty()) << *Report;
}

#ifndef _WIN32
// On win32 the shell itself reports a missing program, in a message box.
TEST(StartWorker, AMissingWorkerIsNotReported) {
  TScratchDir Dir("green-worker-missing");
  TLauncherState State;
  StartWorker(State, {"x"});  // nothing to see: the shell's own business
  EXPECT_EQ(State.Arguments, std::vector<std::string>{"x"});
}
#endif

TEST(DescribeException, ClassWithoutNamespaceAndMessage) {
  auto Describe = [](auto&& Raise) {
    try {
      Raise();
    } catch (...) {
      return DescribeException(std::current_exception());
    }
    return std::string("nothing raised");
  };
  EXPECT_EQ(Describe([] { throw TTestProvider::EIOError("OvoConsoleApplication error: File not found"); }),
            "TTestProvider::EIOError: OvoConsoleApplication error: File not found");
  EXPECT_EQ(Describe([] { throw EFormError("bad"); }), "EFormError: bad");
  EXPECT_EQ(Describe([] { throw std::runtime_error("plain"); }), "std::runtime_error: plain");
  EXPECT_EQ(Describe([] { throw 42; }), "unknown exception");
  EXPECT_EQ(DescribeException(nullptr), "no exception");
}

#ifndef _WIN32
// On win32 the report is a message box, which would wait for a user.
TEST(RunLauncher, AnExceptionInDetectionIsReportedAndEndsStartUp) {
  TLauncherState State;
  ::testing::internal::CaptureStderr();
  const int Code = RunLauncher(State, [](TLauncherState& S) {
    S.TakeLine(".NET Framework");
    throw TTestProvider::EIOError("OvoConsoleApplication error: No such file or directory");
  });
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "TTestProvider::EIOError: OvoConsoleApplication error: No such file or directory\n");
  EXPECT_EQ(Code, kExitStartupError);
  EXPECT_TRUE(State.Arguments.empty());  // the worker was not started
}

TEST(RunInstallPrompt, WithoutADisplayThePromptGoesToStandardError) {
  ::unsetenv("DISPLAY");
  ::unsetenv("WAYLAND_DISPLAY");
  ::testing::internal::CaptureStderr();
  const int Code = RunInstallPrompt(DefaultPromptHooks());
  const std::string Text = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(Code, kExitNoDisplay);
  EXPECT_EQ(Text, PromptText(ReadMainFormLayout(MainFormResource()), kDownloadUrl));
}
#endif

}  // namespace
}  // namespace green
