// UTF-8, the launcher's text, to and from UTF-16, the W functions' text.
#pragma once

#include "platform/win32/Win.h"

#include <string>
#include <string_view>

namespace green::win32 {

inline std::wstring Wide(std::string_view Text) {
  if (Text.empty()) return {};
  const int Size = ::MultiByteToWideChar(CP_UTF8, 0, Text.data(), int(Text.size()), nullptr, 0);
  std::wstring Out(Size > 0 ? Size : 0, L'\0');
  if (Size > 0) ::MultiByteToWideChar(CP_UTF8, 0, Text.data(), int(Text.size()), Out.data(), Size);
  return Out;
}

inline std::string Narrow(std::wstring_view Text) {
  if (Text.empty()) return {};
  const int Size = ::WideCharToMultiByte(CP_UTF8, 0, Text.data(), int(Text.size()), nullptr, 0, nullptr, nullptr);
  std::string Out(Size > 0 ? Size : 0, '\0');
  if (Size > 0) ::WideCharToMultiByte(CP_UTF8, 0, Text.data(), int(Text.size()), Out.data(), Size, nullptr, nullptr);
  return Out;
}

}  // namespace green::win32
