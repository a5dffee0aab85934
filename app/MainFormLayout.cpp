#include "app/MainFormLayout.h"

#include <algorithm>
#include <utility>

namespace green {

namespace {

const std::string kSource = "TMAINFORM";
// The handlers TMainForm has; an event may name only these.
constexpr const char* kHandlers[] = {"Label1Click"};

template <typename T>
using TChoices = std::vector<std::pair<const char*, T>>;

const TChoices<TColor>& Colors() {
  static const TChoices<TColor> Table{
      {"clBtnFace", {true, TColor::kBtnFace}}, {"clWindow", {true, TColor::kWindow}},
      {"clWindowText", {true, TColor::kWindowText}}, {"clRed", {false, 0xFF0000}},
      {"clBlack", {false, 0x000000}}, {"clWhite", {false, 0xFFFFFF}},
      {"clBlue", {false, 0x0000FF}}, {"clNavy", {false, 0x000080}}};
  return Table;
}

// Reads the properties of one object, each at most once; Finish() rejects
// any that nothing asked for, so a misspelt name is an error, not a no-op.
class TPropertyReader {
 public:
  explicit TPropertyReader(const TFormObject& Obj) : FObj(Obj), FUsed(Obj.Properties.size()) {
    for (size_t I = 0; I < Obj.Properties.size(); ++I)
      for (size_t K = 0; K < I; ++K)
        if (Obj.Properties[K].first == Obj.Properties[I].first)
          Fail(Obj.Properties[I].second.Line, "property " + Obj.Properties[I].first + " given twice");
  }

  [[noreturn]] void Fail(int Line, const std::string& What) const {
    throw EFormError(kSource + " line " + std::to_string(Line) + ": " + What);
  }

  [[noreturn]] void FailHere(const std::string& What) const { Fail(FObj.Line, What); }

  const TFormValue* Find(const std::string& Name) {
    for (size_t I = 0; I < FObj.Properties.size(); ++I) {
      if (FObj.Properties[I].first != Name) continue;
      FUsed[I] = true;
      return &FObj.Properties[I].second;
    }
    return nullptr;
  }

  const TFormValue& Get(const std::string& Name, TFormValueKind Kind) {
    const TFormValue* V = Find(Name);
    if (!V) FailHere(FObj.Name + " has no " + Name);
    static const char* const kKinds[] = {"an integer", "an identifier", "a string", "a set", "a list"};
    if (V->Kind != Kind) Fail(V->Line, Name + " must be " + kKinds[Kind]);
    return *V;
  }

  int Integer(const std::string& Name, int Min, int Max) {
    const TFormValue& V = Get(Name, fvInteger);
    if (V.Integer < Min || V.Integer > Max)
      Fail(V.Line, Name + " must be between " + std::to_string(Min) + " and " + std::to_string(Max));
    return static_cast<int>(V.Integer);
  }

  std::string String(const std::string& Name) { return Get(Name, fvString).Text; }
  std::vector<std::string> List(const std::string& Name) { return Get(Name, fvList).Items; }

  template <typename T>
  T Choice(const std::string& Name, const TChoices<T>& Choices) {
    const TFormValue& V = Get(Name, fvIdent);
    for (const auto& [Text, Value] : Choices)
      if (V.Text == Text) return Value;
    Fail(V.Line, "unsupported " + Name + " " + V.Text);
  }

  template <typename T>
  T Choice(const std::string& Name, const TChoices<T>& Choices, T Default) {
    return Find(Name) ? Choice(Name, Choices) : Default;
  }

  std::vector<std::string> Set(const std::string& Name, std::initializer_list<const char*> Allowed) {
    const TFormValue& V = Get(Name, fvSet);
    for (const std::string& Item : V.Items)
      if (std::none_of(Allowed.begin(), Allowed.end(), [&](const char* A) { return Item == A; }))
        Fail(V.Line, "unsupported " + Name + " " + Item);
    return V.Items;
  }

  bool Has(const std::string& Name) const {
    return std::any_of(FObj.Properties.begin(), FObj.Properties.end(),
                       [&](const auto& P) { return P.first == Name; });
  }

  void Finish() const {
    for (size_t I = 0; I < FUsed.size(); ++I)
      if (!FUsed[I])
        Fail(FObj.Properties[I].second.Line, "unknown property " + FObj.Properties[I].first + " of " + FObj.Name);
  }

 private:
  const TFormObject& FObj;
  std::vector<bool> FUsed;
};

// A control's font starts as its form's and takes the Font.* it names.
TFontDesc ReadFont(TPropertyReader& R, TFontDesc Font) {
  if (R.Has("Font.Charset")) R.Choice<int>("Font.Charset", {{"DEFAULT_CHARSET", 1}});
  if (R.Has("Font.Name")) Font.Name = R.String("Font.Name");
  if (R.Has("Font.Height")) Font.Height = R.Integer("Font.Height", -1000, 1000);
  if (R.Has("Font.Color")) Font.Color = R.Choice("Font.Color", Colors());
  if (R.Has("Font.Style")) {
    const auto Style = R.Set("Font.Style", {"fsBold", "fsItalic", "fsUnderline"});
    auto Has = [&](const char* S) { return std::find(Style.begin(), Style.end(), S) != Style.end(); };
    Font.Bold = Has("fsBold");
    Font.Italic = Has("fsItalic");
    Font.Underline = Has("fsUnderline");
  }
  if (Font.Name.empty() || Font.Height == 0) R.FailHere("a font needs a name and a height");
  return Font;
}

TBounds ReadBounds(TPropertyReader& R, const char* Width, const char* Height) {
  return {R.Integer("Left", -10000, 10000), R.Integer("Top", -10000, 10000),
          R.Integer(Width, 1, 10000), R.Integer(Height, 1, 10000)};
}

TMemoDesc ReadMemo(const TFormObject& Obj, const TFontDesc& FormFont) {
  TPropertyReader R(Obj);
  TMemoDesc Memo;
  Memo.Name = Obj.Name;
  Memo.Bounds = ReadBounds(R, "Width", "Height");
  Memo.Align = R.Choice<TAlign>("Align", {{"alNone", alNone}, {"alTop", alTop}}, alNone);
  Memo.Font = ReadFont(R, FormFont);
  Memo.Color = R.Choice("Color", Colors(), Memo.Color);
  Memo.TabOrder = R.Has("TabOrder") ? R.Integer("TabOrder", 0, 1000) : 0;
  Memo.Lines = R.Has("Lines.Strings") ? R.List("Lines.Strings") : std::vector<std::string>{};
  R.Finish();
  return Memo;
}

TLabelDesc ReadLabel(const TFormObject& Obj, const TFontDesc& FormFont) {
  TPropertyReader R(Obj);
  TLabelDesc Label;
  Label.Name = Obj.Name;
  Label.Bounds = ReadBounds(R, "Width", "Height");
  Label.Caption = R.String("Caption");
  Label.Cursor = R.Choice<TCursor>("Cursor", {{"crDefault", crDefault}, {"crHandPoint", crHandPoint}},
                                   crDefault);
  Label.Font = ReadFont(R, FormFont);
  Label.AutoSize = R.Choice<bool>("AutoSize", {{"True", true}, {"False", false}}, true);
  if (const TFormValue* V = R.Find("OnClick")) {
    if (V->Kind != fvIdent || std::none_of(std::begin(kHandlers), std::end(kHandlers),
                                           [&](const char* H) { return V->Text == H; }))
      R.Fail(V->Line, "OnClick names no handler of TMainForm");
    Label.OnClick = V->Text;
  }
  R.Finish();
  return Label;
}

void ReadControls(const TFormObject& Form, TMainFormLayout& Layout) {
  bool HasMemo = false, HasLabel = false;
  for (const TFormObject& Child : Form.Children) {
    bool& Seen = Child.ClassName == "TMemo" ? HasMemo : HasLabel;
    if (Child.ClassName != "TMemo" && Child.ClassName != "TLabel")
      throw EFormError(kSource + " line " + std::to_string(Child.Line) + ": unsupported control class " +
                       Child.ClassName);
    if (Seen)
      throw EFormError(kSource + " line " + std::to_string(Child.Line) + ": a second " + Child.ClassName);
    Seen = true;
    if (Child.ClassName == "TMemo") Layout.Memo = ReadMemo(Child, Layout.Font);
    else Layout.Label = ReadLabel(Child, Layout.Font);
  }
  if (!HasMemo || !HasLabel)
    throw EFormError(kSource + " line " + std::to_string(Form.Line) + ": the form needs a TMemo and a TLabel");
}

}  // namespace

TMainFormLayout ReadMainFormLayout(std::string_view Text) {
  const TFormObject Form = ParseFormText(Text, kSource);
  if (Form.ClassName != "TMainForm")
    throw EFormError(kSource + " line " + std::to_string(Form.Line) + ": the form's class must be TMainForm");
  TPropertyReader R(Form);
  TMainFormLayout Layout;
  Layout.Name = Form.Name;
  Layout.Caption = R.String("Caption");
  Layout.Bounds = ReadBounds(R, "ClientWidth", "ClientHeight");
  Layout.BorderStyle =
      R.Choice<TBorderStyle>("BorderStyle", {{"bsSingle", bsSingle}, {"bsToolWindow", bsToolWindow}});
  Layout.Position =
      R.Choice<TPosition>("Position", {{"poDesigned", poDesigned}, {"poDesktopCenter", poDesktopCenter}});
  Layout.Color = R.Choice("Color", Colors(), Layout.Color);
  Layout.Font = ReadFont(R, TFontDesc{"", 0, {true, TColor::kWindowText}});
  // The layout is in pixels of a 96 DPI screen; nothing here rescales it.
  Layout.PixelsPerInch = R.Integer("PixelsPerInch", 96, 96);
  Layout.TextHeight = R.Integer("TextHeight", 1, 1000);
  R.Finish();
  ReadControls(Form, Layout);
  return Layout;
}

std::string PromptText(const TMainFormLayout& Layout, const std::string& Url) {
  std::string Text;
  for (const std::string& Line : Layout.Memo.Lines) Text += Line + "\n";
  Text += "\n" + Layout.Label.Caption + ": " + Url + "\n";
  return Text;
}

}  // namespace green
