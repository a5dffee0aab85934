// child_exit CODE: ends with exit code CODE.
#include <cstdlib>

int main(int argc, char** argv) {
  return argc > 1 ? static_cast<int>(std::strtol(argv[1], nullptr, 0)) : 0;
}
