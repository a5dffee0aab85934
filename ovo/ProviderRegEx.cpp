// Regular-expression reads of the provider: the next match, once or as a
// generator.
#include <memory>
#include <utility>

#include "ovo/Provider.h"

namespace green {

// An encoding that is not shared is copied: a greenlet may change the
// provider's while this one waits. The expression is the caller's, used
// where it is: a copy would cost two atomic operations per match.
bool TOvoProvider::ReadRegEx(const TRegEx& RegEx, std::string& S) {
  TMatchSearch Search(RegEx);
  if (FEncoding->IsStandard()) return Assemble(*FEncoding, Search, S);
  const TEncoding Enc(*FEncoding);
  return Assemble(Enc, Search, S);
}

bool TOvoProvider::ReadRegEx(const std::string& Pattern, std::string& S) {
  S.clear();
  return ReadRegEx(TRegEx(Pattern), S);
}

// The routine's first argument tells where the expression comes from:
// true, the pattern in the second, compiled when the routine starts; false,
// FRegEx as it is at that moment.
namespace {

void MatchRoutine(TOvoProvider* Prov, const TRegEx* Default, const tTuple& Args) {
  const TRegEx Re = Args.at(0).AsBoolean() ? TRegEx(Args.at(1).AsString()) : *Default;
  std::string S;
  while (Prov->ReadRegEx(Re, S)) TStringGenerator::Yield(std::move(S));
}

}  // namespace

TStringGenerator TOvoProvider::ReadRegEx(const TRegEx& RegEx) {
  FRegEx = RegEx;
  return TStringGenerator::Create(MakeArgsRoutine([Self = RefPtr<TOvoProvider>(this)](
                                                      const tTuple& Args) {
                                    MatchRoutine(Self.get(), &Self->FRegEx, Args);
                                  }),
                                  tTuple{TVarRec(false)});
}

// The argument points into the routine, which keeps the pattern alive until
// the generator starts. Each routine holds the provider, as ReadLns does.
TStringGenerator TOvoProvider::ReadRegEx(const std::string& Pattern) {
  auto Held = std::make_shared<const std::string>(Pattern);
  return TStringGenerator::Create(MakeArgsRoutine([Self = RefPtr<TOvoProvider>(this), Held](
                                                      const tTuple& Args) {
                                    MatchRoutine(Self.get(), &Self->FRegEx, Args);
                                  }),
                                  tTuple{TVarRec(true), TVarRec(*Held)});
}

}  // namespace green
