// The splitter is the same on both systems: no operating-system support.
#include "platform/CommandLine.h"

namespace green::os {

namespace {

constexpr char kQuote = '"';

bool IsSeparator(char C) {
  const auto Code = static_cast<unsigned char>(C);
  return Code >= 1 && Code <= 32;
}

// Moves I past separators and pairs of quotes; false at the end of the line.
bool SkipToArgument(std::string_view Line, size_t& I) {
  for (;;) {
    while (I < Line.size() && IsSeparator(Line[I])) ++I;
    if (I + 1 < Line.size() && Line[I] == kQuote && Line[I + 1] == kQuote) {
      I += 2;
      continue;
    }
    return I < Line.size();
  }
}

std::string ReadArgument(std::string_view Line, size_t& I) {
  std::string Arg;
  while (I < Line.size() && !IsSeparator(Line[I])) {
    if (Line[I] != kQuote) {
      Arg += Line[I++];
      continue;
    }
    const size_t Close = Line.find(kQuote, ++I);
    const size_t End = Close == std::string_view::npos ? Line.size() : Close;
    Arg.append(Line.substr(I, End - I));
    I = Close == std::string_view::npos ? End : End + 1;
  }
  return Arg;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view Line) {
  Line = Line.substr(0, Line.find('\0'));
  std::vector<std::string> Args;
  size_t I = 0;
  while (SkipToArgument(Line, I)) Args.push_back(ReadArgument(Line, I));
  return Args;
}

}  // namespace green::os
