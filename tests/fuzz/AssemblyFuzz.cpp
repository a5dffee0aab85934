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
  std::string Out = "\"";
  for (unsigned char C : S) {
    char Buf[8];
    std::snprintf(Buf, sizeof Buf, C >= 0x20 && C < 0x7F && C != '"' && C != '\\' ? "%c" : "\\x%02X", C);
    Out += Buf;
  }
  return Out + "\"";
}

std::string Quoted(const std::vector<std::string>& V) {
  std::string Out = "{";
  for (const std::string& S : V) Out += Quoted(S) + " ";
  return Out + "}";
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
  const size_t N = sizeof kPieces / sizeof kPieces[0];
  return B < N * 12 ? kPieces[B % N] : std::string(1, static_cast<char>(B));
}

const char* const kPatterns[] = {
    "\\d+",      "a|b",    "x*",      "\\r?\\n",      "[^|]*\\|", "(?<=a)b|a",
    "a\\B",      "\\w+\\b", "..",     "\\p{Cyrillic}+", "1$",     "(?=b)",
    "\\x{FFFD}", "ab?",    "\\Ga",    "(a|b)\\1",
};

// ---- the reference -------------------------------------------------------------

struct TReference {
  TReference(uint32_t Page, const std::vector<std::string>& Chunks) : Page(Page) {
    for (const std::string& C : Chunks) All += C;
    Whole = Decode(All);
    for (size_t X = 0; X <= All.size(); ++X) Prefix.push_back(Decode(All.substr(0, X)));
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
    const auto Lead = static_cast<unsigned char>(Tail[0]);
    const size_t Length = Lead >= 0xF0 ? 4 : Lead >= 0xE0 ? 3 : Lead >= 0xC0 ? 2 : 1;
    if (Length <= Tail.size()) return false;
    static const char kTrail[] = {'\x80', '\x8F', '\x90', '\x9F', '\xA0', '\xBF'};
    for (char T : kTrail) {
      const std::string Candidate = std::string(Tail) + std::string(Length - Tail.size(), T);
      if (Decode(Candidate) == Candidate) return true;
    }
    return false;
  }

  // Bytes of Input from Start that may be decoded now.
  size_t Complete(bool AtEnd) const {
    const size_t N = Input.size() - Start;
    if (!AtEnd)
      for (size_t T = std::min<size_t>(3, N); T > 0; --T)
        if (Unfinished(std::string_view(Input).substr(Input.size() - T))) return N - T;
    return N;
  }

  // The byte after the bytes that decode to Text, found by trying them all:
  // where the whole stream's decoding is cut in two there. (A shorter
  // prefix may decode the same, a truncated character read as U+FFFD.)
  void Consume(const std::string& Text) {
    const std::string Want = Prefix[Start] + Text;
    for (size_t X = Start; X <= Input.size(); ++X)
      if (Prefix[X] == Want && Want + Decode(std::string_view(All).substr(X)) == Whole) {
        Start = X;
        return;
      }
    Case += "\nconsumed " + Quoted(Want) + " of " + Quoted(Input) + " from " + std::to_string(Start);
    Fail("no bytes decode to the consumed text");
  }

  bool Line(const std::vector<std::string>& EOLs, bool AtEnd, std::string& Out, std::string& Eol) {
    const std::string Text = Decode(std::string_view(Input).substr(Start, Complete(AtEnd)));
    for (const std::string& Given : EOLs) {
      // End-of-lines are text: ill-formed parts read as U+FFFD.
      const std::string Decoded = os::DecodeToUtf8(os::kCpUtf8, Given);
      if (Decoded.empty()) continue;
      const size_t P = Text.find(Decoded);
      if (P == std::string::npos) continue;
      Out = Text.substr(0, P);
      Eol = Decoded;
      Consume(Text.substr(0, P + Decoded.size()));
      return true;
    }
    return false;
  }

  bool Match(const TRegEx& Re, bool AtEnd, std::string& Out) {
    const std::string Text = Decode(std::string_view(Input).substr(Start, Complete(AtEnd)));
    const TRegEx::TMatch M = Re.Match(Text);
    if (!M.Success || (M.Length == 0 && M.Index == Text.size())) return false;
    size_t End = M.Index + M.Length;
    if (M.Length == 0) {
      const auto C = static_cast<unsigned char>(Text[End]);
      End += C < 0x80 ? 1 : C < 0xE0 ? 2 : C < 0xF0 ? 3 : 4;
    }
    Out = M.Value;
    Consume(Text.substr(0, End));
    return true;
  }
};

}  // namespace
}  // namespace green

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  using namespace green;
  FuzzedDataProvider In(Data, Size);
  const bool Utf8 = In.ConsumeBool();
  const TEncoding& Enc = Utf8 ? *TEncoding::UTF8() : *TEncoding::Cp1251();
  const bool Lines = In.ConsumeBool();
  std::vector<std::string> Eols;
  for (int I = In.ConsumeIntegralInRange(1, 3); I > 0; --I) {
    std::string Eol;
    for (int K = In.ConsumeIntegralInRange(0, 2); K > 0; --K) Eol += Piece(In.ConsumeIntegral<uint8_t>());
    Eols.push_back(Eol);
  }
  const TRegEx Re(kPatterns[In.ConsumeIntegralInRange<size_t>(0, std::size(kPatterns) - 1)]);
  std::vector<std::string> Chunks;
  while (In.remaining_bytes() > 0 && Chunks.size() < 24) {
    std::string Chunk;
    for (int K = In.ConsumeIntegralInRange(1, 6); K > 0; --K) Chunk += Piece(In.ConsumeIntegral<uint8_t>());
    Chunks.push_back(Chunk);
  }

  Case = std::string(Utf8 ? "UTF-8" : "1251") + (Lines ? " lines " + Quoted(Eols) : " matches " + Re.Pattern()) +
         "\nchunks " + Quoted(Chunks);

  // The reference: after every chunk, everything it makes possible.
  TReference Ref(Enc.CodePage(), Chunks);
  std::vector<std::string> Want;
  std::string Text;  // lines and their end-of-lines, to give back the input
  const auto Next = [&](bool AtEnd) {
    std::string S, Eol;
    if (Lines ? !Ref.Line(Eols, AtEnd, S, Eol) : !Ref.Match(Re, AtEnd, S)) return false;
    Want.push_back(S);
    Text += S + Eol;
    return true;
  };
  for (const std::string& C : Chunks) {
    Ref.Input += C;
    while (Next(false)) {
    }
  }
  while (Next(false) || Next(true)) {
  }
  const std::string Left = Ref.Input.substr(Ref.Start);
  if (Lines && Text + Ref.Decode(Left) != Ref.Decode(Ref.Input)) Fail("the reference lost text");

  // The provider.
  test::TScriptedHub Hub;
  std::vector<std::string> Got;
  std::string Rest;
  {
    TCurrentHubScope Scope(&Hub);
    RefPtr<test::TTestProvider> Prov(new test::TTestProvider);
    Prov->SetEncoding(Enc);
    for (const std::string& C : Chunks) Hub.Feed(C);
    Hub.FeedEnd();
    std::string S;
    while (Lines ? Prov->_ReadString(Enc, S, Eols) : Prov->ReadRegEx(Re, S)) {
      Got.push_back(S);
      if (Got.size() > Want.size()) {
        Case += "\nwant " + Quoted(Want) + "\ngot  " + Quoted(Got);
        Fail("more pieces than the reference");
      }
    }
    Rest.resize(Prov->PendingBytes());
    if (!Rest.empty()) Rest.resize(Prov->Read(Rest.data(), -static_cast<int32_t>(Rest.size())));
  }
  Case += "\nwant " + Quoted(Want) + "\ngot  " + Quoted(Got);
  if (Got != Want) Fail("other pieces than the reference");
  if (Rest != Left) Fail("other bytes left than the reference");
  return 0;
}
