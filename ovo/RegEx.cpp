#include "ovo/RegEx.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace green {

class TRegEx::TCode {
 public:
  TCode(const std::string& Pattern, pcre2_code* Code)
      : FPattern(Pattern), FCode(Code), FResumable(Pattern.find("\\G") == std::string::npos) {}
  ~TCode() { pcre2_code_free(FCode); }
  TCode(const TCode&) = delete;
  TCode& operator=(const TCode&) = delete;

  const std::string FPattern;
  pcre2_code* const FCode;
  const bool FResumable;
};

namespace {

std::string ErrorText(int Code) {
  PCRE2_UCHAR buf[256];
  const int n = pcre2_get_error_message(Code, buf, sizeof buf);
  return n > 0 ? std::string(reinterpret_cast<const char*>(buf), static_cast<size_t>(n))
               : Format("error %d", Code);
}

// Match data freed however the match ends.
struct TMatchData {
  explicit TMatchData(const pcre2_code* Code)
      : Data(pcre2_match_data_create_from_pattern(Code, nullptr)) {
    if (!Data) throw std::bad_alloc();
  }
  ~TMatchData() { pcre2_match_data_free(Data); }
  TMatchData(const TMatchData&) = delete;
  TMatchData& operator=(const TMatchData&) = delete;
  pcre2_match_data* Data;
};

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
}

const std::string& TRegEx::Pattern() const {
  static const std::string None;
  return FCode ? FCode->FPattern : None;
}

bool TRegEx::Resumable() const { return FCode && FCode->FResumable; }

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
  TMatchData md(FCode->FCode);
  const uint32_t options = Checked ? PCRE2_NO_UTF_CHECK : 0;
  int rc = RunMatch(FCode->FCode, Subject, Start, options, md.Data);
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(md.Data);
  if (rc >= 0) {
    Pos = ov[0];
    Len = ov[1] > ov[0] ? ov[1] - ov[0] : 0;
    return fdMatch;
  }
  if (rc != PCRE2_ERROR_NOMATCH) return fdError;
  rc = RunMatch(FCode->FCode, Subject, Start, options | PCRE2_PARTIAL_HARD, md.Data);
  if (rc == PCRE2_ERROR_NOMATCH) return fdNone;
  if (rc != PCRE2_ERROR_PARTIAL && rc < 0) return fdError;
  Pos = ov[0];
  return fdPartial;
}

}  // namespace green
