// The posix shell: detached starts leave no child behind, run in a session
// of their own, inherit no descriptors and split their parameters like the
// launcher; URLs go to the xdg-open found on PATH.
#ifndef _WIN32
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Files.h"
#include "platform/Error.h"
#include "platform/Shell.h"

namespace green {
namespace {

using namespace green::testing;

void WriteScript(const fs::path& Path, const std::string& Body) {
  std::ofstream(Path) << "#!/bin/sh\n" << Body;
  fs::permissions(Path, fs::perms::owner_all);
}

// Restores PATH when the test ends.
class TPathPrefix {
 public:
  explicit TPathPrefix(const fs::path& Dir) : FSaved(std::getenv("PATH") ? std::getenv("PATH") : "") {
    ::setenv("PATH", (Dir.string() + ":" + FSaved).c_str(), 1);
  }
  ~TPathPrefix() { ::setenv("PATH", FSaved.c_str(), 1); }

 private:
  std::string FSaved;
};

// Ignored signals would pass through the exec: none does, neither one
// this process inherited (SIGHUP under nohup) nor the runtime's (SIGPIPE).
TEST(StartDetached, ANewSessionThatIsNotOurChildAndInheritsNoDescriptorNorIgnoredSignal) {
  TScratchDir Dir("green-detached");
  struct sigaction Ignore {}, OldHup {}, OldPipe {};
  Ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGHUP, &Ignore, &OldHup);
  ::sigaction(SIGPIPE, &Ignore, &OldPipe);
  FILE* Open = std::fopen((Dir.Path() / "held").c_str(), "w");  // inheritable
  ASSERT_NE(Open, nullptr);
  const int Held = fileno(Open);
  WriteScript(Dir.Path() / "probe",
              "{ echo \"pid=$$\"; echo \"sid=$(ps -o sid= -p $$ | tr -d ' ')\";\n"
              "  [ -e /proc/$$/fd/" + std::to_string(Held) + " ] && echo held=yes || echo held=no;\n"
              "  grep '^SigIgn:' /proc/$$/status | tr -d ' \\t';\n"
              "  for a in \"$@\"; do printf 'arg=%s\\n' \"$a\"; done; } > report.part && mv report.part report\n");
  const bool Started =
      os::StartDetached((Dir.Path() / "probe").string(), "one \"two words\" th\\ree \"\" x\"y\"z", nullptr);
  ::sigaction(SIGHUP, &OldHup, nullptr);
  ::sigaction(SIGPIPE, &OldPipe, nullptr);
  ASSERT_TRUE(Started);
  // The middle process is already reaped and the program is not ours.
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  const auto Report = WaitForFile(Dir.Path() / "report");
  std::fclose(Open);
  ASSERT_TRUE(Report);
  const std::string Pid = Report->substr(4, Report->find('\n') - 4);
  EXPECT_NE(Report->find("sid=" + Pid + "\n"), std::string::npos) << *Report;
  EXPECT_NE(Report->find("held=no\n"), std::string::npos) << *Report;
  const size_t Ign = Report->find("SigIgn:");
  ASSERT_NE(Ign, std::string::npos) << *Report;
  const uint64_t Ignored = std::stoull(Report->substr(Ign + 7, 16), nullptr, 16);
  EXPECT_EQ(Ignored & ((1ull << (SIGHUP - 1)) | (1ull << (SIGPIPE - 1))), 0u) << *Report;
  EXPECT_NE(Report->find("arg=one\narg=two words\narg=th\\ree\narg=xyz\n"), std::string::npos) << *Report;
}

TEST(StartDetached, ProgramsAreFoundOnPathAndFailuresAreCodes) {
  TScratchDir Dir("green-detached-path");
  WriteScript(Dir.Path() / "green-probe-on-path", "echo found > found.part && mv found.part found\n");
  {
    TPathPrefix Path(Dir.Path());
    ASSERT_TRUE(os::StartDetached("green-probe-on-path", "", nullptr));
    EXPECT_TRUE(WaitForFile(Dir.Path() / "found"));
    EXPECT_FALSE(os::StartDetached("green-no-such-program", "", nullptr));
    EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
  }
  EXPECT_FALSE(os::StartDetached((Dir.Path() / "missing").string(), "", nullptr));
  EXPECT_EQ(os::GetLastError(), os::kErrorFileNotFound);
  std::ofstream(Dir.Path() / "not-executable") << "data";
  EXPECT_FALSE(os::StartDetached((Dir.Path() / "not-executable").string(), "", nullptr));
  EXPECT_EQ(os::GetLastError(), os::kErrorAccessDenied);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(OpenUrl, HandsTheAddressToXdgOpen) {
  TScratchDir Dir("green-open-url");
  WriteScript(Dir.Path() / "xdg-open", "printf '%s' \"$*\" > url.part && mv url.part url\n");
  TPathPrefix Path(Dir.Path());
  const std::string Url = "https://example.invalid/a b?x=1&y='2'";
  ASSERT_TRUE(os::OpenUrl(Url));
  EXPECT_EQ(WaitForFile(Dir.Path() / "url"), Url);
}

TEST(OpenUrl, NoXdgOpenIsAnErrorCode) {
  const std::string Saved = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", "/nonexistent", 1);
  const bool Opened = os::OpenUrl("https://example.invalid/");
  const uint32_t Error = os::GetLastError();
  ::setenv("PATH", Saved.c_str(), 1);
  EXPECT_FALSE(Opened);
  EXPECT_EQ(Error, os::kErrorFileNotFound);
}

}  // namespace
}  // namespace green
#endif
