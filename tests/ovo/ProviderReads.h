// Reads that many provider tests end with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace green::test {

// Every line until ReadLn fails.
template <class P> std::vector<std::string> ReadAllLines(P &Prov) {
  std::vector<std::string> Out;
  std::string S;
  while (Prov.ReadLn(S))
    Out.push_back(S);
  return Out;
}

// What waits in the provider, taken by a plain read.
template <class P> std::string ReadPending(P &Prov) {
  std::string Out(Prov.PendingBytes(), '\0');
  if (Out.empty())
    return Out;
  Out.resize(Prov.Read(Out.data(), -static_cast<int32_t>(Out.size())));
  return Out;
}

} // namespace green::test
