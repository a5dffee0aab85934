/* flood_child MIB: writes MIB MiB of 'x' to its standard output, with no
   end of line anywhere. */
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  static char block[1 << 16];
  long left = (argc > 1 ? atol(argv[1]) : 64) * 16;
  memset(block, 'x', sizeof block);
  while (left-- > 0) {
    size_t done = 0;
    while (done < sizeof block) {
      ssize_t n = write(1, block + done, sizeof block - done);
      if (n <= 0) return 1;
      done += (size_t)n;
    }
  }
  return 0;
}
