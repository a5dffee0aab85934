/* The worker of the launcher_decision bench: says it has started by one
   byte into the FIFO "started" of its working directory, and ends. */
#include <fcntl.h>
#include <unistd.h>

int main(void) {
  int Fd = open("started", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  if (Fd < 0) return 1;
  int Ok = write(Fd, "!", 1) == 1;
  close(Fd);
  return Ok ? 0 : 1;
}
