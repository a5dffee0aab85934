// Internal to the win32 backend: UTF-16 as the W functions take it.
#pragma once

#include <string>
#include <string_view>

namespace green::os::win32 {

// Bytes in CodePage to UTF-16; invalid sequences become U+FFFD. False (last
// error set) when the system refuses the code page or the length.
bool ToUtf16(unsigned CodePage, std::string_view Bytes, std::wstring& Out);
// UTF-16 to bytes in CodePage; characters the page lacks become '?'.
bool FromUtf16(unsigned CodePage, std::wstring_view Text, std::string& Out);

}  // namespace green::os::win32
