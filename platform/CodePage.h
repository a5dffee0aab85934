// Conversion between the runtime's UTF-8 text and the byte encodings it
// reads and writes: the system ANSI page, code page 1251 and UTF-8.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace green::os {

constexpr uint32_t kCpAcp = 0;  // the system ANSI code page
constexpr uint32_t kCp1251 = 1251;
constexpr uint32_t kCpUtf8 = 65001;

// The code page kCpAcp stands for: the system's on win32, UTF-8 on posix.
uint32_t AnsiCodePage();
// Whether this platform converts CodePage.
bool IsCodePageSupported(uint32_t CodePage);
// Bytes in CodePage to UTF-8. Bytes that do not decode become U+FFFD.
std::string DecodeToUtf8(uint32_t CodePage, std::string_view Bytes);
// UTF-8 to bytes in CodePage. Characters the page lacks become '?'.
std::string EncodeFromUtf8(uint32_t CodePage, std::string_view Utf8);
// The character of each byte of CodePage, when the platform knows it for a
// page whose every byte is one character: what DecodeToUtf8 gives for that
// byte alone. False for any other page.
bool SingleByteChars(uint32_t CodePage, std::array<char32_t, 256>& Chars);

}  // namespace green::os
