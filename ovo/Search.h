// The searches of line and match assembly over the pending text of a
// push-back buffer. Each remembers in the buffer's memo how far it got, so
// that text already searched is not searched again when more arrives.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ovo/PushBack.h"
#include "ovo/RegEx.h"

namespace green {

enum TSearchResult : uint8_t {
  srFound,   // a piece was found
  srMore,    // nothing yet: more text may give one
  srFailed,  // the search itself failed; more text will not help
};

// What a successful search delivers: the value is Text[ValuePos, +ValueLen)
// and the first Consumed bytes of Text are used up.
struct TSearchHit {
  size_t ValuePos = 0;
  size_t ValueLen = 0;
  size_t Consumed = 0;
};

// Lines end at the first listed end-of-line that occurs at all, even when a
// later one occurs earlier; an empty end-of-line never matches.
class TLineSearch {
 public:
  // The end-of-lines are copied, as text: their ill-formed parts read as
  // U+FFFD, as they do in the text searched, so that they can only match
  // whole characters.
  explicit TLineSearch(std::span<const std::string> EOLs);
  TLineSearch(const TLineSearch&) = delete;
  TLineSearch& operator=(const TLineSearch&) = delete;
  TSearchResult Find(std::string_view Text, uint64_t Base, TSearchMemo& Memo, TSearchHit& Hit);
  // End-of-lines of ASCII are found in the bytes of an encoding that keeps
  // ASCII apart: the line is then decoded once, when it is cut.
  bool OverBytes(const TEncoding& Enc) const { return FAscii && Enc.AsciiTransparent(); }

 private:
  std::string FOne;  // a single end-of-line needs no vector
  std::vector<std::string> FMany;
  std::span<const std::string> FEOLs;
  bool FAscii = true;
  // Tells a memo that this search's end-of-lines are the ones it holds.
  const uint64_t FSerial;
};

// The leftmost match; text in front of it is consumed with it. A complete
// match is taken even where more text could make it longer. An empty match
// consumes the character after it, so that repeated reads make progress;
// at the end of the text it waits for more.
//
// The engine cannot continue a search where it stopped, so each search
// runs again on the pending text, but only from where a match could still
// begin: after no match, from the end; after a partial one (more text could
// complete it), from its start. A partial match that keeps growing (a
// pattern like "a+x" over a long run of a) is searched again from its start
// with every chunk, which costs time quadratic in its length.
class TMatchSearch {
 public:
  explicit TMatchSearch(const TRegEx& RegEx) : FRegEx(RegEx) {}
  TSearchResult Find(std::string_view Text, uint64_t Base, TSearchMemo& Memo, TSearchHit& Hit);
  // The engine needs the text.
  bool OverBytes(const TEncoding&) const { return false; }

 private:
  const TRegEx& FRegEx;
};

}  // namespace green
