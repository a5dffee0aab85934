// A program outside the tree: it includes the installed headers and links
// the installed libraries, and touches each of them once (a generator's
// fiber switches, a timer's sleep, a compiled regular expression).
#include <iostream>
#include <string>

#include "green/Generator.h"
#include "green/Greenlet.h"
#include "green/RegEx.h"

int main() {
  using namespace green;
  auto Words = Generator<std::string>::Create([] {
    for (const char* W : {"alpha", "beta", "gamma"}) {
      Greenlet::Sleep(1);
      Generator<std::string>::Yield(W);
    }
  });
  const RegEx EndsInA("a$");
  int Matched = 0;
  for (const std::string& W : Words) Matched += EndsInA.Find(W).Success ? 1 : 0;
  std::cout << "consumer: " << Matched << " of 3 words end in a\n";
  return Matched == 3 ? 0 : 1;
}
