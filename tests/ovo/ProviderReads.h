// Reads that many provider tests end with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace green::test {

// Every line until ReadLn fails.
template <class P> std::vector<std::string> ReadAllLines(P &Prov) {
  std::vector<std::string> out;
  std::string s;
  while (Prov.ReadLn(s))
    out.push_back(s);
  return out;
}

// What waits in the provider, taken by a plain read.
template <class P> std::string ReadPending(P &Prov) {
  std::string out(Prov.PendingBytes(), '\0');
  if (out.empty())
    return out;
  out.resize(Prov.Read(out.data(), -static_cast<int32_t>(out.size())));
  return out;
}

} // namespace green::test
