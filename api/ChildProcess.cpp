#include "green/ChildProcess.h"

#include "api/Access.h"

namespace green {

using detail::Access;

namespace {

// The command line takes the arguments one blank apart: joined here, they
// are one argument of the application's.
RefPtr<IOvoConsoleApplication> Start(const std::string& Cmd, const std::vector<std::string>& Args,
                                     const std::string& WorkDir) {
  if (Args.empty()) return MakeOvoConsoleApp(Cmd, {}, WorkDir);
  std::string Line = Args.front();
  for (size_t I = 1; I < Args.size(); ++I) Line += ' ' + Args[I];
  return MakeOvoConsoleApp(Cmd, {Line}, WorkDir);
}

}  // namespace

ChildProcess::ChildProcess(const std::string& Cmd, const std::vector<std::string>& Args,
                           const std::string& WorkDir)
    : FImpl(std::make_shared<Impl>(Start(Cmd, Args, WorkDir))) {}

Generator<std::string> ChildProcess::ReadLines(const std::vector<std::string>& EOLs) {
  return detail::Adopt(FImpl->App->StdOut()->ReadLns(EOLs), FImpl);
}

Generator<std::string> ChildProcess::ReadMatches(const RegEx& Pattern) {
  return detail::Adopt(FImpl->App->StdOut()->ReadRegEx(Access::Of(Pattern).R), FImpl);
}

Generator<std::string> ChildProcess::ReadErrorLines(const std::vector<std::string>& EOLs) {
  return detail::Adopt(FImpl->App->StdError()->ReadLns(EOLs), FImpl);
}

bool ChildProcess::WriteLine(const std::string& Line, const std::string& EOL) {
  RefPtr<IOvoProvider> In = FImpl->App->StdIn();
  return In->WriteString(*In->GetEncoding(), Line, EOL);
}

uint32_t ChildProcess::ProcessId() const { return FImpl->App->ProcessId(); }

Gevent ChildProcess::OnTerminate() const {
  return Access::MakeGevent(RefPtr<TGevent>(FImpl->App->OnTerminate()));
}

int32_t ChildProcess::ExitCode(bool Wait) const { return FImpl->App->GetExitCode(Wait); }
void ChildProcess::Terminate(int32_t ExitCode) { FImpl->App->Terminate(ExitCode); }

}  // namespace green
