#include "base/Exception.h"

#include <cstdarg>
#include <cstdio>

namespace green {

std::unique_ptr<Exception> Exception::CloneWith(const std::string& Msg) const {
  return std::make_unique<Exception>(Msg);
}

void Exception::Raise() const { throw *this; }

EAssertionFailed::EAssertionFailed(const std::string& Msg, std::string UnitName, int LineNumber)
    : ExceptionOf(LineNumber > 0
                      ? Msg + " (" + UnitName + ", line " + std::to_string(LineNumber) + ")"
                      : Msg + " (" + UnitName + ")"),
      FUnit(std::move(UnitName)),
      FLine(LineNumber) {}

std::string Format(const char* Fmt, ...) {
  va_list Args;
  va_start(Args, Fmt);
  va_list Copy;
  va_copy(Copy, Args);
  int N = std::vsnprintf(nullptr, 0, Fmt, Copy);
  va_end(Copy);
  std::string Out(N > 0 ? static_cast<size_t>(N) : 0, '\0');
  if (N > 0) std::vsnprintf(Out.data(), Out.size() + 1, Fmt, Args);
  va_end(Args);
  return Out;
}

}  // namespace green
