// The provider's push-back buffer: bytes received from the handle but not
// yet delivered, and the text decoded from them so far.
//
// Assembly costs time and memory linear in the bytes received: each byte
// is decoded once (a character split between chunks waits for its rest), a
// delivered line drops its text and exactly the bytes it came from, so what
// follows stays the bytes that arrived, and searches remember how far they
// got (TSearchMemo). Text positions in a memo are absolute: they count from
// the first text ever decoded, so dropping text in front does not move them.
//
// Bytes that decode to themselves (ASCII, valid UTF-8) are their own text:
// the text is kept apart only from the first byte that decodes to
// something else until it has all been consumed. A line whose end-of-lines
// are ASCII, in a single-byte page or UTF-8, is looked for in the bytes
// themselves and holds no text at all: it is decoded once it is cut. A
// line that never ends thus holds its bytes once, plus, for other
// searches past a byte that decodes to something else, its text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ovo/ByteBuffer.h"
#include "ovo/Encoding.h"
#include "ovo/RegEx.h"

namespace green {

struct TSearchMemo {
  static constexpr uint64_t kUnknown = UINT64_MAX;

  // Line search: for each end-of-line, no occurrence starts before
  // Scanned, and the first one after the text start is At (or kUnknown).
  std::vector<std::string> EOLs;
  // The line search that last used EOLs: its own are the same (0: none).
  uint64_t LineSearch = 0;
  std::vector<uint64_t> Scanned;
  std::vector<uint64_t> At;
  // Match search: no match of the expression RegEx (its identity) starts
  // before Resume.
  uint64_t RegEx = 0;
  uint64_t Resume = 0;
  // The positions are of bytes searched as they are (Prepare), not of
  // decoded text.
  bool OverBytes = false;

  // Forgets what was found; the positions stay of the same kind.
  void Reset() {
    const bool Kind = OverBytes;
    *this = TSearchMemo();
    OverBytes = Kind;
  }
  // The positions are of bytes or of text from here on; what was found in
  // the other goes.
  void Over(bool Bytes) {
    if (OverBytes == Bytes) return;
    Reset();
    OverBytes = Bytes;
  }
};

class TPushBackBuffer {
 public:
  static constexpr size_t kNoLimit = SIZE_MAX;

  bool Empty() const { return FHead == FBytes.Size(); }
  size_t Size() const { return FBytes.Size() - FHead; }
  std::string_view Bytes() const { return FBytes.View().substr(FHead); }

  // Delivers at most Count bytes from the front; the rest stays.
  size_t Take(void* Buf, size_t Count);
  // Both give the strong guarantee: on std::bad_alloc nothing changed.
  void Append(std::string_view Bytes);
  void Prepend(std::string_view Bytes);
  // Room for Count more bytes, so that appending as many cannot fail.
  void Reserve(size_t Count);
  void Clear();

  // Assembly stops reading once the buffer holds Limit bytes.
  size_t Limit() const { return FLimit; }
  void SetLimit(size_t Value) { FLimit = Value; }
  bool Full() const { return Size() >= FLimit; }

  // Decodes the bytes not yet decoded, up to the last complete character.
  // Text decoded with another code page is dropped and decoded again.
  void Decode(const TEncoding& Enc);
  // Decodes everything, an unfinished last character too (the stream has
  // ended); Settle forgets that part again unless a cut consumed it.
  void DecodeAll(const TEncoding& Enc);
  void Settle();
  // The decoded text not yet consumed, and the absolute position of its
  // first byte.
  std::string_view Text() const {
    return FSame ? FBytes.View().substr(FHead, FDecoded - FHead)
                 : std::string_view(FText).substr(FTextHead);
  }
  uint64_t TextBase() const { return FBase; }
  // Consumes the first Count bytes of Text() and the bytes they came from.
  void Cut(size_t Count, const TEncoding& Enc);
  // Out becomes Text()[Pos, +Len), then Cut(Consumed). A long value at the
  // front of separate text takes that text's storage, and what follows it
  // moves into Out's old storage: no copy of the value.
  void CutValue(size_t Pos, size_t Len, size_t Consumed, const TEncoding& Enc, std::string& Out);
  // Forgets the decoded text (the bytes stay) and what searches remember.
  void DropText();
  TSearchMemo& Memo() { return FMemo; }

  // One search of assembly: Prepare chooses what it looks at, Searched()
  // at the position TextBase(), and CutFound takes what it found.
  // OverBytes: the search looks at the bytes themselves (ASCII searched in
  // an encoding that keeps ASCII apart, TEncoding::AsciiTransparent), and a
  // value found is decoded once, straight into Out: the text of a piece is
  // never held while it is assembled. Otherwise the text is decoded as
  // the bytes arrive (Decode or, AtEnd, DecodeAll).
  void Prepare(bool OverBytes, bool AtEnd, const TEncoding& Enc);
  std::string_view Searched() const { return FOverBytes ? Bytes() : Text(); }
  // Out becomes Searched()[Pos, +Len), decoded; the first Consumed
  // positions are delivered.
  void CutFound(size_t Pos, size_t Len, size_t Consumed, const TEncoding& Enc, std::string& Out);

 private:
  // Drops consumed text from the front of separate text.
  void CompactText();
  void CutBytes(size_t Pos, size_t Len, size_t Consumed, const TEncoding& Enc, std::string& Out);
  // The text becomes separate from the bytes, or again the bytes.
  void Separate();
  void Rejoin();

  TByteBuffer FBytes;
  size_t FHead = 0;     // first byte not delivered
  size_t FDecoded = 0;  // bytes before this one are decoded
  // The text is FBytes[FHead, FDecoded) itself; else FText[FTextHead, end).
  bool FSame = true;
  std::string FText;
  size_t FTextHead = 0;  // first character not consumed
  uint64_t FBase = 0;    // absolute position of the first character of Text()
  uint32_t FTextPage = 0;
  bool FHasText = false;
  // What DecodeAll added: where it began in bytes and text; kNone if none.
  static constexpr size_t kNone = SIZE_MAX;
  size_t FProvisionalBytes = kNone;
  size_t FProvisionalText = kNone;
  TSearchMemo FMemo;
  size_t FLimit = kNoLimit;
  bool FOverBytes = false;  // the search looks at the bytes
};

}  // namespace green
