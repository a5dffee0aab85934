// How the launcher passes its arguments on: the joined text of a string
// list with a delimiter and a quote character. Splitting is the platform's
// (platform/CommandLine.h); on Windows the worker splits the text itself.
#pragma once

#include <string>
#include <vector>

namespace green {

// Items each followed by Delimiter, the last one dropped. An item holding a
// character 1 to 32, QuoteChar or Delimiter is enclosed in QuoteChar with
// inner QuoteChars doubled; other bytes never cause quoting (in UTF-8 no
// byte of a non-ASCII character is below 128). No items give ""; exactly
// one empty item gives two QuoteChars.
std::string DelimitedText(const std::vector<std::string>& Items, char Delimiter = ' ', char QuoteChar = '"');

}  // namespace green
