// Compiled regular expressions (PCRE2, 8-bit, UTF-8 text). A TRegEx is a
// value: copies share one compiled expression, which never changes, so
// copies may be used on several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/Exception.h"

namespace green {

// A pattern that does not compile; Offset is where in the pattern (bytes).
class ERegExError : public ExceptionOf<ERegExError, Exception> {
 public:
  ERegExError(const std::string& Message, size_t Offset);
  size_t Offset() const { return FOffset; }

 private:
  size_t FOffset;
};

class TRegEx {
 public:
  // A match: the matched text, where it starts and its length (bytes).
  struct TMatch {
    bool Success = false;
    size_t Index = 0;
    size_t Length = 0;
    std::string Value;
  };

  // What Find tells of the subject.
  enum TFind : uint8_t {
    fdMatch,    // a complete match at [Pos, Pos + Len)
    fdNone,     // no match can start anywhere, however the subject goes on
    fdPartial,  // none yet; one starting at Pos may complete with more text
    fdError,    // the engine gave up (e.g. its backtracking limit)
  };

  // Empty: matches nothing.
  TRegEx() = default;
  // Compiles with the default options (UTF-8); raises ERegExError.
  explicit TRegEx(const std::string& Pattern);

  bool IsEmpty() const { return !FCode; }
  const std::string& Pattern() const;
  // The first match that starts at Start or later.
  TMatch Match(std::string_view Subject, size_t Start = 0) const;
  // As Match, and when there is none, whether more text could give one
  // that starts at Pos or later. Start must be where a character begins.
  // Checked: the caller knows the subject is well-formed UTF-8, so the
  // engine does not check it again (it would scan all after Start).
  TFind Find(std::string_view Subject, size_t Start, size_t& Pos, size_t& Len,
             bool Checked = false) const;
  // Whether a search may start after the subject's beginning with the same
  // result (false for patterns that anchor at the search start, \G).
  bool Resumable() const { return FCode && FResumable; }
  // Identifies the compiled expression that copies share: no other
  // expression of the process has the same number, even once this one is
  // gone; 0 for the empty one.
  uint64_t Identity() const { return FCode ? FSerial : 0; }

 private:
  class TCode;
  std::shared_ptr<const TCode> FCode;
  // The code's, kept here too: a search asks for them at every match.
  uint64_t FSerial = 0;
  bool FResumable = false;
};

}  // namespace green
