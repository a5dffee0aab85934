// Code pages through UTF-16, the system's own conversions.
#include "platform/win32/Win.h"

#include "platform/CodePage.h"
#include "platform/win32/Utf16.h"

#include <climits>

namespace green::os {
namespace win32 {
namespace {

bool FitsInt(size_t Size) {
  if (Size <= INT_MAX) return true;
  ::SetLastError(ERROR_INVALID_PARAMETER);
  return false;
}

// The system refuses flags for these pages, and a default character for the
// UTF ones (which encode every character anyway).
bool TakesFlags(unsigned CodePage) {
  switch (CodePage) {
    case 42: case 50220: case 50221: case 50222: case 50225: case 50227: case 50229:
    case 65000: case CP_UTF8:
      return false;
    default:
      return !(CodePage >= 57002 && CodePage <= 57011);
  }
}

bool TakesDefaultChar(unsigned CodePage) { return CodePage != 65000 && CodePage != CP_UTF8; }

}  // namespace

bool ToUtf16(unsigned CodePage, std::string_view Bytes, std::wstring& Out) {
  Out.clear();
  if (Bytes.empty()) return true;
  if (!FitsInt(Bytes.size())) return false;
  const int In = static_cast<int>(Bytes.size());
  const int Size = ::MultiByteToWideChar(CodePage, 0, Bytes.data(), In, nullptr, 0);
  if (Size <= 0) return false;
  Out.resize(Size);
  return ::MultiByteToWideChar(CodePage, 0, Bytes.data(), In, Out.data(), Size) == Size;
}

bool FromUtf16(unsigned CodePage, std::wstring_view Text, std::string& Out) {
  Out.clear();
  if (Text.empty()) return true;
  if (!FitsInt(Text.size())) return false;
  const int In = static_cast<int>(Text.size());
  // The ANSI page may itself be UTF-8, which refuses the flags below.
  if (CodePage == CP_ACP) CodePage = ::GetACP();
  const DWORD Flags = TakesFlags(CodePage) ? WC_NO_BEST_FIT_CHARS : 0;
  const char* Default = TakesDefaultChar(CodePage) ? "?" : nullptr;
  const int Size = ::WideCharToMultiByte(CodePage, Flags, Text.data(), In, nullptr, 0, Default, nullptr);
  if (Size <= 0) return false;
  Out.resize(Size);
  return ::WideCharToMultiByte(CodePage, Flags, Text.data(), In, Out.data(), Size, Default,
                               nullptr) == Size;
}

}  // namespace win32

uint32_t AnsiCodePage() { return ::GetACP(); }

bool IsCodePageSupported(uint32_t CodePage) {
  return CodePage == kCpAcp || ::IsValidCodePage(CodePage);
}

// On failure (a code page the system lacks) the answer is empty and the
// last error says why.
std::string DecodeToUtf8(uint32_t CodePage, std::string_view Bytes) {
  std::wstring Wide;
  std::string Out;
  if (win32::ToUtf16(CodePage, Bytes, Wide)) win32::FromUtf16(CP_UTF8, Wide, Out);
  return Out;
}

// The system says which pages have one byte per character; such a page
// decodes byte by byte, so one conversion of all 256 bytes gives each
// byte's own. A result of another length (characters composed, say), or a
// half of a surrogate pair, leaves the page to the caller's probe.
bool SingleByteChars(uint32_t CodePage, std::array<char32_t, 256>& Chars) {
  if (CodePage == kCpAcp) CodePage = ::GetACP();
  CPINFO Info;
  if (CodePage == CP_UTF8 || !::GetCPInfo(CodePage, &Info) || Info.MaxCharSize != 1) return false;
  char Bytes[256];
  for (int B = 0; B < 256; ++B) Bytes[B] = static_cast<char>(B);
  wchar_t Wide[256];
  if (::MultiByteToWideChar(CodePage, 0, Bytes, 256, Wide, 256) != 256) return false;
  for (int B = 0; B < 256; ++B) {
    if (Wide[B] >= 0xD800 && Wide[B] <= 0xDFFF) return false;
    Chars[B] = Wide[B];
  }
  return true;
}

std::string EncodeFromUtf8(uint32_t CodePage, std::string_view Utf8) {
  std::wstring Wide;
  std::string Out;
  if (win32::ToUtf16(CP_UTF8, Utf8, Wide)) win32::FromUtf16(CodePage, Wide, Out);
  return Out;
}

}  // namespace green::os
