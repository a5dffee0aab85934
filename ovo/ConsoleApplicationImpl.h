// The console application behind IOvoConsoleApplication. Each standard
// stream of the child is one pipe with two ends: the parent's end is a
// named-pipe provider, the child's end a bare handle that is handed to the
// child and closed once the child has started.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>

#include "greenlets/Greenlets.h"
#include "ovo/ConsoleApplication.h"
#include "ovo/NamedPipe.h"

namespace green {

class TOvoConsoleApplication : public TInterfacedObject, public IOvoConsoleApplication {
 public:
  // One stream's pair of pipe ends.
  struct TInOut {
    RefPtr<TOvoNamedPipe> Pipe1;       // the parent's end
    THandle Pipe2 = os::kNoHandle;     // the child's end, owned

    TInOut() = default;
    // Both ends, connected; ChildReads for the child's input. Raises
    // EIOError "OvoNamedPipe.MakeServer error: %s".
    TInOut(const std::string& Name, bool ChildReads);
    ~TInOut();
    TInOut(const TInOut&) = delete;
    TInOut& operator=(const TInOut&) = delete;
    TInOut& operator=(TInOut&& Other) noexcept;
    void Destroy();
    void ReleaseChildSide();
    THandle ChildSide() const { return Pipe2; }
    TOvoNamedPipe* ParentSide() const { return Pipe1.get(); }
    void RefreshEncodings(const TEncoding& Enc, const std::string& EOL);
  };

  TOvoConsoleApplication(const std::string& Cmd, std::initializer_list<TVarRec> Args,
                         const std::string& WorkDir = "");
  ~TOvoConsoleApplication() override;
  TOvoConsoleApplication(const TOvoConsoleApplication&) = delete;
  TOvoConsoleApplication& operator=(const TOvoConsoleApplication&) = delete;

  TEncoding* GetEncoding() override { return FEncoding.get(); }
  void SetEncoding(const TEncoding& Value) override;
  std::string GetEOL() override { return FEOL; }
  void SetEOL(const std::string& Value) override;
  RefPtr<IOvoProvider> StdIn() override;
  RefPtr<IOvoProvider> StdOut() override;
  RefPtr<IOvoProvider> StdError() override;
  uint32_t ProcessId() override { return FProcessId; }
  TGevent* OnTerminate() override { return FOnTerminate.get(); }
  int32_t GetExitCode(bool Block) override;
  void Terminate(int32_t ExitCode) override;

  const std::string& Path() const { return FPath; }
  const std::string& Guid() const { return FGuid; }
  const std::string& WorkDir() const { return FWorkDir; }
  // The command line the child was started with.
  const std::string& CommandLine() const { return FCommandLine; }

  // "OvoApplication_<pid>_<address>", the address in upper-case hex with
  // as many digits as a pointer has.
  static std::string GuidOf(uint32_t ProcessId, const void* Address);
  // The path, a blank, the arguments' texts joined by single blanks.
  static std::string CommandLineOf(const std::string& Path, std::initializer_list<TVarRec> Args);

 private:
  void AllocPipes();
  bool TryCreate(const std::string& AbsPath, std::initializer_list<TVarRec> Args);
  void FinalPipes();
  void ReleaseChildSides();

  THandle FHandle = os::kNoHandle;
  uint32_t FProcessId = 0;
  TInOut FInput;
  TInOut FOutput;
  TInOut FError;
  std::string FWorkDir;
  RefPtr<TGevent> FOnTerminate;
  std::string FPath;
  std::string FGuid;
  THeldEncoding FEncoding;
  std::string FEOL;
  std::string FCommandLine;
};

}  // namespace green
