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
    for (int N = First; N <= Last; ++N) TInts::Yield(N);
  });
}

// The numbers of Source that Divisor does not divide.
TInts NotMultiplesOf(int Divisor, TInts Source) {
  return TInts::Create([=]() mutable {
    for (int N : Source)
      if (N % Divisor != 0) TInts::Yield(N);
  });
}

// The first number of what is left is a prime; the rest is filtered by it.
TInts Sieve(TInts Numbers) {
  return TInts::Create([=]() mutable {
    for (;;) {
      if (!Numbers.MoveNext()) return;
      const int Prime = Numbers.Current();
      TInts::Yield(Prime);
      Numbers = NotMultiplesOf(Prime, Numbers);
    }
  });
}

// At most Limit values of Source: the stages above it are left unfinished,
// and go when the pipeline does.
TInts Take(int Limit, TInts Source) {
  return TInts::Create([=]() mutable {
    int Taken = 0;
    for (int N : Source) {
      if (Taken++ == Limit) return;
      TInts::Yield(N);
    }
  });
}

int main() {
  std::cout << "the first ten primes:";
  for (int Prime : Take(10, Sieve(Count(2, 1000)))) std::cout << ' ' << Prime;
  std::cout << '\n';

  std::cout << "squares of the odd numbers below 10:";
  auto Odd = NotMultiplesOf(2, Count(1, 9));
  for (int N : Odd) std::cout << ' ' << N * N;
  std::cout << '\n';
  return 0;
}
