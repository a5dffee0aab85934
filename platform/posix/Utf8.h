// UTF-8 decoding with replacement of invalid sequences; encoding is base's.
#pragma once

#include <string>
#include <string_view>

#include "base/Utf8.h"

namespace green::os {

using green::AppendUtf8;

// Decodes one code point at Bytes[I], advancing I. A malformed sequence
// (overlong, surrogate, beyond U+10FFFF, truncated) yields U+FFFD and
// advances past its longest valid prefix, at least one byte.
inline char32_t DecodeUtf8At(std::string_view Bytes, size_t& I) {
  auto Byte = [&](size_t K) { return static_cast<unsigned char>(Bytes[K]); };
  unsigned char Lead = Byte(I++);
  if (Lead < 0x80) return Lead;
  int Extra;
  char32_t C;
  unsigned char Low = 0x80, High = 0xBF;  // allowed range of the second byte
  if (Lead >= 0xC2 && Lead <= 0xDF) {
    Extra = 1, C = Lead & 0x1F;
  } else if (Lead >= 0xE0 && Lead <= 0xEF) {
    Extra = 2, C = Lead & 0x0F;
    if (Lead == 0xE0) Low = 0xA0;
    if (Lead == 0xED) High = 0x9F;
  } else if (Lead >= 0xF0 && Lead <= 0xF4) {
    Extra = 3, C = Lead & 0x07;
    if (Lead == 0xF0) Low = 0x90;
    if (Lead == 0xF4) High = 0x8F;
  } else {
    return 0xFFFD;
  }
  for (int K = 0; K < Extra; ++K) {
    if (I >= Bytes.size()) return 0xFFFD;
    unsigned char B = Byte(I);
    if (K == 0 ? (B < Low || B > High) : (B & 0xC0) != 0x80) return 0xFFFD;
    C = (C << 6) | (B & 0x3F);
    ++I;
  }
  return C;
}

template <typename Fn>
void ForEachCodePoint(std::string_view Bytes, Fn&& Emit) {
  for (size_t I = 0; I < Bytes.size();) Emit(DecodeUtf8At(Bytes, I));
}

}  // namespace green::os
