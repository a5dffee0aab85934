#include "platform/win32/Win.h"

#include "platform/Error.h"
#include "platform/win32/Utf16.h"

#include <string>

namespace green::os {

uint32_t GetLastError() { return ::GetLastError(); }

void SetLastError(uint32_t Code) { ::SetLastError(Code); }

std::string SysErrorMessage(uint32_t Code) {
  const DWORD Saved = ::GetLastError();
  wchar_t* Buffer = nullptr;
  const DWORD Flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                      FORMAT_MESSAGE_IGNORE_INSERTS;
  const DWORD Length = ::FormatMessageW(Flags, nullptr, Code, 0,
                                        reinterpret_cast<wchar_t*>(&Buffer), 0, nullptr);
  std::wstring_view Text(Buffer ? Buffer : L"", Length);
  // The system ends its messages with a line break, mostly after a dot;
  // both go, so the text reads like the C library's and composes in messages.
  while (!Text.empty() && (Text.back() == L'\r' || Text.back() == L'\n' || Text.back() == L' '))
    Text.remove_suffix(1);
  if (!Text.empty() && Text.back() == L'.') Text.remove_suffix(1);
  std::string Out;
  win32::FromUtf16(CP_UTF8, Text, Out);
  if (Buffer) ::LocalFree(Buffer);
  ::SetLastError(Saved);
  if (Out.empty()) Out = "System error " + std::to_string(Code);
  return Out;
}

}  // namespace green::os
