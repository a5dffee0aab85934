// The form text: its parser, the typed layout read from it, and the
// install prompt's own TMAINFORM.
#include <gtest/gtest.h>

#include <string>

#include "app/FormText.h"
#include "app/MainFormLayout.h"
#include "app/fmMain.h"

namespace green {
namespace {

std::string ErrorOf(const std::string& Text) {
  try {
    ReadMainFormLayout(Text);
  } catch (const EFormError& E) {
    return E.Message();
  }
  return "no error";
}

TEST(FormText, ParsesValuesOfEveryKindAndNestedObjects) {
  const TFormObject Form = ParseFormText(
      "# comment line\n"
      "object Top: TThing   # trailing comment\n"
      "  Count = -12\n"
      "  Kind = alTop\n"
      "  Font.Name = 'It''s #1'\n"
      "  Style = [fsBold, fsUnderline]\n"
      "  Empty = []\n"
      "  Lines = (\n"
      "    'one'\n"
      "    ''\n"
      "    'три')\n"
      "  object Inner: TPart\n"
      "    Width = 5\n"
      "  end\n"
      "end\n",
      "test");
  EXPECT_EQ(Form.Name, "Top");
  EXPECT_EQ(Form.ClassName, "TThing");
  ASSERT_EQ(Form.Properties.size(), 6u);
  EXPECT_EQ(Form.Properties[0].first, "Count");
  EXPECT_EQ(Form.Properties[0].second.Kind, fvInteger);
  EXPECT_EQ(Form.Properties[0].second.Integer, -12);
  EXPECT_EQ(Form.Properties[0].second.Line, 3);
  EXPECT_EQ(Form.Properties[1].second.Kind, fvIdent);
  EXPECT_EQ(Form.Properties[1].second.Text, "alTop");
  EXPECT_EQ(Form.Properties[2].first, "Font.Name");
  EXPECT_EQ(Form.Properties[2].second.Text, "It's #1");
  EXPECT_EQ(Form.Properties[3].second.Items, (std::vector<std::string>{"fsBold", "fsUnderline"}));
  EXPECT_EQ(Form.Properties[4].second.Kind, fvSet);
  EXPECT_TRUE(Form.Properties[4].second.Items.empty());
  EXPECT_EQ(Form.Properties[5].second.Items, (std::vector<std::string>{"one", "", "три"}));
  ASSERT_EQ(Form.Children.size(), 1u);
  EXPECT_EQ(Form.Children[0].ClassName, "TPart");
  EXPECT_EQ(Form.Children[0].Line, 12);
}

TEST(FormText, MalformedTextNamesTheLine) {
  auto Error = [](const char* Text) {
    try {
      ParseFormText(Text, "F");
    } catch (const EFormError& E) {
      return E.Message();
    }
    return std::string("no error");
  };
  EXPECT_EQ(Error("object A: T\n  X = 'open\nend"), "F line 2: unterminated string");
  EXPECT_EQ(Error("object A: T\n  X 5\nend"), "F line 2: expected '='");
  EXPECT_EQ(Error("object A: T\n  X = 5\n"), "F line 1: object A has no 'end'");
  EXPECT_EQ(Error("object A T\nend"), "F line 1: expected ':'");
  EXPECT_EQ(Error("object A: T\nend\nend"), "F line 3: text after the last 'end'");
  EXPECT_EQ(Error("object A: T\n  X = [a b]\nend"), "F line 2: expected ','");
  EXPECT_EQ(Error("object A: T\n  X = (5)\nend"), "F line 2: expected a string in the list");
  EXPECT_EQ(Error("object A: T\n  X = 99999999999\nend"), "F line 2: number out of range");
  EXPECT_EQ(Error("object A: T\n  X = 12ab\nend"), "F line 2: malformed number");
  EXPECT_EQ(Error("object A: T\n  X = @\nend"), "F line 2: unexpected character '@'");
  EXPECT_EQ(Error(""), "F line 1: expected 'object'");
}

TEST(MainFormLayout, TheInstallPromptAsDesigned) {
  const TMainFormLayout L = ReadMainFormLayout(MainFormResource());
  EXPECT_EQ(L.Name, "MainForm");
  EXPECT_EQ(L.Caption, "Установите .NET");
  EXPECT_EQ(L.Bounds, (TBounds{0, 0, 303, 140}));
  EXPECT_EQ(L.BorderStyle, bsToolWindow);
  EXPECT_EQ(L.Position, poDesktopCenter);
  EXPECT_EQ(L.Color, (TColor{true, TColor::kBtnFace}));
  EXPECT_EQ(L.Font.Name, "Tahoma");
  EXPECT_EQ(L.Font.Height, -11);
  EXPECT_EQ(L.Font.Color, (TColor{true, TColor::kWindowText}));
  EXPECT_EQ(L.PixelsPerInch, 96);
  EXPECT_EQ(L.TextHeight, 13);

  EXPECT_EQ(L.Memo.Name, "Memo1");
  EXPECT_EQ(L.Memo.Bounds, (TBounds{0, 0, 303, 65}));
  EXPECT_EQ(L.MemoBounds(), (TBounds{0, 0, 303, 65}));
  EXPECT_EQ(L.Memo.Align, alTop);
  EXPECT_EQ(L.Memo.Font.Name, "Tahoma");
  EXPECT_EQ(L.Memo.Font.Height, -11);
  EXPECT_EQ(L.Memo.Font.Color.DefaultRgb(), 0xFF0000u);
  EXPECT_FALSE(L.Memo.Font.Underline);
  EXPECT_EQ(L.Memo.TabOrder, 0);
  EXPECT_EQ(L.Memo.Lines, (std::vector<std::string>{"На вашем компьютере не установлен .NET работа ",
                                                   "приложения не возможна", "",
                                                   "После установки перезапустите приложение!!!"}));

  EXPECT_EQ(L.Label.Name, "Label1");
  EXPECT_EQ(L.Label.Bounds, (TBounds{72, 88, 147, 23}));
  EXPECT_EQ(L.Label.Caption, "Установить .NET");
  EXPECT_EQ(L.Label.Cursor, crHandPoint);
  EXPECT_EQ(L.Label.Font.Name, "Tahoma");
  EXPECT_EQ(L.Label.Font.Height, -19);
  EXPECT_EQ(L.Label.Font.Color.DefaultRgb(), 0xFF0000u);
  EXPECT_TRUE(L.Label.Font.Underline);
  EXPECT_FALSE(L.Label.Font.Bold);
  EXPECT_EQ(L.Label.OnClick, "Label1Click");
}

// A minimal valid form, to which each case below adds one fault.
std::string Form(const std::string& FormExtra, const std::string& MemoExtra = "",
                 const std::string& LabelExtra = "") {
  return "object F: TMainForm\n"
         "  Caption = 'c'\n  Left = 0\n  Top = 0\n  ClientWidth = 300\n  ClientHeight = 100\n"
         "  BorderStyle = bsSingle\n  Position = poDesigned\n  Font.Name = 'A'\n  Font.Height = -9\n"
         "  PixelsPerInch = 96\n  TextHeight = 13\n" +
         FormExtra +
         "  object M: TMemo\n    Left = 1\n    Top = 2\n    Width = 50\n    Height = 20\n" + MemoExtra +
         "  end\n"
         "  object L: TLabel\n    Left = 3\n    Top = 4\n    Width = 10\n    Height = 5\n    Caption = 'x'\n" +
         LabelExtra + "  end\nend\n";
}

TEST(MainFormLayout, ControlsInheritTheFormFontUnlessTheyNameTheirOwn) {
  const TMainFormLayout L = ReadMainFormLayout(Form("", "    Font.Style = [fsBold]\n", "    Font.Height = -30\n"));
  EXPECT_EQ(L.Memo.Font.Name, "A");
  EXPECT_EQ(L.Memo.Font.Height, -9);
  EXPECT_TRUE(L.Memo.Font.Bold);
  EXPECT_EQ(L.Label.Font.Name, "A");
  EXPECT_EQ(L.Label.Font.Height, -30);
  EXPECT_FALSE(L.Label.Font.Bold);
  EXPECT_EQ(L.Label.Cursor, crDefault);
  EXPECT_EQ(L.Label.OnClick, "");
  // Without alignment the memo keeps its own bounds.
  EXPECT_EQ(L.MemoBounds(), (TBounds{1, 2, 50, 20}));
}

TEST(MainFormLayout, AlignedToTheTopTheMemoSpansTheClientWidth) {
  const TMainFormLayout L = ReadMainFormLayout(Form("", "    Align = alTop\n"));
  EXPECT_EQ(L.MemoBounds(), (TBounds{0, 0, 300, 20}));
}

TEST(MainFormLayout, RejectsWhatTheWindowCannotShow) {
  EXPECT_EQ(ErrorOf(Form("  Colour = clRed\n")), "TMAINFORM line 13: unknown property Colour of F");
  EXPECT_EQ(ErrorOf(Form("  Caption = 'again'\n")), "TMAINFORM line 13: property Caption given twice");
  EXPECT_EQ(ErrorOf(Form("", "    Align = alBottom\n")), "TMAINFORM line 18: unsupported Align alBottom");
  EXPECT_EQ(ErrorOf(Form("", "", "    OnClick = FormClose\n")),
            "TMAINFORM line 25: OnClick names no handler of TMainForm");
  EXPECT_EQ(ErrorOf(Form("", "", "    Font.Style = [fsStrikeOut]\n")),
            "TMAINFORM line 25: unsupported Font.Style fsStrikeOut");
  EXPECT_EQ(ErrorOf(Form("", "    TabOrder = 'x'\n")), "TMAINFORM line 18: TabOrder must be an integer");
  EXPECT_EQ(ErrorOf(Form("  Color = 5\n")), "TMAINFORM line 13: Color must be an identifier");
  EXPECT_EQ(ErrorOf(Form("  object X: TButton\n  end\n")), "TMAINFORM line 13: unsupported control class TButton");
  EXPECT_EQ(ErrorOf("object F: TOtherForm\nend\n"), "TMAINFORM line 1: the form's class must be TMainForm");
  EXPECT_EQ(ErrorOf("object F: TMainForm\n  Caption = 'c'\nend\n"), "TMAINFORM line 1: F has no Left");
  std::string NoLabel = Form("");
  NoLabel.erase(NoLabel.find("  object L"), NoLabel.rfind("  end") - NoLabel.find("  object L") + 6);
  EXPECT_EQ(ErrorOf(NoLabel), "TMAINFORM line 1: the form needs a TMemo and a TLabel");
  std::string Scaled = Form("");
  Scaled.replace(Scaled.find("PixelsPerInch = 96"), 18, "PixelsPerInch = 120");
  EXPECT_EQ(ErrorOf(Scaled), "TMAINFORM line 11: PixelsPerInch must be between 96 and 96");
}

TEST(MainFormLayout, PromptTextForWhereNoWindowCanBeShown) {
  const TMainFormLayout L = ReadMainFormLayout(MainFormResource());
  EXPECT_EQ(PromptText(L, kDownloadUrl),
            "На вашем компьютере не установлен .NET работа \n"
            "приложения не возможна\n"
            "\n"
            "После установки перезапустите приложение!!!\n"
            "\n"
            "Установить .NET: https://www.microsoft.com/ru-ru/download/details.aspx?id=30653\n");
}

}  // namespace
}  // namespace green
