// Text, lines and line generators of the provider.
#include <algorithm>
#include <optional>
#include <span>
#include <utility>

#include "ovo/Provider.h"

namespace green {

void TOvoProvider::SetEncoding(const TEncoding& Value) { FEncoding.Set(Value); }

namespace {

// Compared in place: end-of-lines are a byte or two, compared for every
// line, and a call to memcmp for each would cost more than the compare.
bool SameTexts(const std::vector<std::string>& Known, std::span<const std::string> EOLs) {
  if (Known.size() != EOLs.size()) return false;
  for (size_t I = 0; I < Known.size(); ++I) {
    const std::string& A = Known[I];
    const std::string& B = EOLs[I];
    if (A.size() != B.size()) return false;
    for (size_t K = 0; K < A.size(); ++K)
      if (A[K] != B[K]) return false;
  }
  return true;
}

// The search for a set of end-of-lines, made again only when the set
// changes: a line generator reads the provider's set for every line.
class TLineSearchCache {
 public:
  TLineSearch& For(std::span<const std::string> EOLs) {
    if (!FSearch || !SameTexts(FEOLs, EOLs)) {
      FSearch.reset();
      FEOLs.assign(EOLs.begin(), EOLs.end());
      FSearch.emplace(FEOLs);
    }
    return *FSearch;
  }

 private:
  std::vector<std::string> FEOLs;
  std::optional<TLineSearch> FSearch;
};

}  // namespace

// The search holds its own copy of the end-of-lines, and an encoding that
// is not shared is copied: a greenlet may change the provider's while this
// one waits for data. A shared one lives as long as the process.
bool TOvoProvider::ReadLine(const TEncoding& Enc, TLineSearch& Search, std::string& Buf) {
  if (Enc.IsStandard()) return Assemble(Enc, Search, Buf);
  const TEncoding Copy(Enc);
  return Assemble(Copy, Search, Buf);
}

bool TOvoProvider::_ReadString(const TEncoding& Enc, std::string& Buf,
                               const std::vector<std::string>& EOLs) {
  TLineSearch Search(EOLs);
  return ReadLine(Enc, Search, Buf);
}

// The one-element set, without a vector made for it.
bool TOvoProvider::ReadString(const TEncoding& Enc, std::string& Buf, const std::string& EOL) {
  TLineSearch Search(std::span(&EOL, 1));
  return ReadLine(Enc, Search, Buf);
}

bool TOvoProvider::ReadLn(std::string& S) { return ReadString(*FEncoding, S, FEOL); }

std::string TOvoProvider::ReadLn() {
  std::string S;
  if (!ReadLn(S)) throw AEOF("EOF");
  return S;
}

// The routines hold a reference: a walk may outlive everyone else's hold on
// the provider (its application, say) and then ends with the stream.
// FEncoding and FEOL are read again for every line.
TStringGenerator TOvoProvider::ReadLns() {
  return TStringGenerator::Create([this, Self = RefPtr<TOvoProvider>(this)] {
    std::string S;
    TLineSearchCache Search;
    while (ReadLine(*FEncoding, Search.For(std::span(&FEOL, 1)), S))
      TStringGenerator::Yield(std::move(S));
  });
}

TStringGenerator TOvoProvider::ReadLns(const std::vector<std::string>& EOLs) {
  if (EOLs.empty()) throw EArgumentException("EOL collection is empty");
  FEOLs = EOLs;
  return TStringGenerator::Create([this, Self = RefPtr<TOvoProvider>(this)] {
    std::string S;
    TLineSearchCache Search;
    while (ReadLine(*FEncoding, Search.For(FEOLs), S)) TStringGenerator::Yield(std::move(S));
  });
}

bool TOvoProvider::WriteString(const TEncoding& Enc, const std::string& Buf,
                               const std::string& EOL) {
  std::string Bytes;
  try {
    Bytes = Enc.GetBytes(Buf + EOL);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return WriteAll(Bytes.data(), Bytes.size());
}

void TOvoProvider::WriteLn(const std::string& S) { WriteString(*FEncoding, S, FEOL); }

void TOvoProvider::WriteLn(const std::vector<std::string>& Lines) {
  for (const std::string& S : Lines) WriteLn(S);
}

}  // namespace green
