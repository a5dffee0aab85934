// Console applications with real children: pipe names, the command line,
// the working directory, reading and writing the child's streams, exit
// codes, termination, start-up failures and what the child inherits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "greenlets/Greenlets.h"
#include "ovo/OvoImpl.h"
#include "platform/Error.h"
#include "platform/Pipe.h"
#include "platform/PipeSupport.h"
#include "platform/Process.h"
#include "platform/Shell.h"
#include "programs/ChildPrograms.h"

namespace green {
namespace {

#ifdef _WIN32
constexpr bool kIsWin32 = true;
constexpr const char* kChildPipe = "child_pipe.exe";
#else
constexpr bool kIsWin32 = false;
constexpr const char* kChildPipe = "child_pipe";
#endif

TOvoConsoleApplication& Impl(const RefPtr<IOvoConsoleApplication>& App) {
  return dynamic_cast<TOvoConsoleApplication&>(*App);
}

// Every line until the end of the stream.
std::vector<std::string> AllLines(const RefPtr<IOvoProvider>& Provider) {
  std::vector<std::string> Lines;
  for (std::string Line; Provider->ReadLn(Line);) Lines.push_back(Line);
  return Lines;
}

size_t Count(const std::string& Text, const std::string& Part) {
  size_t N = 0;
  for (size_t At = Text.find(Part); At != std::string::npos; At = Text.find(Part, At + 1)) ++N;
  return N;
}

TEST(OvoConsoleApplication, TheGuidIsTheProcessIdAndTheAddressInFullWidthUpperCaseHex) {
  const std::string Guid =
      TOvoConsoleApplication::GuidOf(1234, reinterpret_cast<const void*>(uintptr_t{0xAB}));
  EXPECT_EQ(Guid, sizeof(void*) == 4 ? "OvoApplication_1234_000000AB"
                                     : "OvoApplication_1234_00000000000000AB");
}

TEST(OvoConsoleApplication, TwoAliveAtOnceHaveDifferentPipeNames) {
  RefPtr<IOvoConsoleApplication> A = MakeOvoConsoleApp(kChildSleep);
  RefPtr<IOvoConsoleApplication> B = MakeOvoConsoleApp(kChildSleep);
  const std::string Stem =
      "OvoApplication_" + std::to_string(os::CurrentProcessId()) + "_";
  EXPECT_EQ(Impl(A).Guid().rfind(Stem, 0), 0u) << Impl(A).Guid();
  EXPECT_NE(Impl(A).Guid(), Impl(B).Guid());
  auto NameOf = [](const RefPtr<IOvoProvider>& P) {
    return dynamic_cast<TOvoNamedPipe&>(*P).PipeName();
  };
  EXPECT_EQ(NameOf(A->StdIn()), "\\\\.\\pipe\\" + Impl(A).Guid() + "_input");
  EXPECT_EQ(NameOf(A->StdOut()), "\\\\.\\pipe\\" + Impl(A).Guid() + "_output");
  EXPECT_EQ(NameOf(A->StdError()), "\\\\.\\pipe\\" + Impl(A).Guid() + "_error");
  EXPECT_NE(NameOf(A->StdOut()), NameOf(B->StdOut()));
  EXPECT_EQ(A->StdOut().get(), A->StdOut().get()) << "the same provider each time";
  EXPECT_NE(A->ProcessId(), B->ProcessId());
}

TEST(OvoConsoleApplication, TheCommandLineIsThePathABlankAndTheArgumentsUnquoted) {
  const std::string Two = "two words";
  EXPECT_EQ(TOvoConsoleApplication::CommandLineOf("p", {1, Two}), "p 1 two words");
  EXPECT_EQ(TOvoConsoleApplication::CommandLineOf("p", {}), "p ");
  RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildArgs, {1, Two});
  EXPECT_EQ(Impl(App).CommandLine(), std::string(kChildArgs) + " 1 two words");
  const std::vector<std::string> Lines = AllLines(App->StdOut());
  ASSERT_EQ(Lines.size(), 4u);
  EXPECT_EQ(Lines[0], "[1]");
  EXPECT_EQ(Lines[1], "[two]");
  EXPECT_EQ(Lines[2], "[words]");
}

TEST(OvoConsoleApplication, AnEmptyWorkingDirectoryIsTheParentsAndAGivenOneIsUsed) {
  RefPtr<IOvoConsoleApplication> Here = MakeOvoConsoleApp(kChildArgs);
  EXPECT_EQ(Impl(Here).WorkDir(), os::CurrentDirectory());
  std::vector<std::string> Lines = AllLines(Here->StdOut());
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0], "cwd=" + os::CurrentDirectory());

  const std::string Dir = os::ExecutableDirectory();
  RefPtr<IOvoConsoleApplication> There =
      MakeOvoConsoleApp(Dir + os::kPathDelim + kChildArgs, {}, Dir);
  Lines = AllLines(There->StdOut());
  ASSERT_EQ(Lines.size(), 1u);
  EXPECT_EQ(Lines[0], "cwd=" + Dir);
}

TEST(OvoConsoleApplication, AProgramPathWithTheOtherSeparatorIsStarted) {
  const char Other = kIsWin32 ? '/' : '\\';
  const std::string Path = os::ExecutableDirectory() + Other + kChildExit;
  RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(Path, {3});
  std::string Expected = Path;
  std::replace(Expected.begin(), Expected.end(), Other, os::kPathDelim);
  EXPECT_EQ(Impl(App).Path(), Expected);
  EXPECT_EQ(App->GetExitCode(true), 3);
}

TEST(OvoConsoleApplication, LinesAreReadInAGreenletWhileTheHubRunsTimers) {
  RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildLines, {3, 30});
  std::vector<std::string> Lines;
  std::atomic<bool> Done{false};
  int Ticks = 0;
  TSymmetric Reader = TSymmetric::Spawn([&] {
    TStringGenerator Gen = App->StdOut()->ReadLns();
    for (const std::string& Line : Gen) Lines.push_back(Line);
    Done = true;
  });
  TSymmetric Ticker = TSymmetric::Spawn([&] {
    while (!Done) {
      GreenSleep(5);
      ++Ticks;
    }
  });
  ASSERT_TRUE(Join({Reader, Ticker}, 30'000));
  EXPECT_EQ(Lines, (std::vector<std::string>{"line 1", "line 2", "line 3"}));
  EXPECT_GT(Ticks, 1) << "the timers ran while the reader waited";
}

TEST(OvoConsoleApplication, CreatedInsideAGreenletTooAndItsStandardErrorIsAStream) {
  std::string Line;
  TSymmetric Body = TSymmetric::Spawn([&] {
    RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildLines, {1});
    Line = App->StdOut()->ReadLn();
    std::string None;
    EXPECT_FALSE(App->StdError()->ReadLn(None)) << "nothing is written to standard error";
  });
  ASSERT_TRUE(Join({Body}, 30'000, true));
  EXPECT_EQ(Line, "line 1");
}

TEST(OvoConsoleApplication, WhatIsWrittenToStdInIsAnswered) {
  RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildEcho);
  App->StdIn()->WriteLn("hello");
  EXPECT_EQ(App->StdOut()->ReadLn(), "HELLO");
  App->StdIn()->WriteLn({"a", "b"});
  EXPECT_EQ(App->StdOut()->ReadLn(), "A");
  EXPECT_EQ(App->StdOut()->ReadLn(), "B");
}

// The application keeps its own end of the child's input: releasing StdIn
// does not end that input (the child would then echo "A" and exit).
TEST(OvoConsoleApplication, ReleasingStdInDoesNotEndTheChildsInput) {
  RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildEcho);
  ASSERT_EQ(App->StdIn()->Write("a", 1), 1u);
  App->StdIn()->WriteLn("b");
  EXPECT_EQ(App->StdOut()->ReadLn(), "AB");
}

TEST(OvoConsoleApplication, TheStreamsEndWhenTheChildEnds) {
  RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildLines, {2});
  EXPECT_EQ(AllLines(App->StdOut()), (std::vector<std::string>{"line 1", "line 2"}));
  std::string None;
  EXPECT_FALSE(App->StdError()->ReadLn(None));
  EXPECT_THROW(App->StdOut()->ReadLn(), TOvoProvider::AEOF);
}

TEST(OvoConsoleApplication, GetExitCodeWithoutBlockingRaisesUntilTheChildHasEnded) {
  RefPtr<IOvoConsoleApplication> Running = MakeOvoConsoleApp(kChildSleep);
  try {
    Running->GetExitCode(false);
    FAIL() << "an exit code of a running child";
  } catch (const TOvoProvider::EIOError& E) {
    EXPECT_STREQ(E.what(), "OvoConsoleApplication.GetExitCode: process not terminated");
  }
  RefPtr<IOvoConsoleApplication> Ending = MakeOvoConsoleApp(kChildExit, {7});
  EXPECT_EQ(Ending->GetExitCode(true), 7);
  EXPECT_EQ(Ending->GetExitCode(false), 7);
  EXPECT_EQ(Ending->GetExitCode(true), 7) << "the code stays";
}

// The wait on OnTerminate takes its signal; the child has still ended.
TEST(OvoConsoleApplication, GetExitCodeWithoutBlockingAfterOnTerminateWasWaitedFor) {
  RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildExit, {5});
  ASSERT_EQ(App->OnTerminate()->WaitFor(30'000), wrSignaled);
  EXPECT_EQ(App->GetExitCode(false), 5);
}

TEST(OvoConsoleApplication, TerminateEndsTheChildWithTheGivenCode) {
  RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildSleep);
  App->Terminate(42);
  EXPECT_EQ(App->GetExitCode(true), 42);
  std::string None;
  EXPECT_FALSE(App->StdOut()->ReadLn(None));
}

TEST(OvoConsoleApplication, ReleasingTheLastReferenceEndsARunningChild) {
  RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildSleep);
  RefPtr<IOvoProvider> Out = App->StdOut();
  App.reset();
  std::string None;
  EXPECT_FALSE(Out->ReadLn(None)) << "the child's end of its output is closed";
}

// A walk holds its provider: it ends with the stream, however soon the
// application goes, and never reads a provider that is gone.
TEST(OvoConsoleApplication, AWalkOfItsLinesOrMatchesOutlivesTheApplication) {
  for (const bool Matches : {false, true}) {
    RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildLines, {3});
    TStringGenerator Walk =
        Matches ? App->StdOut()->ReadRegEx(std::string("line \\d")) : App->StdOut()->ReadLns();
    App.reset();
    size_t N = 0;
    for (const std::string& Line : Walk) EXPECT_EQ(Line, "line " + std::to_string(++N)) << Matches;
    EXPECT_LE(N, 3u);
  }
}

TEST(OvoConsoleApplication, AMissingProgramRaisesWithTheSystemsText) {
  try {
    MakeOvoConsoleApp("green-no-such-program");
    FAIL() << "started a missing program";
  } catch (const TOvoProvider::EIOError& E) {
    EXPECT_EQ(E.Message(), "OvoConsoleApplication error: " +
                               os::SysErrorMessage(os::kErrorFileNotFound));
  }
}

TEST(OvoConsoleApplication, EncodingAndEndOfLineReachThePipes) {
  RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildEcho);
  EXPECT_EQ(App->GetEncoding()->CodePage(), 1251u);
  EXPECT_EQ(App->GetEOL(), "\r\n");
  EXPECT_EQ(App->StdOut()->GetEncoding()->CodePage(), 1251u);
  App->SetEncoding(*TEncoding::UTF8());
  App->SetEOL("\n");
  for (const RefPtr<IOvoProvider>& P : {App->StdIn(), App->StdOut(), App->StdError()}) {
    EXPECT_EQ(P->GetEncoding()->CodePage(), TEncoding::UTF8()->CodePage());
    EXPECT_EQ(P->GetEOL(), "\n");
  }
  EXPECT_EQ(App->GetEncoding()->CodePage(), TEncoding::UTF8()->CodePage());
  App->StdIn()->WriteLn("\xC3\xA9t\xC3\xA9");  // UTF-8 text, written as UTF-8
  EXPECT_EQ(App->StdOut()->ReadLn(), "\xC3\xA9T\xC3\xA9");
}

// Its pipe names are known to anyone who knows its address; they are still
// its own. posix: the streams are anonymous pipes, which no name reaches.
TEST(OvoConsoleApplication, NoOtherProcessCanOpenOrServeItsPipes) {
  RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildSleep);
  const std::string Name = dynamic_cast<TOvoNamedPipe&>(*App->StdOut()).PipeName();
  const uint32_t OpenError = kIsWin32 ? os::kErrorPipeBusy : os::kErrorFileNotFound;
  RefPtr<IOvoConsoleApplication> Client = MakeOvoConsoleApp(kChildPipe, {"open", Name});
  EXPECT_EQ(Client->StdOut()->ReadLn(), "error " + std::to_string(OpenError));
  if (kIsWin32 && !os::test::UnderWine()) {  // Wine 8 ignores FILE_FLAG_FIRST_PIPE_INSTANCE
    RefPtr<IOvoConsoleApplication> Server = MakeOvoConsoleApp(kChildPipe, {"serve", Name});
    EXPECT_EQ(Server->StdOut()->ReadLn(), "error " + std::to_string(os::kErrorAccessDenied));
  }
  EXPECT_EQ(os::OpenNamedPipe(Name), os::kInvalidHandleValue) << "nor can this process";
  EXPECT_EQ(os::GetLastError(), OpenError);
}

// posix: the child lists its descriptors; win32: it probes handle values,
// and only its three standard handles are pipe ends.
TEST(OvoConsoleApplication, TheChildHoldsOnlyItsThreeStandardHandles) {
  RefPtr<IOvoConsoleApplication> First = MakeOvoConsoleApp(kChildSleep);
  std::string Probes;
  for (int Value = 4; kIsWin32 && Value <= 4096; Value += 4)
    Probes += (Probes.empty() ? "" : " ") + std::to_string(Value);
  RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildHandles, {Probes});
  const std::vector<std::string> Lines = AllLines(App->StdOut());
  std::string Report;
  for (const std::string& Line : Lines) Report += Line + "\n";
  if (!kIsWin32) {
    EXPECT_EQ(Report, "fds=0 1 2\n");
    return;
  }
  EXPECT_EQ(Count(Report, "pipe-server"), 0u) << Report;
  EXPECT_EQ(Count(Report, "pipe-client"), 3u) << Report;
}

// The launcher's pattern on a thread of its own: a reader still waiting on
// the child's output when the thread gives up on it and ends. Whatever the
// abandoned read held is freed with the thread's hub (LeakSanitizer counts).
TEST(OvoConsoleApplication, AThreadThatAbandonsAPendingReadLeavesNothingBehind) {
  for (int I = 0; I < (kIsWin32 ? 20 : 100); ++I) {
    std::thread([] {
      RefPtr<IOvoConsoleApplication> App = MakeOvoConsoleApp(kChildSleep);
      IOvoConsoleApplication* Child = App.get();
      TSymmetric Reader = TSymmetric::Spawn([Child] {
        RefPtr<IOvoProvider> Out = Child->StdOut();  // the generator holds none
        for (const std::string& Line : Out->ReadLns()) (void)Line;
      });
      EXPECT_FALSE(Join({Reader}, 10, false)) << "the child writes nothing";
      App = nullptr;
      Reader.Impl = nullptr;
    }).join();
  }
}

}  // namespace
}  // namespace green
