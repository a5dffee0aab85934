// The conversions behind TEncoding. UTF-8 and single-byte pages are
// converted here, so that decoded text maps back to its bytes exactly;
// other pages (the double-byte system pages) go through the platform.
// Whatever the page, decoded text is well-formed UTF-8: what the platform
// gives is checked, and the searches hand text to the expression engine
// without its own check.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace green {

class TCodec {
 public:
  explicit TCodec(uint32_t CodePage) : FCodePage(CodePage) {}
  virtual ~TCodec() = default;

  virtual std::string Decode(std::string_view Bytes) const = 0;
  // Decode, appended to Out: no string of its own in between.
  virtual void DecodeTo(std::string_view Bytes, std::string& Out) const { Out += Decode(Bytes); }
  // How many leading bytes decode to themselves (ASCII, valid UTF-8), so
  // that their text may be the bytes themselves; a cut-short character at
  // the end does not count.
  virtual size_t SamePrefix(std::string_view Bytes) const { return 0; }
  // Whether an ASCII byte always decodes to itself, as a character of its
  // own, and no other byte decodes to ASCII: then text of ASCII is found in
  // the bytes where it is in the decoded text.
  virtual bool AsciiTransparent() const { return false; }
  virtual std::string Encode(std::string_view Text) const;
  virtual size_t CompletePrefix(std::string_view Bytes) const = 0;
  virtual bool CountBytes(std::string_view Bytes, std::string_view Text, size_t& Count) const = 0;
  uint32_t CodePage() const { return FCodePage; }

  // The codec of a code page (0: the system's ANSI page); nullptr when the
  // platform cannot convert it.
  static std::shared_ptr<const TCodec> Make(uint32_t CodePage);

 private:
  uint32_t FCodePage;
};

// Room for Count more bytes in Out, grown geometrically, so that appending
// piece by piece stays linear.
void ReserveMore(std::string& Out, size_t Count);

// One unit of UTF-8 at the start of Bytes (not empty): a character, or an
// ill-formed part that decodes to one U+FFFD (the longest start of a
// sequence that is still valid, at least one byte). Valid tells which.
size_t Utf8Unit(std::string_view Bytes, bool& Valid);
// The length of the longest well-formed UTF-8 start of Bytes.
size_t ValidUtf8Prefix(std::string_view Bytes);

}  // namespace green
