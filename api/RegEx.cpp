#include "green/RegEx.h"

#include "api/Access.h"

namespace green {

RegEx::RegEx(const std::string& Pattern) : FImpl(std::make_shared<const Impl>(TRegEx(Pattern))) {}

RegEx::Match RegEx::Find(std::string_view Subject, size_t Start) const {
  TRegEx::TMatch m = FImpl->R.Match(Subject, Start);
  return Match{m.Success, m.Index, m.Length, std::move(m.Value)};
}

const std::string& RegEx::Pattern() const { return FImpl->R.Pattern(); }

}  // namespace green
