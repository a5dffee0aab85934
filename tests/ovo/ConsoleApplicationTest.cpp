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
  std::vector<std::string> lines;
  for (std::string line; Provider->ReadLn(line);) lines.push_back(line);
  return lines;
}

size_t Count(const std::string& Text, const std::string& Part) {
  size_t n = 0;
  for (size_t at = Text.find(Part); at != std::string::npos; at = Text.find(Part, at + 1)) ++n;
  return n;
}

TEST(OvoConsoleApplication, TheGuidIsTheProcessIdAndTheAddressInFullWidthUpperCaseHex) {
  const std::string guid =
      TOvoConsoleApplication::GuidOf(1234, reinterpret_cast<const void*>(uintptr_t{0xAB}));
  EXPECT_EQ(guid, sizeof(void*) == 4 ? "OvoApplication_1234_000000AB"
                                     : "OvoApplication_1234_00000000000000AB");
}

TEST(OvoConsoleApplication, TwoAliveAtOnceHaveDifferentPipeNames) {
  RefPtr<IOvoConsoleApplication> a = MakeOvoConsoleApp(kChildSleep);
  RefPtr<IOvoConsoleApplication> b = MakeOvoConsoleApp(kChildSleep);
  const std::string stem =
      "OvoApplication_" + std::to_string(os::CurrentProcessId()) + "_";
  EXPECT_EQ(Impl(a).Guid().rfind(stem, 0), 0u) << Impl(a).Guid();
  EXPECT_NE(Impl(a).Guid(), Impl(b).Guid());
  auto nameOf = [](const RefPtr<IOvoProvider>& P) {
    return dynamic_cast<TOvoNamedPipe&>(*P).PipeName();
  };
  EXPECT_EQ(nameOf(a->StdIn()), "\\\\.\\pipe\\" + Impl(a).Guid() + "_input");
  EXPECT_EQ(nameOf(a->StdOut()), "\\\\.\\pipe\\" + Impl(a).Guid() + "_output");
  EXPECT_EQ(nameOf(a->StdError()), "\\\\.\\pipe\\" + Impl(a).Guid() + "_error");
  EXPECT_NE(nameOf(a->StdOut()), nameOf(b->StdOut()));
  EXPECT_EQ(a->StdOut().get(), a->StdOut().get()) << "the same provider each time";
  EXPECT_NE(a->ProcessId(), b->ProcessId());
}

TEST(OvoConsoleApplication, TheCommandLineIsThePathABlankAndTheArgumentsUnquoted) {
  const std::string two = "two words";
  EXPECT_EQ(TOvoConsoleApplication::CommandLineOf("p", {1, two}), "p 1 two words");
  EXPECT_EQ(TOvoConsoleApplication::CommandLineOf("p", {}), "p ");
  RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildArgs, {1, two});
  EXPECT_EQ(Impl(app).CommandLine(), std::string(kChildArgs) + " 1 two words");
  const std::vector<std::string> lines = AllLines(app->StdOut());
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "[1]");
  EXPECT_EQ(lines[1], "[two]");
  EXPECT_EQ(lines[2], "[words]");
}

TEST(OvoConsoleApplication, AnEmptyWorkingDirectoryIsTheParentsAndAGivenOneIsUsed) {
  RefPtr<IOvoConsoleApplication> here = MakeOvoConsoleApp(kChildArgs);
  EXPECT_EQ(Impl(here).WorkDir(), os::CurrentDirectory());
  std::vector<std::string> lines = AllLines(here->StdOut());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "cwd=" + os::CurrentDirectory());

  const std::string dir = os::ExecutableDirectory();
  RefPtr<IOvoConsoleApplication> there =
      MakeOvoConsoleApp(dir + os::kPathDelim + kChildArgs, {}, dir);
  lines = AllLines(there->StdOut());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "cwd=" + dir);
}

TEST(OvoConsoleApplication, AProgramPathWithTheOtherSeparatorIsStarted) {
  const char other = kIsWin32 ? '/' : '\\';
  const std::string path = os::ExecutableDirectory() + other + kChildExit;
  RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(path, {3});
  std::string expected = path;
  std::replace(expected.begin(), expected.end(), other, os::kPathDelim);
  EXPECT_EQ(Impl(app).Path(), expected);
  EXPECT_EQ(app->GetExitCode(true), 3);
}

TEST(OvoConsoleApplication, LinesAreReadInAGreenletWhileTheHubRunsTimers) {
  RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildLines, {3, 30});
  std::vector<std::string> lines;
  std::atomic<bool> done{false};
  int ticks = 0;
  TSymmetric reader = TSymmetric::Spawn([&] {
    TStringGenerator gen = app->StdOut()->ReadLns();
    for (const std::string& line : gen) lines.push_back(line);
    done = true;
  });
  TSymmetric ticker = TSymmetric::Spawn([&] {
    while (!done) {
      GreenSleep(5);
      ++ticks;
    }
  });
  ASSERT_TRUE(Join({reader, ticker}, 30'000));
  EXPECT_EQ(lines, (std::vector<std::string>{"line 1", "line 2", "line 3"}));
  EXPECT_GT(ticks, 1) << "the timers ran while the reader waited";
}

TEST(OvoConsoleApplication, CreatedInsideAGreenletTooAndItsStandardErrorIsAStream) {
  std::string line;
  TSymmetric body = TSymmetric::Spawn([&] {
    RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildLines, {1});
    line = app->StdOut()->ReadLn();
    std::string none;
    EXPECT_FALSE(app->StdError()->ReadLn(none)) << "nothing is written to standard error";
  });
  ASSERT_TRUE(Join({body}, 30'000, true));
  EXPECT_EQ(line, "line 1");
}

TEST(OvoConsoleApplication, WhatIsWrittenToStdInIsAnswered) {
  RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildEcho);
  app->StdIn()->WriteLn("hello");
  EXPECT_EQ(app->StdOut()->ReadLn(), "HELLO");
  app->StdIn()->WriteLn({"a", "b"});
  EXPECT_EQ(app->StdOut()->ReadLn(), "A");
  EXPECT_EQ(app->StdOut()->ReadLn(), "B");
}

// The application keeps its own end of the child's input: releasing StdIn
// does not end that input (the child would then echo "A" and exit).
TEST(OvoConsoleApplication, ReleasingStdInDoesNotEndTheChildsInput) {
  RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildEcho);
  ASSERT_EQ(app->StdIn()->Write("a", 1), 1u);
  app->StdIn()->WriteLn("b");
  EXPECT_EQ(app->StdOut()->ReadLn(), "AB");
}

TEST(OvoConsoleApplication, TheStreamsEndWhenTheChildEnds) {
  RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildLines, {2});
  EXPECT_EQ(AllLines(app->StdOut()), (std::vector<std::string>{"line 1", "line 2"}));
  std::string none;
  EXPECT_FALSE(app->StdError()->ReadLn(none));
  EXPECT_THROW(app->StdOut()->ReadLn(), TOvoProvider::AEOF);
}

TEST(OvoConsoleApplication, GetExitCodeWithoutBlockingRaisesUntilTheChildHasEnded) {
  RefPtr<IOvoConsoleApplication> running = MakeOvoConsoleApp(kChildSleep);
  try {
    running->GetExitCode(false);
    FAIL() << "an exit code of a running child";
  } catch (const TOvoProvider::EIOError& E) {
    EXPECT_STREQ(E.what(), "OvoConsoleApplication.GetExitCode: process not terminated");
  }
  RefPtr<IOvoConsoleApplication> ending = MakeOvoConsoleApp(kChildExit, {7});
  EXPECT_EQ(ending->GetExitCode(true), 7);
  EXPECT_EQ(ending->GetExitCode(false), 7);
  EXPECT_EQ(ending->GetExitCode(true), 7) << "the code stays";
}

// The wait on OnTerminate takes its signal; the child has still ended.
TEST(OvoConsoleApplication, GetExitCodeWithoutBlockingAfterOnTerminateWasWaitedFor) {
  RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildExit, {5});
  ASSERT_EQ(app->OnTerminate()->WaitFor(30'000), wrSignaled);
  EXPECT_EQ(app->GetExitCode(false), 5);
}

TEST(OvoConsoleApplication, TerminateEndsTheChildWithTheGivenCode) {
  RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildSleep);
  app->Terminate(42);
  EXPECT_EQ(app->GetExitCode(true), 42);
  std::string none;
  EXPECT_FALSE(app->StdOut()->ReadLn(none));
}

TEST(OvoConsoleApplication, ReleasingTheLastReferenceEndsARunningChild) {
  RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildSleep);
  RefPtr<IOvoProvider> out = app->StdOut();
  app.reset();
  std::string none;
  EXPECT_FALSE(out->ReadLn(none)) << "the child's end of its output is closed";
}

// A walk holds its provider: it ends with the stream, however soon the
// application goes, and never reads a provider that is gone.
TEST(OvoConsoleApplication, AWalkOfItsLinesOrMatchesOutlivesTheApplication) {
  for (const bool matches : {false, true}) {
    RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildLines, {3});
    TStringGenerator walk =
        matches ? app->StdOut()->ReadRegEx(std::string("line \\d")) : app->StdOut()->ReadLns();
    app.reset();
    size_t n = 0;
    for (const std::string& line : walk) EXPECT_EQ(line, "line " + std::to_string(++n)) << matches;
    EXPECT_LE(n, 3u);
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
  RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildEcho);
  EXPECT_EQ(app->GetEncoding()->CodePage(), 1251u);
  EXPECT_EQ(app->GetEOL(), "\r\n");
  EXPECT_EQ(app->StdOut()->GetEncoding()->CodePage(), 1251u);
  app->SetEncoding(*TEncoding::UTF8());
  app->SetEOL("\n");
  for (const RefPtr<IOvoProvider>& p : {app->StdIn(), app->StdOut(), app->StdError()}) {
    EXPECT_EQ(p->GetEncoding()->CodePage(), TEncoding::UTF8()->CodePage());
    EXPECT_EQ(p->GetEOL(), "\n");
  }
  EXPECT_EQ(app->GetEncoding()->CodePage(), TEncoding::UTF8()->CodePage());
  app->StdIn()->WriteLn("\xC3\xA9t\xC3\xA9");  // UTF-8 text, written as UTF-8
  EXPECT_EQ(app->StdOut()->ReadLn(), "\xC3\xA9T\xC3\xA9");
}

// Its pipe names are known to anyone who knows its address; they are still
// its own. posix: the streams are anonymous pipes, which no name reaches.
TEST(OvoConsoleApplication, NoOtherProcessCanOpenOrServeItsPipes) {
  RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildSleep);
  const std::string name = dynamic_cast<TOvoNamedPipe&>(*app->StdOut()).PipeName();
  const uint32_t openError = kIsWin32 ? os::kErrorPipeBusy : os::kErrorFileNotFound;
  RefPtr<IOvoConsoleApplication> client = MakeOvoConsoleApp(kChildPipe, {"open", name});
  EXPECT_EQ(client->StdOut()->ReadLn(), "error " + std::to_string(openError));
  if (kIsWin32 && !os::test::UnderWine()) {  // Wine 8 ignores FILE_FLAG_FIRST_PIPE_INSTANCE
    RefPtr<IOvoConsoleApplication> server = MakeOvoConsoleApp(kChildPipe, {"serve", name});
    EXPECT_EQ(server->StdOut()->ReadLn(), "error " + std::to_string(os::kErrorAccessDenied));
  }
  EXPECT_EQ(os::OpenNamedPipe(name), os::kInvalidHandleValue) << "nor can this process";
  EXPECT_EQ(os::GetLastError(), openError);
}

// posix: the child lists its descriptors; win32: it probes handle values,
// and only its three standard handles are pipe ends.
TEST(OvoConsoleApplication, TheChildHoldsOnlyItsThreeStandardHandles) {
  RefPtr<IOvoConsoleApplication> first = MakeOvoConsoleApp(kChildSleep);
  std::string probes;
  for (int value = 4; kIsWin32 && value <= 4096; value += 4)
    probes += (probes.empty() ? "" : " ") + std::to_string(value);
  RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildHandles, {probes});
  const std::vector<std::string> lines = AllLines(app->StdOut());
  std::string report;
  for (const std::string& line : lines) report += line + "\n";
  if (!kIsWin32) {
    EXPECT_EQ(report, "fds=0 1 2\n");
    return;
  }
  EXPECT_EQ(Count(report, "pipe-server"), 0u) << report;
  EXPECT_EQ(Count(report, "pipe-client"), 3u) << report;
}

// The launcher's pattern on a thread of its own: a reader still waiting on
// the child's output when the thread gives up on it and ends. Whatever the
// abandoned read held is freed with the thread's hub (LeakSanitizer counts).
TEST(OvoConsoleApplication, AThreadThatAbandonsAPendingReadLeavesNothingBehind) {
  for (int i = 0; i < (kIsWin32 ? 20 : 100); ++i) {
    std::thread([] {
      RefPtr<IOvoConsoleApplication> app = MakeOvoConsoleApp(kChildSleep);
      IOvoConsoleApplication* child = app.get();
      TSymmetric reader = TSymmetric::Spawn([child] {
        RefPtr<IOvoProvider> out = child->StdOut();  // the generator holds none
        for (const std::string& line : out->ReadLns()) (void)line;
      });
      EXPECT_FALSE(Join({reader}, 10, false)) << "the child writes nothing";
      app = nullptr;
      reader.Impl = nullptr;
    }).join();
  }
}

}  // namespace
}  // namespace green
