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
  size_t n = 0;
  for (char c : Text) n += !IsContinuation(static_cast<unsigned char>(c));
  return n;
}

// Whether Bytes, ill-formed only for being short, is the start of a valid
// sequence: a lead byte that wants more than Bytes holds.
bool StartsSequence(std::string_view Bytes) {
  const auto lead = static_cast<unsigned char>(Bytes[0]);
  const size_t need = lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                      : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
  return need > Bytes.size();
}

class TUtf8Codec : public TCodec {
 public:
  using TCodec::TCodec;

  std::string Decode(std::string_view Bytes) const override {
    std::string out;
    out.reserve(Bytes.size());
    DecodeTo(Bytes, out);
    return out;
  }

  void DecodeTo(std::string_view Bytes, std::string& Out) const override {
    ReserveMore(Out, Bytes.size());
    size_t i = 0;
    while (i < Bytes.size()) {
      const size_t same = SamePrefix(Bytes.substr(i));
      Out.append(Bytes.substr(i, same));
      i += same;
      if (i == Bytes.size()) break;
      bool valid;
      const size_t n = Utf8Unit(Bytes.substr(i), valid);
      Out.append(valid ? Bytes.substr(i, n) : kReplacement);
      i += n;
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
    const size_t n = Bytes.size();
    for (size_t back = 1; back <= 3 && back <= n; ++back) {
      if (IsContinuation(static_cast<unsigned char>(Bytes[n - back]))) continue;
      bool valid;
      const std::string_view tail = Bytes.substr(n - back);
      return Utf8Unit(tail, valid) == back && !valid && StartsSequence(tail) ? n - back : n;
    }
    return n;
  }

  bool CountBytes(std::string_view Bytes, std::string_view Text, size_t& Count) const override {
    size_t i = 0, t = 0;
    while (t < Text.size()) {
      if (i >= Bytes.size()) return false;
      bool valid;
      const size_t n = Utf8Unit(Bytes.substr(i), valid);
      t += valid ? n : kReplacement.size();
      i += n;
    }
    if (t != Text.size()) return false;
    Count = i;
    return true;
  }
};

// Every byte is one character: decoded by a table that the platform
// filled, and mapped back by counting characters.
class TSingleByteCodec : public TCodec {
 public:
  using TTable = std::array<std::string, 256>;

  TSingleByteCodec(uint32_t CodePage, const TTable& Table) : TCodec(CodePage) {
    for (int b = 0; b < 256; ++b) SetText(b, Table[b]);
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
    std::string out;
    DecodeTo(Bytes, out);
    return out;
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
    char text[kBlock * sizeof FUnit[0] + kWord];
    for (size_t at = 0; at < Bytes.size(); at += kBlock) {
      const std::string_view block = Bytes.substr(at, kBlock);
      const auto* b = reinterpret_cast<const unsigned char*>(block.data());
      Out.append(text, static_cast<size_t>(DecodeBlock(b, b + block.size(), text) - text));
    }
  }

  bool AsciiTransparent() const override { return FAsciiTransparent; }

  size_t SamePrefix(std::string_view Bytes) const override {
    size_t i = 0;
    while (i < Bytes.size() && FSame[static_cast<unsigned char>(Bytes[i])]) ++i;
    return i;
  }

  size_t CompletePrefix(std::string_view Bytes) const override { return Bytes.size(); }

  bool CountBytes(std::string_view Bytes, std::string_view Text, size_t& Count) const override {
    const size_t n = CodePointCount(Text);
    if (n > Bytes.size()) return false;
    Count = n;
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
    for (int b = 0; b < 256; ++b) {
      Table[b] = os::DecodeToUtf8(CodePage, std::string(1, char(b)));
      if (CodePointCount(Table[b]) != 1 || ValidUtf8Prefix(Table[b]) != Table[b].size())
        return false;
    }
    for (int b = 0x80; b < 256; ++b)
      for (int trail : {0x41, 0xA1}) {
        const std::string pair{char(b), char(trail)};
        if (os::DecodeToUtf8(CodePage, pair) != Table[b] + Table[trail]) return false;
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
    uint64_t word;
    std::memcpy(&word, B, kWord);
    return (word & kHighBits) == 0;
  }

  size_t DecodedSize(std::string_view Bytes) const {
    const auto* b = reinterpret_cast<const unsigned char*>(Bytes.data());
    const auto* end = b + Bytes.size();
    size_t size = Bytes.size();
    for (; b + kWord <= end; b += kWord)
      if (!AllAscii(b))
        for (size_t k = 0; k < kWord; ++k) size += (FUnit[b[k]] >> kLenShift) - 1u;
    for (; b < end; ++b) size += (FUnit[*b] >> kLenShift) - 1u;
    return size;
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
      for (size_t k = 0; k < kWord; ++k) P = Put(P, FUnit[B[k]]);
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
    for (const char c : Bytes) Out += FTexts[static_cast<unsigned char>(c)];
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
    std::string text = os::DecodeToUtf8(CodePage(), Bytes);
    if (ValidUtf8Prefix(text) == text.size()) return text;
    static const TUtf8Codec utf8(os::kCpUtf8);
    return utf8.Decode(text);
  }

  size_t CompletePrefix(std::string_view Bytes) const override {
    for (size_t n = Bytes.size(); n > 0; --n)
      if (static_cast<unsigned char>(Bytes[n - 1]) < 0x80) return n;
    return 0;
  }

  // Encoding the text gives the byte count whenever it round-trips.
  bool CountBytes(std::string_view Bytes, std::string_view Text, size_t& Count) const override {
    const size_t n = Encode(Text).size();
    if (n > Bytes.size() || Decode(Bytes.substr(0, n)) != Text) return false;
    Count = n;
    return true;
  }
};

}  // namespace

void ReserveMore(std::string& Out, size_t Count) {
  const size_t need = Out.size() + Count;
  if (need > Out.capacity()) Out.reserve(std::max(need, 2 * Out.capacity()));
}

// ASCII is skipped eight bytes at a time, and a two-byte character (all of
// Cyrillic, Greek, the Latin letters with marks) is checked in place.
size_t ValidUtf8Prefix(std::string_view Bytes) {
  const auto* b = reinterpret_cast<const unsigned char*>(Bytes.data());
  const size_t n = Bytes.size();
  size_t i = 0;
  while (i < n) {
    if (i + 8 <= n) {
      uint64_t word;
      std::memcpy(&word, b + i, sizeof word);
      if ((word & 0x8080808080808080ull) == 0) {
        i += 8;
        continue;
      }
    }
    if (b[i] < 0x80) {
      ++i;
      continue;
    }
    if (b[i] >= 0xC2 && b[i] <= 0xDF && i + 1 < n && IsContinuation(b[i + 1])) {
      i += 2;
      continue;
    }
    bool valid;
    const size_t n = Utf8Unit(Bytes.substr(i), valid);
    if (!valid) break;
    i += n;
  }
  return i;
}

size_t Utf8Unit(std::string_view Bytes, bool& Valid) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(Bytes[k]); };
  const unsigned char lead = at(0);
  Valid = false;
  if (lead < 0x80) {
    Valid = true;
    return 1;
  }
  size_t extra;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 1;
  }
  size_t n = 1;
  for (size_t k = 0; k < extra; ++k, ++n) {
    if (n >= Bytes.size()) return n;
    const unsigned char b = at(n);
    if (k == 0 ? (b < low || b > high) : !IsContinuation(b)) return n;
  }
  Valid = true;
  return n;
}

std::string TCodec::Encode(std::string_view Text) const {
  return os::EncodeFromUtf8(FCodePage, Text);
}

std::shared_ptr<const TCodec> TCodec::Make(uint32_t CodePage) {
  if (!os::IsCodePageSupported(CodePage)) return nullptr;
  const uint32_t page = CodePage == os::kCpAcp ? os::AnsiCodePage() : CodePage;
  if (page == os::kCpUtf8) return std::make_shared<TUtf8Codec>(page);
  std::array<char16_t, 256> chars;
  if (TSingleByteCodec::Known(page, chars)) return std::make_shared<TSingleByteCodec>(page, chars);
  TSingleByteCodec::TTable table;
  if (TSingleByteCodec::Probe(page, table))
    return std::make_shared<TSingleByteCodec>(page, table);
  return std::make_shared<TSystemCodec>(page);
}

}  // namespace green
