// The console application: its pipes, the child's start, exit code and
// termination, and the order in which it is taken down.
#include <algorithm>
#include <string>

#include "base/Exception.h"
#include "ovo/ConsoleApplicationImpl.h"
#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/Process.h"
#include "platform/Shell.h"

namespace green {

namespace {

constexpr uint32_t kDefaultCodePage = 1251;

[[noreturn]] void RaiseError(const char* Template, uint32_t Code) {
  throw TOvoProvider::EIOError(Format(Template, os::SysErrorMessage(Code).c_str()));
}

// The platform's own separator: the other one is turned into it.
std::string NativePath(std::string Path) {
  const char Other = os::kPathDelim == '\\' ? '/' : '\\';
  std::replace(Path.begin(), Path.end(), Other, os::kPathDelim);
  return Path;
}

}  // namespace

RefPtr<IOvoConsoleApplication> MakeOvoConsoleApp(const std::string& Cmd,
                                                 std::initializer_list<TVarRec> Args,
                                                 const std::string& WorkDir) {
  return RefPtr<IOvoConsoleApplication>(new TOvoConsoleApplication(Cmd, Args, WorkDir));
}

TOvoConsoleApplication::TOvoConsoleApplication(const std::string& Cmd,
                                               std::initializer_list<TVarRec> Args,
                                               const std::string& WorkDir)
    : FWorkDir(WorkDir.empty() ? os::CurrentDirectory() : WorkDir),
      FPath(NativePath(Cmd)),
      FGuid(GuidOf(os::CurrentProcessId(), this)),
      FEncoding(std::make_unique<TEncoding>(kDefaultCodePage)),
      FEOL("\r\n") {
  AllocPipes();
  if (!TryCreate(FPath, Args)) {
    const uint32_t Code = os::GetLastError();
    FinalPipes();
    RaiseError("OvoConsoleApplication error: %s", Code);
  }
  ReleaseChildSides();
}

// The child is ended with 0 even when it has ended by itself (its code
// then stays what it was).
TOvoConsoleApplication::~TOvoConsoleApplication() {
  if (FHandle != os::kNoHandle) {
    Terminate(0);
    os::CloseHandle(FHandle);
  }
  FinalPipes();
  FOnTerminate.reset();
}

// Written out by hand: the C library's formatting is pages of code that
// the launcher's start would touch for this one name.
std::string TOvoConsoleApplication::GuidOf(uint32_t ProcessId, const void* Address) {
  std::string Guid = "OvoApplication_" + std::to_string(ProcessId) + "_";
  const auto Bits = reinterpret_cast<uintptr_t>(Address);
  for (int Shift = static_cast<int>(sizeof Bits * 8) - 4; Shift >= 0; Shift -= 4)
    Guid += "0123456789ABCDEF"[(Bits >> Shift) & 0xF];
  return Guid;
}

std::string TOvoConsoleApplication::CommandLineOf(const std::string& Path,
                                                  std::initializer_list<TVarRec> Args) {
  std::string Line = Path + " ";
  bool First = true;
  for (const TVarRec& Arg : Args) {
    if (!First) Line += ' ';
    Line += Arg.AsString();
    First = false;
  }
  return Line;
}

void TOvoConsoleApplication::AllocPipes() {
  struct TStream {
    TInOut* Pair;
    const char* Suffix;
    bool ChildReads;
  };
  for (const TStream& S : {TStream{&FError, "_error", false}, TStream{&FInput, "_input", true},
                           TStream{&FOutput, "_output", false}}) {
    *S.Pair = TInOut(FGuid + S.Suffix, S.ChildReads);
    S.Pair->RefreshEncodings(*FEncoding, FEOL);
  }
}

bool TOvoConsoleApplication::TryCreate(const std::string& AbsPath,
                                       std::initializer_list<TVarRec> Args) {
  FCommandLine = CommandLineOf(AbsPath, Args);
  const os::StdHandles Std{FInput.ChildSide(), FOutput.ChildSide(), FError.ChildSide()};
  os::ProcessInformation Info;
  if (!os::CreateProcess(FCommandLine, FWorkDir, os::kCreateNoWindow, Std, Info)) return false;
  FHandle = Info.Process;
  FProcessId = Info.ProcessId;
  FOnTerminate = MakeRef<TGevent>(FHandle);
  return true;
}

void TOvoConsoleApplication::FinalPipes() {
  FError.Destroy();
  FInput.Destroy();
  FOutput.Destroy();
}

// The child has its own copies now: without ours, readers see the end of
// the stream once the child has ended. The child's input stays open while
// the application lives: the application keeps its own end (FInput.Pipe1),
// whoever holds StdIn, and the child is terminated before that end closes.
void TOvoConsoleApplication::ReleaseChildSides() {
  FError.ReleaseChildSide();
  FInput.ReleaseChildSide();
  FOutput.ReleaseChildSide();
}

void TOvoConsoleApplication::SetEncoding(const TEncoding& Value) {
  FEncoding.Set(Value);
  for (TInOut* Pair : {&FInput, &FOutput, &FError}) Pair->RefreshEncodings(Value, FEOL);
}

void TOvoConsoleApplication::SetEOL(const std::string& Value) {
  FEOL = Value;
  for (TInOut* Pair : {&FInput, &FOutput, &FError}) Pair->RefreshEncodings(*FEncoding, Value);
}

RefPtr<IOvoProvider> TOvoConsoleApplication::StdIn() { return FInput.ParentSide(); }
RefPtr<IOvoProvider> TOvoConsoleApplication::StdOut() { return FOutput.ParentSide(); }
RefPtr<IOvoProvider> TOvoConsoleApplication::StdError() { return FError.ParentSide(); }

// The gevent keeps no state of the process's end until a wait has watched
// the handle, so a wait of 0 asks the handle itself as well.
int32_t TOvoConsoleApplication::GetExitCode(bool Block) {
  if (Block) {
    FOnTerminate->WaitFor(INFINITE);
  } else if (FOnTerminate->WaitFor(0) != wrSignaled &&
             os::WaitForSingleObject(FHandle, 0) != os::kWaitObject0) {
    throw TOvoProvider::EIOError("OvoConsoleApplication.GetExitCode: process not terminated");
  }
  uint32_t Code = 0;
  if (!os::GetExitCodeProcess(FHandle, Code))
    RaiseError("OvoConsoleApplication.GetExitCode error: %s", os::GetLastError());
  return static_cast<int32_t>(Code);
}

void TOvoConsoleApplication::Terminate(int32_t ExitCode) {
  os::TerminateProcess(FHandle, static_cast<uint32_t>(ExitCode));
}

}  // namespace green
