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
  PCRE2_UCHAR Buf[256];
  const int N = pcre2_get_error_message(Code, Buf, sizeof Buf);
  return N > 0 ? std::string(reinterpret_cast<const char*>(Buf), static_cast<size_t>(N))
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
      pcre2_match_data* Data = pcre2_match_data_create(Groups + 1, nullptr);
      if (!Data) throw std::bad_alloc();
      if (FData) pcre2_match_data_free(FData);
      FData = Data;
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
  int Error = 0;
  PCRE2_SIZE Offset = 0;
  pcre2_code* Code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(Pattern.data()), Pattern.size(),
                                   PCRE2_UTF, &Error, &Offset, nullptr);
  if (!Code)
    throw ERegExError(Format("Invalid regular expression at offset %u: %s",
                             static_cast<unsigned>(Offset), ErrorText(Error).c_str()),
                      Offset);
  FCode = std::make_shared<const TCode>(Pattern, Code);
  FSerial = FCode->FSerial;
  FResumable = FCode->FResumable;
}

const std::string& TRegEx::Pattern() const {
  static const std::string None;
  return FCode ? FCode->FPattern : None;
}

TRegEx::TMatch TRegEx::Match(std::string_view Subject, size_t Start) const {
  TMatch M;
  size_t Pos, Len;
  if (Find(Subject, Start, Pos, Len) != fdMatch) return M;
  M.Success = true;
  M.Index = Pos;
  M.Length = Len;
  M.Value.assign(Subject.substr(Pos, Len));
  return M;
}

// A complete match is taken even where more text could make it longer;
// only when there is none does a second, hard partial run tell where one
// could still begin (it also counts $, \b and the like at the end).
TRegEx::TFind TRegEx::Find(std::string_view Subject, size_t Start, size_t& Pos, size_t& Len,
                           bool Checked) const {
  Pos = Len = 0;
  if (!FCode || Start > Subject.size()) return fdNone;
  pcre2_match_data* Md = MatchDataFor(FCode->FGroups);
  const uint32_t Options = Checked ? PCRE2_NO_UTF_CHECK : 0;
  int Rc = RunMatch(FCode->FCode, Subject, Start, Options, Md);
  const PCRE2_SIZE* Ov = pcre2_get_ovector_pointer(Md);
  if (Rc >= 0) {
    Pos = Ov[0];
    Len = Ov[1] > Ov[0] ? Ov[1] - Ov[0] : 0;
    return fdMatch;
  }
  if (Rc != PCRE2_ERROR_NOMATCH) return fdError;
  Rc = RunMatch(FCode->FCode, Subject, Start, Options | PCRE2_PARTIAL_HARD, Md);
  if (Rc == PCRE2_ERROR_NOMATCH) return fdNone;
  if (Rc != PCRE2_ERROR_PARTIAL && Rc < 0) return fdError;
  Pos = Ov[0];
  return fdPartial;
}

}  // namespace green
