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
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (Out >= 0) posix_spawn_file_actions_adddup2(&actions, Out, 1);
  std::vector<char*> args{const_cast<char*>(Path.c_str()), nullptr};
  const bool ok = posix_spawn(&Pid, Path.c_str(), &actions, nullptr, args.data(), environ) == 0;
  posix_spawn_file_actions_destroy(&actions);
  return ok;
}

bool HasMarker(const std::string& Text) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>("\\.NET Framework"),
                                   PCRE2_ZERO_TERMINATED, 0, &error, &offset, nullptr);
  if (!code) return false;
  pcre2_match_data* md = pcre2_match_data_create_from_pattern(code, nullptr);
  const bool found = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(Text.data()), Text.size(),
                                 0, 0, md, nullptr) > 0;
  pcre2_match_data_free(md);
  pcre2_code_free(code);
  return found;
}

}  // namespace

int main() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return 1;
  pid_t detector;
  if (!Spawn("./Quorlin.exe", fds[1], detector)) return 1;
  close(fds[1]);
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  waitpid(detector, nullptr, 0);
  pid_t worker;
  return HasMarker(text) && Spawn("./bin/Tarvex.exe", -1, worker) ? 0 : 1;
}
