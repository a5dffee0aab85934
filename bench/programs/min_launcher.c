/* The limit of the launcher_decision bench: the least a launcher can do.
   It spawns ./Quorlin.exe with its output on a pipe, reads to the end, and
   spawns ./bin/Tarvex.exe without waiting for it. */
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

int main(void) {
  int Pipe[2];
  if (pipe(Pipe) != 0) return 1;
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 1);
  posix_spawn_file_actions_addclose(&Actions, Pipe[0]);
  posix_spawn_file_actions_addclose(&Actions, Pipe[1]);
  char* DetectorArgs[] = {"Quorlin.exe", 0};
  pid_t Detector;
  if (posix_spawn(&Detector, "./Quorlin.exe", &Actions, 0, DetectorArgs, environ) != 0) return 1;
  close(Pipe[1]);
  char Buf[4096];
  while (read(Pipe[0], Buf, sizeof Buf) > 0) {
  }
  close(Pipe[0]);
  waitpid(Detector, 0, 0);
  char* WorkerArgs[] = {"Tarvex.exe", 0};
  pid_t Worker;
  return posix_spawn(&Worker, "./bin/Tarvex.exe", 0, 0, WorkerArgs, environ) == 0 ? 0 : 1;
}
