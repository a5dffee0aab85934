// A pipeline of generators: each stage is a greenlet that walks the stage
// before it and yields what it lets through, one number at a time, with
// nothing buffered between stages. The sieve adds a stage per prime found.
#include <iostream>

#include "green/Generator.h"

using namespace green;
using TInts = Generator<int>;

// First, First + 1, ... up to Last.
TInts Count(int First, int Last) {
  return TInts::Create([=] {
    for (int n = First; n <= Last; ++n) TInts::Yield(n);
  });
}

// The numbers of Source that Divisor does not divide.
TInts NotMultiplesOf(int Divisor, TInts Source) {
  return TInts::Create([=]() mutable {
    for (int n : Source)
      if (n % Divisor != 0) TInts::Yield(n);
  });
}

// The first number of what is left is a prime; the rest is filtered by it.
TInts Sieve(TInts Numbers) {
  return TInts::Create([=]() mutable {
    for (;;) {
      if (!Numbers.MoveNext()) return;
      const int prime = Numbers.Current();
      TInts::Yield(prime);
      Numbers = NotMultiplesOf(prime, Numbers);
    }
  });
}

// At most Limit values of Source: the stages above it are left unfinished,
// and go when the pipeline does.
TInts Take(int Limit, TInts Source) {
  return TInts::Create([=]() mutable {
    int taken = 0;
    for (int n : Source) {
      if (taken++ == Limit) return;
      TInts::Yield(n);
    }
  });
}

int main() {
  std::cout << "the first ten primes:";
  for (int prime : Take(10, Sieve(Count(2, 1000)))) std::cout << ' ' << prime;
  std::cout << '\n';

  std::cout << "squares of the odd numbers below 10:";
  auto odd = NotMultiplesOf(2, Count(1, 9));
  for (int n : odd) std::cout << ' ' << n * n;
  std::cout << '\n';
  return 0;
}
