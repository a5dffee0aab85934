// The second limit of the launcher_decision bench: the minimal launcher
// written in C++ and linked as the launcher is (its C++ runtime and PCRE2
// linked in), so that the cost of being a C++ program can be told apart
// from the launcher's own. It reads the detector's output into a string,
// looks for the marker with PCRE2 and spawns the worker.
#define PCRE2_CODE_UNIT_WIDTH 8
#include <fcntl.h>
#include <pcre2.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

namespace {

bool Spawn(const std::string& Path, int Out, pid_t& Pid) {
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  if (Out >= 0) posix_spawn_file_actions_adddup2(&Actions, Out, 1);
  std::vector<char*> Args{const_cast<char*>(Path.c_str()), nullptr};
  const bool Ok = posix_spawn(&Pid, Path.c_str(), &Actions, nullptr, Args.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&Actions);
  return Ok;
}

bool HasMarker(const std::string& Text) {
  int Error = 0;
  PCRE2_SIZE Offset = 0;
  pcre2_code* Code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>("\\.NET Framework"),
                                   PCRE2_ZERO_TERMINATED, 0, &Error, &Offset, nullptr);
  if (!Code) return false;
  pcre2_match_data* Md = pcre2_match_data_create_from_pattern(Code, nullptr);
  const bool Found = pcre2_match(Code, reinterpret_cast<PCRE2_SPTR>(Text.data()), Text.size(),
                                 0, 0, Md, nullptr) > 0;
  pcre2_match_data_free(Md);
  pcre2_code_free(Code);
  return Found;
}

}  // namespace

int main() {
  int Fds[2];
  if (pipe2(Fds, O_CLOEXEC) != 0) return 1;
  pid_t Detector;
  if (!Spawn("./Quorlin.exe", Fds[1], Detector)) return 1;
  close(Fds[1]);
  std::string Text;
  char Buf[4096];
  for (ssize_t N; (N = read(Fds[0], Buf, sizeof Buf)) > 0;) Text.append(Buf, static_cast<size_t>(N));
  close(Fds[0]);
  waitpid(Detector, nullptr, 0);
  pid_t Worker;
  return HasMarker(Text) && Spawn("./bin/Tarvex.exe", -1, Worker) ? 0 : 1;
}
