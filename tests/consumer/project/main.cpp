// A program outside the tree: it includes the installed headers and links
// the installed libraries, and touches each of them once (a generator's
// fiber switches, a timer's sleep, a compiled regular expression).
#include <iostream>
#include <string>

#include "greenlets/Greenlets.h"
#include "ovo/Ovo.h"

int main() {
  using namespace green;
  auto words = TGenerator<std::string>::Create([] {
    for (const char* w : {"alpha", "beta", "gamma"}) {
      GreenSleep(1);
      TGenerator<std::string>::Yield(w);
    }
  });
  const TRegEx endsInA("a$");
  int matched = 0;
  for (const std::string& w : words) matched += endsInA.Match(w).Success ? 1 : 0;
  std::cout << "consumer: " << matched << " of 3 words end in a\n";
  return matched == 3 ? 0 : 1;
}
