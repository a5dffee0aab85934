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
  va_list args;
  va_start(args, Fmt);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, Fmt, copy);
  va_end(copy);
  std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(out.data(), out.size() + 1, Fmt, args);
  va_end(args);
  return out;
}

}  // namespace green
