// Child processes: starting with redirected standard handles, exit codes,
// termination, failures to start, the command line and the working
// directory, and what the child inherits.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "PipeSupport.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Io.h"
#include "platform/Kernel.h"
#include "platform/Pipe.h"
#include "platform/Process.h"
#include "platform/Shell.h"

namespace green::os {
namespace {

using test::ChildProgram;
using test::ConnectedPipe;
using test::kIsWin32;
using test::kLongWaitMs;
using test::PeekAll;

std::string Quoted(const std::string& Text) { return "\"" + Text + "\""; }

// A child's three standard streams as connected pipes, as a console
// application redirects them.
struct Redirected {
  ConnectedPipe In{"stdin"};
  ConnectedPipe Out{"stdout"};
  ConnectedPipe Err{"stderr"};
  bool Connected() const { return In.Connected() && Out.Connected() && Err.Connected(); }
  StdHandles ChildSide() const { return {In.Client, Out.Client, Err.Client}; }
};

// A started child; ended and closed at the end of the test.
struct Child {
  explicit Child(const std::string& CommandLine, const StdHandles& Std = {},
                 const std::string& WorkDir = {}) {
    Started = CreateProcess(CommandLine, WorkDir, kCreateNoWindow, Std, Info);
    Error = Started ? kErrorSuccess : GetLastError();
  }
  ~Child() {
    if (!Started) return;
    TerminateProcess(Info.Process, 0);
    CloseHandle(Info.Process);
  }
  bool Ended(uint32_t TimeoutMs = kLongWaitMs) const {
    return WaitForSingleObject(Info.Process, TimeoutMs) == kWaitObject0;
  }
  uint32_t ExitCode() const {
    uint32_t Code = 0xBAD;
    EXPECT_TRUE(GetExitCodeProcess(Info.Process, Code)) << GetLastError();
    return Code;
  }

  ProcessInformation Info;
  bool Started = false;
  uint32_t Error = kErrorSuccess;
};

TEST(Process, ExitCodeIsStillActiveUntilATerminatedChildEndsWithItsCode) {
  Child C(Quoted(ChildProgram(kChildSleep)));
  ASSERT_TRUE(C.Started) << C.Error;
  EXPECT_EQ(C.ExitCode(), kStillActive);
  EXPECT_FALSE(C.Ended(0));
  ASSERT_TRUE(TerminateProcess(C.Info.Process, 42)) << GetLastError();
  ASSERT_TRUE(C.Ended());
  EXPECT_EQ(C.ExitCode(), 42u);
  // An ended child stays signalled and keeps its code.
  EXPECT_TRUE(C.Ended(0));
  TerminateProcess(C.Info.Process, 43);  // Windows refuses, Wine accepts
  EXPECT_EQ(C.ExitCode(), 42u);
}

TEST(Process, ExitCodesComeBackAsTheChildGaveThem) {
  for (uint32_t Code : {0u, 3u, 255u}) {
    Child C(Quoted(ChildProgram(kChildExit)) + " " + std::to_string(Code));
    ASSERT_TRUE(C.Started) << C.Error;
    ASSERT_TRUE(C.Ended());
    EXPECT_EQ(C.ExitCode(), Code);
  }
}

TEST(Process, AChildWithoutStandardHandlesRuns) {
  Child C(Quoted(ChildProgram(kChildLines)) + " 2");
  ASSERT_TRUE(C.Started) << C.Error;
  ASSERT_TRUE(C.Ended());
  EXPECT_EQ(C.ExitCode(), 0u);
}

TEST(Process, WhatAChildWroteWaitsInThePipeAndPeeksLeaveIt) {
  Redirected R;
  ASSERT_TRUE(R.Connected());
  Child C(Quoted(ChildProgram(kChildLines)) + " 3", R.ChildSide());
  ASSERT_TRUE(C.Started) << C.Error;
  ASSERT_TRUE(C.Ended());
  const std::string All = "line 1\r\nline 2\r\nline 3\r\n";
  EXPECT_EQ(PeekAll(R.Out.Server), All);
  EXPECT_EQ(PeekAll(R.Out.Server), All);
  char Part[4];
  uint32_t Copied = 0, Available = 0;
  ASSERT_TRUE(PeekNamedPipe(R.Out.Server, Part, sizeof Part, &Copied, &Available));
  EXPECT_EQ(std::string(Part, Copied), "line");
  EXPECT_EQ(Available, All.size());
  EXPECT_EQ(PeekAll(R.Err.Server), "");
}

TEST(Process, AChildAnswersThroughItsRedirectedStreams) {
  Redirected R;
  ASSERT_TRUE(R.Connected());
  Child C(Quoted(ChildProgram(kChildEcho)), R.ChildSide());
  ASSERT_TRUE(C.Started) << C.Error;
  ASSERT_EQ(test::WriteAll(R.In.Server, "hello\r\nWorld\n"), kErrorSuccess);
  std::string Got;
  ASSERT_EQ(test::ReadAtLeast(R.Out.Server, 13, Got), kErrorSuccess) << Got;
  EXPECT_EQ(Got, "HELLO\r\nWORLD\n");
  // The end of its input ends the child.
  ASSERT_TRUE(CloseHandle(R.In.Server));
  R.In.Server = kInvalidHandleValue;
  ASSERT_TRUE(C.Ended());
  EXPECT_EQ(C.ExitCode(), 0u);
}

// The parent's overlapped reads leave a pipe end nonblocking on posix;
// the child still reads its input as a blocking stream.
TEST(Process, AChildReadsAnInputPipeThatTheParentReadOverlapped) {
  Handle Read = kNoHandle, Write = kNoHandle;
  ASSERT_TRUE(CreatePipe(Read, Write)) << GetLastError();
  {
    char Byte;
    Overlapped Ov;
    ASSERT_TRUE(ReadFileEx(Read, &Byte, 1, &Ov, [](uint32_t, uint32_t, Overlapped*) {}));
    ASSERT_TRUE(CancelIo(Read));
    EXPECT_EQ(SleepEx(kLongWaitMs, true), kWaitIoCompletion);
  }
  ConnectedPipe Out("stdout");
  ASSERT_TRUE(Out.Connected());
  Child C(Quoted(ChildProgram(kChildEcho)), {Read, Out.Client, kNoHandle});
  ASSERT_TRUE(C.Started) << C.Error;
  // Only the child holds the client end now: its end is the pipe's end.
  ASSERT_TRUE(CloseHandle(Out.Client));
  Out.Client = kInvalidHandleValue;
  // The second line comes once the child has answered the first, so it
  // finds nothing to read at first and must wait.
  std::string Got;
  ASSERT_EQ(test::WriteAll(Write, "first\n"), kErrorSuccess);
  ASSERT_EQ(test::ReadAtLeast(Out.Server, 6, Got), kErrorSuccess) << Got;
  ASSERT_EQ(test::WriteAll(Write, "later\n"), kErrorSuccess);
  EXPECT_EQ(test::ReadAtLeast(Out.Server, 12, Got), kErrorSuccess) << Got;
  EXPECT_EQ(Got, "FIRST\nLATER\n");
  CloseHandle(Write);
  EXPECT_TRUE(C.Ended());
  CloseHandle(Read);
}

TEST(Process, OutputIsReadWhileTheChildStillRuns) {
  Redirected R;
  ASSERT_TRUE(R.Connected());
  Child C(Quoted(ChildProgram(kChildLines)) + " 2 1000", R.ChildSide());
  ASSERT_TRUE(C.Started) << C.Error;
  std::string Got;
  ASSERT_EQ(test::ReadAtLeast(R.Out.Server, 8, Got), kErrorSuccess);
  EXPECT_EQ(Got, "line 1\r\n");
  EXPECT_EQ(C.ExitCode(), kStillActive);
  ASSERT_EQ(test::ReadAtLeast(R.Out.Server, 16, Got), kErrorSuccess);
  EXPECT_EQ(Got, "line 1\r\nline 2\r\n");
  ASSERT_TRUE(C.Ended());
}

TEST(Process, AMissingProgramFailsAtOnceWithFileNotFound) {
  for (const std::string& Program :
       {std::string("green-no-such-program.exe"), ChildProgram("no-such-dir/child.exe")}) {
    Child C(Quoted(Program) + " 1");
    EXPECT_FALSE(C.Started) << Program;
    EXPECT_EQ(C.Error, kErrorFileNotFound) << Program;
  }
  const std::string Text = SysErrorMessage(kErrorFileNotFound);
  EXPECT_FALSE(Text.empty());
  EXPECT_EQ(Text.find("Unknown"), std::string::npos) << Text;
}

TEST(Process, AFileThatIsNoProgramIsBadExeFormat) {
  namespace fs = std::filesystem;
  const fs::path File = fs::temp_directory_path() /
                        ("green-not-a-program-" + std::to_string(CurrentProcessId()) + ".exe");
  std::ofstream(File) << "hello\n";
  fs::permissions(File, fs::perms::owner_exec, fs::perm_options::add);
  Child C(Quoted(File.string()));
  EXPECT_FALSE(C.Started);
  EXPECT_EQ(C.Error, kErrorBadExeFormat);
  fs::remove(File);
}

TEST(Process, ABadWorkingDirectoryIsErrorDirectory) {
  Child C(Quoted(ChildProgram(kChildExit)), {}, ChildProgram("no-such-directory"));
  EXPECT_FALSE(C.Started);
  EXPECT_EQ(C.Error, kErrorDirectory);
}

// What child_args wrote: its arguments, then its working directory.
std::string ArgsOutput(const std::string& CommandLine, const std::string& WorkDir = {}) {
  Redirected R;
  if (!R.Connected()) return "<no pipes>";
  Child C(CommandLine, R.ChildSide(), WorkDir);
  if (!C.Started) return "<not started: " + std::to_string(C.Error) + ">";
  if (!C.Ended()) return "<did not end>";
  return PeekAll(R.Out.Server);
}

TEST(Process, AnEmptyWorkingDirectoryIsTheParents) {
  const std::string Program = Quoted(ChildProgram(kChildArgs));
  EXPECT_EQ(ArgsOutput(Program), "cwd=" + CurrentDirectory() + "\r\n");
  const std::string Parent = std::filesystem::path(ExecutableDirectory()).parent_path().string();
  EXPECT_EQ(ArgsOutput(Program, Parent), "cwd=" + Parent + "\r\n");
}

TEST(Process, ArgumentsArriveAsTheCRuntimeSplitsThem) {
  const std::string Program = Quoted(ChildProgram(kChildArgs));
  const std::string Cwd = "cwd=" + CurrentDirectory() + "\r\n";
  // No arguments: the program and one blank.
  EXPECT_EQ(ArgsOutput(Program + " "), Cwd);
  // Unquoted arguments with a blank are two.
  EXPECT_EQ(ArgsOutput(Program + " 1 a b"), "[1]\r\n[a]\r\n[b]\r\n" + Cwd);
  EXPECT_EQ(
      ArgsOutput(Program + R"( plain "with blank" a\b "quote\"inside" "ends\\" "" x"y z"w \\\"q)"),
      "[plain]\r\n[with blank]\r\n[a\\b]\r\n[quote\"inside]\r\n[ends\\]\r\n[]\r\n"
      "[xy zw]\r\n[\\\"q]\r\n" +
          Cwd);
  EXPECT_EQ(ArgsOutput(Program + "\tTab\t\tSeparated"), "[Tab]\r\n[Separated]\r\n" + Cwd);
}

TEST(Process, ProgramPathsTakeEitherSlash) {
  std::string Path = ChildProgram(kChildExit);
  for (char& C : Path) {
    if (C == '/' || C == '\\') C = kIsWin32 ? '/' : '\\';
  }
  Child C(Quoted(Path) + " 7");
  ASSERT_TRUE(C.Started) << Path << ": " << C.Error;
  ASSERT_TRUE(C.Ended());
  EXPECT_EQ(C.ExitCode(), 7u);
}

TEST(Process, ABareNameIsFoundBesideTheExecutableFirst) {
  namespace fs = std::filesystem;
  const fs::path Before = fs::current_path();
  fs::current_path(fs::path(ExecutableDirectory()).parent_path());
  Child C(std::string(kChildExit) + " 9");
  fs::current_path(Before);
  ASSERT_TRUE(C.Started) << C.Error;
  ASSERT_TRUE(C.Ended());
  EXPECT_EQ(C.ExitCode(), 9u);
}

// Every pipe end is inheritable, yet the child holds only its three.
TEST(Process, TheChildHoldsOnlyItsStandardHandles) {
  Redirected R;
  ConnectedPipe Extra("extra");
  ASSERT_TRUE(R.Connected() && Extra.Connected());
  std::string CommandLine = Quoted(ChildProgram(kChildHandles));
  const Handle NotInherited[] = {R.In.Server, R.Out.Server, R.Err.Server, Extra.Server};
  const Handle Inherited[] = {R.In.Client, R.Out.Client, R.Err.Client};
  for (Handle H : NotInherited) CommandLine += " " + std::to_string(H);
  CommandLine += " " + std::to_string(Extra.Client);
  for (Handle H : Inherited) CommandLine += " " + std::to_string(H);
  Child C(CommandLine, R.ChildSide());
  ASSERT_TRUE(C.Started) << C.Error;
  ASSERT_TRUE(C.Ended());
  const std::string Report = PeekAll(R.Out.Server);
  if (!kIsWin32) {
    EXPECT_EQ(Report, "fds=0 1 2\r\n");
    return;
  }
  // A value may name a handle of the child's own, but never a pipe end.
  for (Handle H : NotInherited) {
    EXPECT_EQ(Report.find(std::to_string(H) + " pipe-"), std::string::npos) << Report;
  }
  EXPECT_EQ(Report.find(std::to_string(Extra.Client) + " pipe-"), std::string::npos) << Report;
  for (Handle H : Inherited) {
    EXPECT_NE(Report.find(std::to_string(H) + " pipe-client"), std::string::npos) << Report;
  }
}

TEST(Process, IdsOfTheChildAndOfThisProcess) {
  Child C(Quoted(ChildProgram(kChildSleep)));
  ASSERT_TRUE(C.Started) << C.Error;
  EXPECT_NE(C.Info.ProcessId, 0u);
  EXPECT_EQ(GetProcessId(C.Info.Process), C.Info.ProcessId);
  EXPECT_NE(CurrentProcessId(), 0u);
  EXPECT_NE(CurrentProcessId(), C.Info.ProcessId);
  const Handle Event = CreateEvent(true, false);
  CloseHandle(Event);
  EXPECT_EQ(GetProcessId(Event), 0u);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

TEST(Process, DirectoriesOfThisProcess) {
  namespace fs = std::filesystem;
  const std::string Dir = ExecutableDirectory();
  ASSERT_FALSE(Dir.empty());
  EXPECT_NE(Dir.back(), kPathDelim);
  EXPECT_TRUE(fs::exists(ChildProgram(kChildExit))) << Dir;
  EXPECT_EQ(CurrentDirectory(), fs::current_path().string());
}

#ifndef _WIN32
// The state letter of a process in /proc, or 0 when there is no such process.
// A process reaped between the open and the read fails the read with ESRCH,
// which a stream would throw on; stdio just reports it.
char ProcessState(uint32_t Pid) {
  std::FILE* Stat = std::fopen(("/proc/" + std::to_string(Pid) + "/stat").c_str(), "r");
  if (Stat == nullptr) return 0;
  char Buffer[512];
  const size_t Got = std::fread(Buffer, 1, sizeof Buffer, Stat);
  const bool Failed = std::ferror(Stat) != 0;
  std::fclose(Stat);
  if (Failed) return 0;
  const std::string Text(Buffer, Got);
  const size_t Paren = Text.rfind(')');
  return Paren == std::string::npos || Paren + 2 >= Text.size() ? 0 : Text[Paren + 2];
}

// A child whose handle was closed runs on, and is reaped when it ends.
TEST(Process, ClosingTheHandleNeitherEndsTheChildNorLeavesAZombie) {
  ProcessInformation Info;
  ASSERT_TRUE(CreateProcess(Quoted(ChildProgram(kChildLines)) + " 2 1000", "", 0, {}, Info));
  ASSERT_TRUE(CloseHandle(Info.Process));
  const char Running = ProcessState(Info.ProcessId);
  EXPECT_TRUE(Running == 'S' || Running == 'R') << Running;
  // Nothing to wait on any more: look until it is gone.
  const int64_t Deadline = MonotonicNanos() + int64_t{kLongWaitMs} * 1'000'000;
  while (ProcessState(Info.ProcessId) != 0 && MonotonicNanos() < Deadline) SleepEx(10, false);
  EXPECT_EQ(ProcessState(Info.ProcessId), 0)
      << "still there, state " << ProcessState(Info.ProcessId);
}
#endif

}  // namespace
}  // namespace green::os
