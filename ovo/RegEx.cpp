#include "ovo/RegEx.h"

#include <atomic>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace green {

class TRegEx::TCode {
 public:
  TCode(const std::string& Pattern, pcre2_code* Code)
      : FPattern(Pattern),
        FCode(Code),
        FResumable(Pattern.find("\\G") == std::string::npos),
        FSerial(++LastSerial) {
    pcre2_pattern_info(Code, PCRE2_INFO_CAPTURECOUNT, &FGroups);
  }
  ~TCode() { pcre2_code_free(FCode); }
  TCode(const TCode&) = delete;
  TCode& operator=(const TCode&) = delete;

  const std::string FPattern;
  pcre2_code* const FCode;
  const bool FResumable;
  const uint64_t FSerial;
  uint32_t FGroups = 0;  // capturing groups

 private:
  static inline std::atomic<uint64_t> LastSerial{0};
};

namespace {

std::string ErrorText(int Code) {
  PCRE2_UCHAR buf[256];
  const int n = pcre2_get_error_message(Code, buf, sizeof buf);
  return n > 0 ? std::string(reinterpret_cast<const char*>(buf), static_cast<size_t>(n))
               : Format("error %d", Code);
}

// The thread's match data, kept from one match to the next: making it, and
// the engine's backtracking frames in it, for every search cost as much as
// a short search. A search never switches greenlets, so one per thread is
// enough; it grows for a pattern with more groups.
class TMatchData {
 public:
  ~TMatchData() {
    if (FData) pcre2_match_data_free(FData);
  }
  pcre2_match_data* For(uint32_t Groups) {
    if (FPairs < Groups + 1) {
      pcre2_match_data* data = pcre2_match_data_create(Groups + 1, nullptr);
      if (!data) throw std::bad_alloc();
      if (FData) pcre2_match_data_free(FData);
      FData = data;
      FPairs = Groups + 1;
    }
    return FData;
  }

 private:
  pcre2_match_data* FData = nullptr;
  uint32_t FPairs = 0;  // its ovector's pairs
};

pcre2_match_data* MatchDataFor(uint32_t Groups) {
  static thread_local TMatchData Data;
  return Data.For(Groups);
}

int RunMatch(const pcre2_code* Code, std::string_view Subject, size_t Start, uint32_t Options,
             pcre2_match_data* Data) {
  return pcre2_match(Code, reinterpret_cast<PCRE2_SPTR>(Subject.data()), Subject.size(), Start,
                     Options, Data, nullptr);
}

}  // namespace

ERegExError::ERegExError(const std::string& Message, size_t Offset)
    : ExceptionOf(Message), FOffset(Offset) {}

TRegEx::TRegEx(const std::string& Pattern) {
  int error = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(Pattern.data()), Pattern.size(),
                                   PCRE2_UTF, &error, &offset, nullptr);
  if (!code)
    throw ERegExError(Format("Invalid regular expression at offset %u: %s",
                             static_cast<unsigned>(offset), ErrorText(error).c_str()),
                      offset);
  FCode = std::make_shared<const TCode>(Pattern, code);
  FSerial = FCode->FSerial;
  FResumable = FCode->FResumable;
}

const std::string& TRegEx::Pattern() const {
  static const std::string None;
  return FCode ? FCode->FPattern : None;
}

TRegEx::TMatch TRegEx::Match(std::string_view Subject, size_t Start) const {
  TMatch m;
  size_t pos, len;
  if (Find(Subject, Start, pos, len) != fdMatch) return m;
  m.Success = true;
  m.Index = pos;
  m.Length = len;
  m.Value.assign(Subject.substr(pos, len));
  return m;
}

// A complete match is taken even where more text could make it longer;
// only when there is none does a second, hard partial run tell where one
// could still begin (it also counts $, \b and the like at the end).
TRegEx::TFind TRegEx::Find(std::string_view Subject, size_t Start, size_t& Pos, size_t& Len,
                           bool Checked) const {
  Pos = Len = 0;
  if (!FCode || Start > Subject.size()) return fdNone;
  pcre2_match_data* md = MatchDataFor(FCode->FGroups);
  const uint32_t options = Checked ? PCRE2_NO_UTF_CHECK : 0;
  int rc = RunMatch(FCode->FCode, Subject, Start, options, md);
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md);
  if (rc >= 0) {
    Pos = ov[0];
    Len = ov[1] > ov[0] ? ov[1] - ov[0] : 0;
    return fdMatch;
  }
  if (rc != PCRE2_ERROR_NOMATCH) return fdError;
  rc = RunMatch(FCode->FCode, Subject, Start, options | PCRE2_PARTIAL_HARD, md);
  if (rc == PCRE2_ERROR_NOMATCH) return fdNone;
  if (rc != PCRE2_ERROR_PARTIAL && rc < 0) return fdError;
  Pos = ov[0];
  return fdPartial;
}

}  // namespace green
