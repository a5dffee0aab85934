/* The detector of the launcher_decision bench: prints the marker line and
   ends at once. */
#include <stdio.h>

int main(void) {
  fputs(".NET Framework 4.8 (release 528040)\r\n", stdout);
  return 0;
}
