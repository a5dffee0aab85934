// Line and match assembly against a whole-buffer reference. The input
// chooses an encoding, a set of end-of-lines or a pattern, and a stream cut
// into chunks; a provider reads it through a scripted hub. What it delivers
// must equal what the reference gets by decoding everything pending after
// every chunk and searching it from the start, and the lines, their
// end-of-lines and what is left must give back exactly the input.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../ovo/ScriptedHub.h"
#include "platform/CodePage.h"

namespace green {
namespace {

// What the failing input was, for the report.
std::string Case;

std::string Quoted(const std::string& S) {
  std::string out = "\"";
  for (unsigned char c : S) {
    char buf[8];
    std::snprintf(buf, sizeof buf, c >= 0x20 && c < 0x7F && c != '"' && c != '\\' ? "%c" : "\\x%02X", c);
    out += buf;
  }
  return out + "\"";
}

std::string Quoted(const std::vector<std::string>& V) {
  std::string out = "{";
  for (const std::string& s : V) out += Quoted(s) + " ";
  return out + "}";
}

[[noreturn]] void Fail(const char* What) {
  std::fprintf(stderr, "assembly differs from the reference: %s\n%s\n", What, Case.c_str());
  std::abort();
}

// Bytes that make end-of-lines, multi-byte characters and ill-formed
// sequences likely; any other byte stands for itself.
std::string Piece(uint8_t B) {
  static const char* const kPieces[] = {"\r", "\n", "\r\n", "a", "b", "1", "|", " ",
                                        "\xD0\x9F", "\xD0", "\x9F", "\xE2\x82\xAC", "\xE2",
                                        "\xF0\x9F\x98\x80", "\xFF", "\xEF\xBF\xBD"};
  const size_t n = sizeof kPieces / sizeof kPieces[0];
  return B < n * 12 ? kPieces[B % n] : std::string(1, static_cast<char>(B));
}

const char* const kPatterns[] = {
    "\\d+",      "a|b",    "x*",      "\\r?\\n",      "[^|]*\\|", "(?<=a)b|a",
    "a\\B",      "\\w+\\b", "..",     "\\p{Cyrillic}+", "1$",     "(?=b)",
    "\\x{FFFD}", "ab?",    "\\Ga",    "(a|b)\\1",
};

// ---- the reference -------------------------------------------------------------

struct TReference {
  TReference(uint32_t Page, const std::vector<std::string>& Chunks) : Page(Page) {
    for (const std::string& c : Chunks) All += c;
    Whole = Decode(All);
    for (size_t x = 0; x <= All.size(); ++x) Prefix.push_back(Decode(All.substr(0, x)));
  }

  uint32_t Page;
  std::string All;                  // the whole stream
  std::string Whole;                // ... decoded
  std::string Input;                // everything fed so far
  std::vector<std::string> Prefix;  // Prefix[x]: the whole input's first x bytes decoded
  size_t Start = 0;                 // first byte not consumed

  std::string Decode(std::string_view Bytes) const { return os::DecodeToUtf8(Page, Bytes); }

  // Whether Tail is the start of one valid character that wants more
  // bytes: some continuation bytes make it a character of that length.
  bool Unfinished(std::string_view Tail) const {
    if (Page != os::kCpUtf8) return false;
    const auto lead = static_cast<unsigned char>(Tail[0]);
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (length <= Tail.size()) return false;
    static const char kTrail[] = {'\x80', '\x8F', '\x90', '\x9F', '\xA0', '\xBF'};
    for (char t : kTrail) {
      const std::string whole = std::string(Tail) + std::string(length - Tail.size(), t);
      if (Decode(whole) == whole) return true;
    }
    return false;
  }

  // Bytes of Input from Start that may be decoded now.
  size_t Complete(bool AtEnd) const {
    const size_t n = Input.size() - Start;
    if (!AtEnd)
      for (size_t t = std::min<size_t>(3, n); t > 0; --t)
        if (Unfinished(std::string_view(Input).substr(Input.size() - t))) return n - t;
    return n;
  }

  // The byte after the bytes that decode to Text, found by trying them all:
  // where the whole stream's decoding is cut in two there. (A shorter
  // prefix may decode the same, a truncated character read as U+FFFD.)
  void Consume(const std::string& Text) {
    const std::string want = Prefix[Start] + Text;
    for (size_t x = Start; x <= Input.size(); ++x)
      if (Prefix[x] == want && want + Decode(std::string_view(All).substr(x)) == Whole) {
        Start = x;
        return;
      }
    Case += "\nconsumed " + Quoted(want) + " of " + Quoted(Input) + " from " + std::to_string(Start);
    Fail("no bytes decode to the consumed text");
  }

  bool Line(const std::vector<std::string>& EOLs, bool AtEnd, std::string& Out, std::string& Eol) {
    const std::string text = Decode(std::string_view(Input).substr(Start, Complete(AtEnd)));
    for (const std::string& given : EOLs) {
      // End-of-lines are text: ill-formed parts read as U+FFFD.
      const std::string eol = os::DecodeToUtf8(os::kCpUtf8, given);
      if (eol.empty()) continue;
      const size_t p = text.find(eol);
      if (p == std::string::npos) continue;
      Out = text.substr(0, p);
      Eol = eol;
      Consume(text.substr(0, p + eol.size()));
      return true;
    }
    return false;
  }

  bool Match(const TRegEx& Re, bool AtEnd, std::string& Out) {
    const std::string text = Decode(std::string_view(Input).substr(Start, Complete(AtEnd)));
    const TRegEx::TMatch m = Re.Match(text);
    if (!m.Success || (m.Length == 0 && m.Index == text.size())) return false;
    size_t end = m.Index + m.Length;
    if (m.Length == 0) {
      const auto c = static_cast<unsigned char>(text[end]);
      end += c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    }
    Out = m.Value;
    Consume(text.substr(0, end));
    return true;
  }
};

}  // namespace
}  // namespace green

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace green;
  FuzzedDataProvider in(Data, Size);
  const bool utf8 = in.ConsumeBool();
  const TEncoding& enc = utf8 ? *TEncoding::UTF8() : *TEncoding::Cp1251();
  const bool lines = in.ConsumeBool();
  std::vector<std::string> eols;
  for (int i = in.ConsumeIntegralInRange(1, 3); i > 0; --i) {
    std::string eol;
    for (int k = in.ConsumeIntegralInRange(0, 2); k > 0; --k) eol += Piece(in.ConsumeIntegral<uint8_t>());
    eols.push_back(eol);
  }
  const TRegEx re(kPatterns[in.ConsumeIntegralInRange<size_t>(0, std::size(kPatterns) - 1)]);
  std::vector<std::string> chunks;
  while (in.remaining_bytes() > 0 && chunks.size() < 24) {
    std::string chunk;
    for (int k = in.ConsumeIntegralInRange(1, 6); k > 0; --k) chunk += Piece(in.ConsumeIntegral<uint8_t>());
    chunks.push_back(chunk);
  }

  Case = std::string(utf8 ? "UTF-8" : "1251") + (lines ? " lines " + Quoted(eols) : " matches " + re.Pattern()) +
         "\nchunks " + Quoted(chunks);

  // The reference: after every chunk, everything it makes possible.
  TReference ref(enc.CodePage(), chunks);
  std::vector<std::string> want;
  std::string text;  // lines and their end-of-lines, to give back the input
  const auto next = [&](bool AtEnd) {
    std::string s, eol;
    if (lines ? !ref.Line(eols, AtEnd, s, eol) : !ref.Match(re, AtEnd, s)) return false;
    want.push_back(s);
    text += s + eol;
    return true;
  };
  for (const std::string& c : chunks) {
    ref.Input += c;
    while (next(false)) {
    }
  }
  while (next(false) || next(true)) {
  }
  const std::string left = ref.Input.substr(ref.Start);
  if (lines && text + ref.Decode(left) != ref.Decode(ref.Input)) Fail("the reference lost text");

  // The provider.
  test::TScriptedHub hub;
  std::vector<std::string> got;
  std::string rest;
  {
    TCurrentHubScope scope(&hub);
    RefPtr<test::TTestProvider> prov(new test::TTestProvider);
    prov->SetEncoding(enc);
    for (const std::string& c : chunks) hub.Feed(c);
    hub.FeedEnd();
    std::string s;
    while (lines ? prov->_ReadString(enc, s, eols) : prov->ReadRegEx(re, s)) {
      got.push_back(s);
      if (got.size() > want.size()) {
        Case += "\nwant " + Quoted(want) + "\ngot  " + Quoted(got);
        Fail("more pieces than the reference");
      }
    }
    rest.resize(prov->PendingBytes());
    if (!rest.empty()) rest.resize(prov->Read(rest.data(), -static_cast<int32_t>(rest.size())));
  }
  Case += "\nwant " + Quoted(want) + "\ngot  " + Quoted(got);
  if (got != want) Fail("other pieces than the reference");
  if (rest != left) Fail("other bytes left than the reference");
  return 0;
}
