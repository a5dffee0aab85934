#include "green/RegEx.h"

#include "api/Access.h"

namespace green {

RegEx::RegEx(const std::string& Pattern) : FImpl(std::make_shared<const Impl>(TRegEx(Pattern))) {}

RegEx::Match RegEx::Find(std::string_view Subject, size_t Start) const {
  TRegEx::TMatch M = FImpl->R.Match(Subject, Start);
  return Match{M.Success, M.Index, M.Length, std::move(M.Value)};
}

const std::string& RegEx::Pattern() const { return FImpl->R.Pattern(); }

}  // namespace green
