// Text, lines and line generators of the provider.
#include <span>
#include <utility>

#include "ovo/Provider.h"

namespace green {

void TOvoProvider::SetEncoding(const TEncoding& Value) {
  TEncoding* copy = Value.Clone();
  if (FEncCopied) delete FEncoding;
  FEncoding = copy;
  FEncCopied = copy != &Value;
}

// The encoding and the end-of-lines are copied (the search copies these):
// a greenlet may change the provider's while this one waits for data.
bool TOvoProvider::_ReadString(const TEncoding& Enc, std::string& Buf,
                               const std::vector<std::string>& EOLs) {
  const TEncoding enc(Enc);
  TLineSearch search(EOLs);
  return Assemble(enc, search, Buf);
}

// The one-element set, without a vector made for it.
bool TOvoProvider::ReadString(const TEncoding& Enc, std::string& Buf, const std::string& EOL) {
  const TEncoding enc(Enc);
  TLineSearch search(std::span(&EOL, 1));
  return Assemble(enc, search, Buf);
}

bool TOvoProvider::ReadLn(std::string& S) { return ReadString(*FEncoding, S, FEOL); }

std::string TOvoProvider::ReadLn() {
  std::string s;
  if (!ReadLn(s)) throw AEOF("EOF");
  return s;
}

// The routines hold no reference: whoever walks the generator keeps the
// provider alive. FEncoding and FEOL are read again for every line.
TStringGenerator TOvoProvider::ReadLns() {
  return TStringGenerator::Create([this] {
    std::string s;
    while (ReadString(*FEncoding, s, FEOL)) TStringGenerator::Yield(std::move(s));
  });
}

TStringGenerator TOvoProvider::ReadLns(const std::vector<std::string>& EOLs) {
  if (EOLs.empty()) throw EArgumentException("EOL collection is empty");
  FEOLs = EOLs;
  return TStringGenerator::Create([this] {
    std::string s;
    while (_ReadString(*FEncoding, s, FEOLs)) TStringGenerator::Yield(std::move(s));
  });
}

bool TOvoProvider::WriteString(const TEncoding& Enc, const std::string& Buf,
                               const std::string& EOL) {
  std::string bytes;
  try {
    bytes = Enc.GetBytes(Buf + EOL);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return WriteAll(bytes.data(), bytes.size());
}

void TOvoProvider::WriteLn(const std::string& S) { WriteString(*FEncoding, S, FEOL); }

void TOvoProvider::WriteLn(const std::vector<std::string>& S) {
  for (const std::string& s : S) WriteLn(s);
}

}  // namespace green
