// posix has no system code pages: the ANSI page is UTF-8, and 1251 is a
// table of its upper half.
#include "platform/CodePage.h"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/posix/Utf8.h"

namespace green::os {

namespace {

constexpr char32_t kNone = 0xFFFD;  // 0x98 is unassigned in 1251

constexpr std::array<char16_t, 128> kCp1251Upper = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    kNone,  0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,
};

using Reverse = std::array<std::pair<char16_t, unsigned char>, 128>;

// The table sorted by character, for encoding by binary search.
const Reverse& Cp1251Reverse() {
  static const Reverse Table = [] {
    Reverse R{};
    for (size_t I = 0; I < 128; ++I) R[I] = {kCp1251Upper[I], static_cast<unsigned char>(0x80 + I)};
    std::sort(R.begin(), R.end());
    return R;
  }();
  return Table;
}

char EncodeCp1251(char32_t C) {
  if (C < 0x80) return static_cast<char>(C);
  if (C == kNone || C > 0xFFFF) return '?';
  const Reverse& R = Cp1251Reverse();
  auto It = std::lower_bound(R.begin(), R.end(), std::pair<char16_t, unsigned char>{static_cast<char16_t>(C), 0});
  return It != R.end() && It->first == C ? static_cast<char>(It->second) : '?';
}

bool IsUtf8Page(uint32_t CodePage) { return CodePage == kCpAcp || CodePage == kCpUtf8; }

}  // namespace

uint32_t AnsiCodePage() { return kCpUtf8; }

bool IsCodePageSupported(uint32_t CodePage) { return IsUtf8Page(CodePage) || CodePage == kCp1251; }

std::string DecodeToUtf8(uint32_t CodePage, std::string_view Bytes) {
  std::string Out;
  Out.reserve(Bytes.size());
  if (IsUtf8Page(CodePage)) {
    ForEachCodePoint(Bytes, [&](char32_t C) { AppendUtf8(Out, C); });
  } else if (CodePage == kCp1251) {
    for (char B : Bytes) {
      auto U = static_cast<unsigned char>(B);
      AppendUtf8(Out, U < 0x80 ? char32_t{U} : char32_t{kCp1251Upper[U - 0x80]});
    }
  } else {
    // An unknown page: keep ASCII, mark the rest as undecodable.
    for (char B : Bytes) AppendUtf8(Out, static_cast<unsigned char>(B) < 0x80 ? char32_t(B) : kNone);
  }
  return Out;
}

bool SingleByteChars(uint32_t CodePage, std::array<char32_t, 256>& Chars) {
  if (CodePage != kCp1251) return false;
  for (size_t B = 0; B < 256; ++B) Chars[B] = B < 0x80 ? char32_t(B) : char32_t{kCp1251Upper[B - 0x80]};
  return true;
}

std::string EncodeFromUtf8(uint32_t CodePage, std::string_view Utf8) {
  std::string Out;
  Out.reserve(Utf8.size());
  if (IsUtf8Page(CodePage)) {
    ForEachCodePoint(Utf8, [&](char32_t C) { AppendUtf8(Out, C); });
  } else if (CodePage == kCp1251) {
    ForEachCodePoint(Utf8, [&](char32_t C) { Out += EncodeCp1251(C); });
  } else {
    ForEachCodePoint(Utf8, [&](char32_t C) { Out += C < 0x80 ? static_cast<char>(C) : '?'; });
  }
  return Out;
}

}  // namespace green::os
