// Text encodings of the stream providers: the runtime's UTF-8 text to and
// from the bytes of a code page. Three instances are shared (the system ANSI
// page, code page 1251 and UTF-8); they live as long as the process and
// clone to themselves, while any other encoding clones to a new object.
//
// Text that arrives in pieces is decoded piece by piece without splitting a
// character: CompletePrefix says how many leading bytes decode the same now
// as they would with more bytes behind them, and CountBytes maps decoded
// text back to the bytes it came from, so that what follows a delivered line
// stays the bytes that arrived.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/Exception.h"

namespace green {

class TCodec;

// A code page the platform cannot convert.
GREEN_EXCEPTION(EEncodingError, Exception);

class TEncoding : public TObject {
 public:
  // Raises EEncodingError for a code page the platform lacks. 0 is the
  // system's ANSI page.
  explicit TEncoding(uint32_t CodePage);
  // A private copy, never shared.
  TEncoding(const TEncoding& Other);
  TEncoding& operator=(const TEncoding& Other);
  ~TEncoding() override;

  static TEncoding* Default();  // the system's ANSI page
  static TEncoding* Cp1251();
  static TEncoding* UTF8();

  // Text to bytes, without a preamble; characters the page lacks become '?'.
  std::string GetBytes(std::string_view Text) const;
  // Bytes to text; bytes that do not decode become U+FFFD.
  std::string GetString(std::string_view Bytes) const;
  // GetString appended to Text.
  void AppendString(std::string_view Bytes, std::string& Text) const;
  // How many leading bytes of Bytes decode to themselves.
  size_t SamePrefix(std::string_view Bytes) const;
  // ASCII bytes are always their own characters and no other byte decodes
  // to ASCII (single-byte pages, UTF-8): ASCII text is found in the bytes.
  bool AsciiTransparent() const;
  // A shared encoding answers itself; any other a new copy, which the
  // caller owns.
  virtual TEncoding* Clone() const;
  bool IsStandard() const { return FStandard; }
  // The code page itself: the system's page for the ANSI encoding.
  uint32_t CodePage() const;
  // Whether Other turns the same bytes into the same text.
  bool SameCodec(const TEncoding& Other) const { return CodePage() == Other.CodePage(); }

  // How many leading bytes of Bytes can be decoded now: all but a trailing
  // part of a character that may still be completed.
  size_t CompletePrefix(std::string_view Bytes) const;
  // Bytes begins at a character and decodes to text that begins with Text,
  // which ends at a character. Count becomes the number of bytes that
  // decode to Text; false when this encoding cannot tell.
  bool CountBytes(std::string_view Bytes, std::string_view Text, size_t& Count) const;

 private:
  struct TShared {};
  TEncoding(uint32_t CodePage, TShared);

  const TCodec* FCodec;  // lives for the process
  bool FStandard = false;
};

// The one owner of an encoding: a shared (standard) one is referred to, any
// other is the holder's own copy, freed with it or when replaced.
class THeldEncoding {
 public:
  THeldEncoding() = default;
  explicit THeldEncoding(std::unique_ptr<TEncoding> Own) : FValue(Own.release()), FOwned(true) {}
  ~THeldEncoding() { Release(); }
  THeldEncoding(const THeldEncoding&) = delete;
  THeldEncoding& operator=(const THeldEncoding&) = delete;

  // Holds Value as Clone tells: itself when shared, else a copy.
  void Set(const TEncoding& Value) {
    TEncoding* Copy = Value.Clone();
    Release();
    FValue = Copy;
    FOwned = Copy != &Value;
  }
  TEncoding* get() const { return FValue; }
  TEncoding& operator*() const { return *FValue; }
  TEncoding* operator->() const { return FValue; }
  // Whether the encoding held is a copy of the holder's own.
  bool Owned() const { return FOwned; }

 private:
  void Release() {
    if (FOwned) delete FValue;
    FValue = nullptr;
    FOwned = false;
  }

  TEncoding* FValue = nullptr;
  bool FOwned = false;
};

}  // namespace green
