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
  auto words = Generator<std::string>::Create([] {
    for (const char* w : {"alpha", "beta", "gamma"}) {
      Greenlet::Sleep(1);
      Generator<std::string>::Yield(w);
    }
  });
  const RegEx endsInA("a$");
  int matched = 0;
  for (const std::string& w : words) matched += endsInA.Find(w).Success ? 1 : 0;
  std::cout << "consumer: " << matched << " of 3 words end in a\n";
  return matched == 3 ? 0 : 1;
}
