#include "app/FormText.h"

#include <cctype>
#include <limits>

namespace green {

namespace {

enum TTokenKind { tkEnd, tkIdent, tkInteger, tkString, tkSymbol };

struct TToken {
  TTokenKind Kind = tkEnd;
  std::string Text;
  int64_t Integer = 0;
  int Line = 1;
};

bool IsIdentStart(char C) { return std::isalpha(static_cast<unsigned char>(C)) || C == '_'; }
bool IsIdentChar(char C) { return IsIdentStart(C) || std::isdigit(static_cast<unsigned char>(C)) || C == '.'; }
bool IsDigit(char C) { return std::isdigit(static_cast<unsigned char>(C)) != 0; }

class TLexer {
 public:
  TLexer(std::string_view Text, const std::string& Source) : FText(Text), FSource(Source) {}

  [[noreturn]] void Fail(int Line, const std::string& What) const {
    throw EFormError(FSource + " line " + std::to_string(Line) + ": " + What);
  }

  TToken Next() {
    SkipBlanks();
    TToken T;
    T.Line = FLine;
    if (FPos >= FText.size()) return T;
    const char C = FText[FPos];
    if (IsIdentStart(C)) return Ident(T);
    if (IsDigit(C) || (C == '-' && FPos + 1 < FText.size() && IsDigit(FText[FPos + 1])))
      return Integer(T);
    if (C == '\'') return String(T);
    if (C == ':' || C == '=' || C == '[' || C == ']' || C == '(' || C == ')' || C == ',') {
      T.Kind = tkSymbol;
      T.Text = std::string(1, C);
      ++FPos;
      return T;
    }
    Fail(FLine, "unexpected character '" + std::string(1, C) + "'");
  }

 private:
  void SkipBlanks() {
    while (FPos < FText.size()) {
      const char C = FText[FPos];
      if (C == '#') {
        while (FPos < FText.size() && FText[FPos] != '\n') ++FPos;
      } else if (C == '\n') {
        ++FLine, ++FPos;
      } else if (C == ' ' || C == '\t' || C == '\r') {
        ++FPos;
      } else {
        return;
      }
    }
  }

  TToken Ident(TToken T) {
    const size_t Start = FPos;
    while (FPos < FText.size() && IsIdentChar(FText[FPos])) ++FPos;
    T.Kind = tkIdent;
    T.Text = std::string(FText.substr(Start, FPos - Start));
    return T;
  }

  TToken Integer(TToken T) {
    const bool Negative = FText[FPos] == '-';
    if (Negative) ++FPos;
    int64_t Value = 0;
    while (FPos < FText.size() && IsDigit(FText[FPos])) {
      Value = Value * 10 + (FText[FPos++] - '0');
      if (Value > std::numeric_limits<int32_t>::max()) Fail(FLine, "number out of range");
    }
    if (FPos < FText.size() && IsIdentChar(FText[FPos])) Fail(FLine, "malformed number");
    T.Kind = tkInteger;
    T.Integer = Negative ? -Value : Value;
    return T;
  }

  TToken String(TToken T) {
    T.Kind = tkString;
    for (++FPos;; ++FPos) {
      if (FPos >= FText.size() || FText[FPos] == '\n') Fail(T.Line, "unterminated string");
      if (FText[FPos] == '\'') {
        if (FPos + 1 < FText.size() && FText[FPos + 1] == '\'') {
          T.Text += '\'';
          ++FPos;
          continue;
        }
        ++FPos;
        return T;
      }
      T.Text += FText[FPos];
    }
  }

  std::string_view FText;
  const std::string& FSource;
  size_t FPos = 0;
  int FLine = 1;
};

class TParser {
 public:
  TParser(std::string_view Text, const std::string& Source) : FLexer(Text, Source) { Advance(); }

  TFormObject Root() {
    TFormObject Root = Object();
    if (FToken.Kind != tkEnd) Fail("text after the last 'end'");
    return Root;
  }

 private:
  void Advance() { FToken = FLexer.Next(); }
  [[noreturn]] void Fail(const std::string& What) const { FLexer.Fail(FToken.Line, What); }
  bool IsSymbol(char C) const { return FToken.Kind == tkSymbol && FToken.Text[0] == C; }
  bool IsWord(const char* Word) const { return FToken.Kind == tkIdent && FToken.Text == Word; }

  void Expect(char C) {
    if (!IsSymbol(C)) Fail(std::string("expected '") + C + "'");
    Advance();
  }

  std::string ExpectIdent(const char* What) {
    if (FToken.Kind != tkIdent) Fail(std::string("expected ") + What);
    std::string Text = FToken.Text;
    Advance();
    return Text;
  }

  TFormObject Object() {
    if (!IsWord("object")) Fail("expected 'object'");
    TFormObject Obj;
    Obj.Line = FToken.Line;
    Advance();
    Obj.Name = ExpectIdent("an object name");
    Expect(':');
    Obj.ClassName = ExpectIdent("a class name");
    while (!IsWord("end")) {
      if (FToken.Kind == tkEnd) FLexer.Fail(Obj.Line, "object " + Obj.Name + " has no 'end'");
      if (IsWord("object")) {
        Obj.Children.push_back(Object());
        continue;
      }
      std::string Name = ExpectIdent("a property name");
      Expect('=');
      Obj.Properties.emplace_back(std::move(Name), Value());
    }
    Advance();
    return Obj;
  }

  TFormValue Value() {
    TFormValue V;
    V.Line = FToken.Line;
    if (IsSymbol('[')) return Items(V, fvSet, ']');
    if (IsSymbol('(')) return Items(V, fvList, ')');
    switch (FToken.Kind) {
      case tkInteger: V.Kind = fvInteger, V.Integer = FToken.Integer; break;
      case tkIdent: V.Kind = fvIdent, V.Text = FToken.Text; break;
      case tkString: V.Kind = fvString, V.Text = FToken.Text; break;
      default: Fail("expected a value");
    }
    Advance();
    return V;
  }

  // A set holds identifiers separated by commas, a list strings side by side.
  TFormValue Items(TFormValue V, TFormValueKind Kind, char Close) {
    V.Kind = Kind;
    Advance();
    while (!IsSymbol(Close)) {
      if (Kind == fvSet && !V.Items.empty()) Expect(',');
      if (FToken.Kind != (Kind == fvSet ? tkIdent : tkString))
        Fail(Kind == fvSet ? "expected an identifier in the set" : "expected a string in the list");
      V.Items.push_back(FToken.Text);
      Advance();
    }
    Advance();
    return V;
  }

  TLexer FLexer;
  TToken FToken;
};

}  // namespace

TFormObject ParseFormText(std::string_view Text, const std::string& Source) {
  return TParser(Text, Source).Root();
}

}  // namespace green
