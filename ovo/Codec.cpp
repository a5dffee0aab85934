#include "ovo/Codec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/Utf8.h"
#include "platform/CodePage.h"

namespace green {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool IsContinuation(unsigned char B) { return (B & 0xC0) == 0x80; }

size_t CodePointCount(std::string_view Text) {
  size_t N = 0;
  for (char C : Text) N += !IsContinuation(static_cast<unsigned char>(C));
  return N;
}

// Whether Bytes, ill-formed only for being short, is the start of a valid
// sequence: a lead byte that wants more than Bytes holds.
bool StartsSequence(std::string_view Bytes) {
  const auto Lead = static_cast<unsigned char>(Bytes[0]);
  const size_t Need = Lead >= 0xC2 && Lead <= 0xDF ? 2 : Lead >= 0xE0 && Lead <= 0xEF ? 3
                      : Lead >= 0xF0 && Lead <= 0xF4 ? 4 : 0;
  return Need > Bytes.size();
}

class TUtf8Codec : public TCodec {
 public:
  using TCodec::TCodec;

  std::string Decode(std::string_view Bytes) const override {
    std::string Out;
    Out.reserve(Bytes.size());
    DecodeTo(Bytes, Out);
    return Out;
  }

  void DecodeTo(std::string_view Bytes, std::string& Out) const override {
    ReserveMore(Out, Bytes.size());
    size_t I = 0;
    while (I < Bytes.size()) {
      const size_t Same = SamePrefix(Bytes.substr(I));
      Out.append(Bytes.substr(I, Same));
      I += Same;
      if (I == Bytes.size()) break;
      bool Valid;
      const size_t N = Utf8Unit(Bytes.substr(I), Valid);
      Out.append(Valid ? Bytes.substr(I, N) : kReplacement);
      I += N;
    }
  }

  size_t SamePrefix(std::string_view Bytes) const override { return ValidUtf8Prefix(Bytes); }

  // Bytes of multi-byte sequences are never ASCII, and ill-formed ones
  // decode to U+FFFD.
  bool AsciiTransparent() const override { return true; }

  // The runtime's text is UTF-8 already; only ill-formed parts change.
  std::string Encode(std::string_view Text) const override { return Decode(Text); }

  // The last bytes wait when they begin a valid sequence that is cut
  // short; bytes that cannot become one decode now as they would later.
  size_t CompletePrefix(std::string_view Bytes) const override {
    const size_t N = Bytes.size();
    for (size_t Back = 1; Back <= 3 && Back <= N; ++Back) {
      if (IsContinuation(static_cast<unsigned char>(Bytes[N - Back]))) continue;
      bool Valid;
      const std::string_view Tail = Bytes.substr(N - Back);
      return Utf8Unit(Tail, Valid) == Back && !Valid && StartsSequence(Tail) ? N - Back : N;
    }
    return N;
  }

  bool CountBytes(std::string_view Bytes, std::string_view Text, size_t& Count) const override {
    size_t I = 0, T = 0;
    while (T < Text.size()) {
      if (I >= Bytes.size()) return false;
      bool Valid;
      const size_t N = Utf8Unit(Bytes.substr(I), Valid);
      T += Valid ? N : kReplacement.size();
      I += N;
    }
    if (T != Text.size()) return false;
    Count = I;
    return true;
  }
};

// Every byte is one character: decoded by a table that the platform
// filled, and mapped back by counting characters.
class TSingleByteCodec : public TCodec {
 public:
  using TTable = std::array<std::string, 256>;

  TSingleByteCodec(uint32_t CodePage, const TTable& Table) : TCodec(CodePage) {
    for (int B = 0; B < 256; ++B) SetText(B, Table[B]);
    if (FLongest > kUnitText) FTexts.assign(Table.begin(), Table.end());
  }

  // From characters of the basic plane, which a unit holds whole.
  TSingleByteCodec(uint32_t CodePage, const std::array<char16_t, 256>& Chars) : TCodec(CodePage) {
    for (int B = 0; B < 256; ++B) {
      std::string Text;
      AppendUtf8(Text, Chars[B]);
      SetText(B, Text);
    }
  }

  std::string Decode(std::string_view Bytes) const override {
    std::string Out;
    DecodeTo(Bytes, Out);
    return Out;
  }

  // The output is sized once and written a block at a time, never filled
  // in before. Eight ASCII bytes are copied at once;
  // any other byte's text (at most three bytes, as for every character of
  // the basic plane) is stored as one 4-byte unit whose last byte holds
  // its length, the output advancing by that: one load, no call and no
  // branch per byte.
  void DecodeTo(std::string_view Bytes, std::string& Out) const override {
    constexpr size_t kBlock = 1024;
    if (FLongest > kUnitText) return DecodeByTable(Bytes, Out);
    // A short piece has room for its widest text; a long one is measured.
    ReserveMore(Out, Bytes.size() <= kBlock ? Bytes.size() * FLongest : DecodedSize(Bytes));
    char Text[kBlock * sizeof FUnit[0] + kWord];
    for (size_t At = 0; At < Bytes.size(); At += kBlock) {
      const std::string_view Block = Bytes.substr(At, kBlock);
      const auto* B = reinterpret_cast<const unsigned char*>(Block.data());
      Out.append(Text, static_cast<size_t>(DecodeBlock(B, B + Block.size(), Text) - Text));
    }
  }

  bool AsciiTransparent() const override { return FAsciiTransparent; }

  size_t SamePrefix(std::string_view Bytes) const override {
    size_t I = 0;
    while (I < Bytes.size() && FSame[static_cast<unsigned char>(Bytes[I])]) ++I;
    return I;
  }

  size_t CompletePrefix(std::string_view Bytes) const override { return Bytes.size(); }

  bool CountBytes(std::string_view Bytes, std::string_view Text, size_t& Count) const override {
    const size_t N = CodePointCount(Text);
    if (N > Bytes.size()) return false;
    Count = N;
    return true;
  }

  // The page's characters as the platform knows them, without a decode
  // per byte; false for a page it does not know or with a character
  // beyond the basic plane.
  static bool Known(uint32_t CodePage, std::array<char16_t, 256>& Chars) {
    std::array<char32_t, 256> Wide;
    if (!os::SingleByteChars(CodePage, Wide)) return false;
    for (size_t B = 0; B < 256; ++B) {
      if (Wide[B] > 0xFFFF) return false;
      Chars[B] = static_cast<char16_t>(Wide[B]);
    }
    return true;
  }

  // The page's table, when every byte decodes to one character by itself
  // and next to any other byte; else (a multi-byte page) false.
  static bool Probe(uint32_t CodePage, TTable& Table) {
    for (int B = 0; B < 256; ++B) {
      Table[B] = os::DecodeToUtf8(CodePage, std::string(1, char(B)));
      if (CodePointCount(Table[B]) != 1 || ValidUtf8Prefix(Table[B]) != Table[B].size())
        return false;
    }
    for (int B = 0x80; B < 256; ++B)
      for (int Trail : {0x41, 0xA1}) {
        const std::string Pair{char(B), char(Trail)};
        if (os::DecodeToUtf8(CodePage, Pair) != Table[B] + Table[Trail]) return false;
      }
    return true;
  }

 private:
  static_assert(std::endian::native == std::endian::little, "a unit's text is its low bytes");
  static constexpr size_t kUnitText = 3;
  static constexpr unsigned kLenShift = 24;
  static constexpr size_t kWord = 8;

  // The unit's text at P (all four bytes are written); the end of the text.
  static char* Put(char* P, uint32_t Unit) {
    std::memcpy(P, &Unit, sizeof Unit);
    return P + (Unit >> kLenShift);
  }
  static constexpr uint64_t kHighBits = 0x8080808080808080ull;

  static bool AllAscii(const unsigned char* B) {
    uint64_t Word;
    std::memcpy(&Word, B, kWord);
    return (Word & kHighBits) == 0;
  }

  size_t DecodedSize(std::string_view Bytes) const {
    const auto* B = reinterpret_cast<const unsigned char*>(Bytes.data());
    const auto* End = B + Bytes.size();
    size_t Size = Bytes.size();
    for (; B + kWord <= End; B += kWord)
      if (!AllAscii(B))
        for (size_t K = 0; K < kWord; ++K) Size += (FUnit[B[K]] >> kLenShift) - 1u;
    for (; B < End; ++B) Size += (FUnit[*B] >> kLenShift) - 1u;
    return Size;
  }

  // Writes the text of [B, End) at P, where there is room for 4 bytes per
  // byte and a word more; the end of the text.
  char* DecodeBlock(const unsigned char* B, const unsigned char* End, char* P) const {
    for (; B + kWord <= End; B += kWord) {
      if (AllAscii(B)) {
        std::memcpy(P, B, kWord);
        P += kWord;
        continue;
      }
      for (size_t K = 0; K < kWord; ++K) P = Put(P, FUnit[B[K]]);
    }
    for (; B < End; ++B) P = Put(P, FUnit[*B]);
    return P;
  }

  // Byte B decodes to Text.
  void SetText(int B, std::string_view Text) {
    FLongest = std::max(FLongest, Text.size());
    const size_t Length = std::min<size_t>(Text.size(), kUnitText);
    std::memcpy(&FUnit[B], Text.data(), Length);
    FUnit[B] |= static_cast<uint32_t>(Length) << kLenShift;
    FSame[B] = Text.size() == 1 && Text[0] == static_cast<char>(B);
    const bool Ascii = static_cast<unsigned char>(Text[0]) < 0x80;
    if (B < 0x80 ? !FSame[B] : Ascii) FAsciiTransparent = false;
  }

  void DecodeByTable(std::string_view Bytes, std::string& Out) const {
    ReserveMore(Out, Bytes.size());
    for (const char C : Bytes) Out += FTexts[static_cast<unsigned char>(C)];
  }

  // Each byte's text, kept only when a unit cannot hold one of them.
  std::vector<std::string> FTexts;
  // Each byte's text in the low bytes (little-endian), its length in the top byte.
  std::array<uint32_t, 256> FUnit{};
  std::array<bool, 256> FSame{};  // the byte decodes to itself
  size_t FLongest = 1;
  bool FAsciiTransparent = true;
};

// The system's multi-byte pages: a byte below 0x80 always ends a character
// there (alone, or as the second byte of a pair).
class TSystemCodec : public TCodec {
 public:
  using TCodec::TCodec;

  // What the platform gives is taken as UTF-8 text once more, so that
  // anything ill-formed in it reads as U+FFFD.
  std::string Decode(std::string_view Bytes) const override {
    std::string Text = os::DecodeToUtf8(CodePage(), Bytes);
    if (ValidUtf8Prefix(Text) == Text.size()) return Text;
    static const TUtf8Codec Utf8(os::kCpUtf8);
    return Utf8.Decode(Text);
  }

  size_t CompletePrefix(std::string_view Bytes) const override {
    for (size_t N = Bytes.size(); N > 0; --N)
      if (static_cast<unsigned char>(Bytes[N - 1]) < 0x80) return N;
    return 0;
  }

  // Encoding the text gives the byte count whenever it round-trips.
  bool CountBytes(std::string_view Bytes, std::string_view Text, size_t& Count) const override {
    const size_t N = Encode(Text).size();
    if (N > Bytes.size() || Decode(Bytes.substr(0, N)) != Text) return false;
    Count = N;
    return true;
  }
};

}  // namespace

void ReserveMore(std::string& Out, size_t Count) {
  const size_t Need = Out.size() + Count;
  if (Need > Out.capacity()) Out.reserve(std::max(Need, 2 * Out.capacity()));
}

// ASCII is skipped eight bytes at a time, up to the first byte that is
// not, and a run of two-byte characters (all of Cyrillic, Greek, the Latin
// letters with marks) is checked in a loop of its own: mixed text changes
// script every few characters, and each change costs no more than a step.
size_t ValidUtf8Prefix(std::string_view Bytes) {
  static_assert(std::endian::native == std::endian::little, "the first byte is the low one");
  constexpr uint64_t kHighBits = 0x8080808080808080ull;
  const auto* B = reinterpret_cast<const unsigned char*>(Bytes.data());
  const size_t N = Bytes.size();
  size_t I = 0;
  while (I < N) {
    while (I + 8 <= N) {
      uint64_t Word;
      std::memcpy(&Word, B + I, sizeof Word);
      const uint64_t High = Word & kHighBits;
      if (High != 0) {
        I += static_cast<size_t>(std::countr_zero(High)) / 8;
        break;
      }
      I += 8;
    }
    if (I == N) break;
    if (B[I] < 0x80) {
      ++I;
      continue;
    }
    while (I + 1 < N && static_cast<unsigned char>(B[I] - 0xC2) <= 0xDF - 0xC2 &&
           IsContinuation(B[I + 1]))
      I += 2;
    if (I == N || B[I] < 0x80) continue;
    bool Valid;
    const size_t Unit = Utf8Unit(Bytes.substr(I), Valid);
    if (!Valid) break;
    I += Unit;
  }
  return I;
}

size_t Utf8Unit(std::string_view Bytes, bool& Valid) {
  const auto At = [&](size_t K) { return static_cast<unsigned char>(Bytes[K]); };
  const unsigned char Lead = At(0);
  Valid = false;
  if (Lead < 0x80) {
    Valid = true;
    return 1;
  }
  size_t Extra;
  unsigned char Low = 0x80, High = 0xBF;  // range of the second byte
  if (Lead >= 0xC2 && Lead <= 0xDF) {
    Extra = 1;
  } else if (Lead >= 0xE0 && Lead <= 0xEF) {
    Extra = 2;
    if (Lead == 0xE0) Low = 0xA0;
    if (Lead == 0xED) High = 0x9F;
  } else if (Lead >= 0xF0 && Lead <= 0xF4) {
    Extra = 3;
    if (Lead == 0xF0) Low = 0x90;
    if (Lead == 0xF4) High = 0x8F;
  } else {
    return 1;
  }
  size_t N = 1;
  for (size_t K = 0; K < Extra; ++K, ++N) {
    if (N >= Bytes.size()) return N;
    const unsigned char B = At(N);
    if (K == 0 ? (B < Low || B > High) : !IsContinuation(B)) return N;
  }
  Valid = true;
  return N;
}

std::string TCodec::Encode(std::string_view Text) const {
  return os::EncodeFromUtf8(FCodePage, Text);
}

std::shared_ptr<const TCodec> TCodec::Make(uint32_t CodePage) {
  if (!os::IsCodePageSupported(CodePage)) return nullptr;
  const uint32_t Page = CodePage == os::kCpAcp ? os::AnsiCodePage() : CodePage;
  if (Page == os::kCpUtf8) return std::make_shared<TUtf8Codec>(Page);
  std::array<char16_t, 256> Chars;
  if (TSingleByteCodec::Known(Page, Chars)) return std::make_shared<TSingleByteCodec>(Page, Chars);
  TSingleByteCodec::TTable Table;
  if (TSingleByteCodec::Probe(Page, Table))
    return std::make_shared<TSingleByteCodec>(Page, Table);
  return std::make_shared<TSystemCodec>(Page);
}

}  // namespace green
