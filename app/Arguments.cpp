#include "app/Arguments.h"

namespace green {

namespace {

bool NeedsQuotes(const std::string& Item, char Delimiter, char QuoteChar) {
  for (char C : Item) {
    const auto Code = static_cast<unsigned char>(C);
    if ((Code >= 1 && Code <= 32) || C == QuoteChar || C == Delimiter) return true;
  }
  return false;
}

std::string Quoted(const std::string& Item, char QuoteChar) {
  std::string Out(1, QuoteChar);
  for (char C : Item) {
    if (C == QuoteChar) Out += QuoteChar;
    Out += C;
  }
  Out += QuoteChar;
  return Out;
}

}  // namespace

std::string DelimitedText(const std::vector<std::string>& Items, char Delimiter, char QuoteChar) {
  if (Items.size() == 1 && Items[0].empty()) return std::string(2, QuoteChar);
  std::string Text;
  for (const std::string& Item : Items) {
    Text += NeedsQuotes(Item, Delimiter, QuoteChar) ? Quoted(Item, QuoteChar) : Item;
    Text += Delimiter;
  }
  if (!Text.empty()) Text.pop_back();
  return Text;
}

}  // namespace green
