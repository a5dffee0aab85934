// The install prompt's layout as the window code uses it: the TMAINFORM
// form text read into typed values, with every property checked. Nothing
// of the layout is computed elsewhere; the toolkits only render it. The
// types are plain and inline: the GTK module uses them without linking
// the launcher's code.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/FormText.h"

namespace green {

// A colour: a system colour by its Windows index, or 0xRRGGBB.
struct TColor {
  static constexpr int kWindow = 5;       // COLOR_WINDOW
  static constexpr int kWindowText = 8;   // COLOR_WINDOWTEXT
  static constexpr int kBtnFace = 15;     // COLOR_BTNFACE

  bool IsSystem = false;
  uint32_t Value = 0;  // system index or 0xRRGGBB

  // The colour with the system colours at their classic defaults.
  uint32_t DefaultRgb() const {
    if (!IsSystem) return Value;
    if (Value == kWindow) return 0xFFFFFF;
    return Value == kWindowText ? 0x000000 : 0xF0F0F0;  // kBtnFace
  }
  friend bool operator==(const TColor&, const TColor&) = default;
};

struct TFontDesc {
  std::string Name;
  int Height = 0;  // negative: character height in pixels; positive: cell height
  TColor Color;
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
};

struct TBounds {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;
  friend bool operator==(const TBounds&, const TBounds&) = default;
};

enum TBorderStyle { bsSingle, bsToolWindow };
enum TPosition { poDesigned, poDesktopCenter };
enum TAlign { alNone, alTop };
enum TCursor { crDefault, crHandPoint };

struct TMemoDesc {
  std::string Name;
  TBounds Bounds;
  TAlign Align = alNone;
  TFontDesc Font;
  TColor Color{true, TColor::kWindow};
  int TabOrder = 0;
  std::vector<std::string> Lines;
};

struct TLabelDesc {
  std::string Name;
  TBounds Bounds;
  std::string Caption;
  TCursor Cursor = crDefault;
  TFontDesc Font;
  std::string OnClick;  // handler name; empty for none
  // As a label does by default: its size is its caption's, in its font,
  // so that no font can clip the text. Left and Top stay as designed.
  bool AutoSize = true;
};

struct TMainFormLayout {
  std::string Name;
  std::string Caption;
  TBounds Bounds;  // Left and Top as designed; Width and Height of the client area
  TBorderStyle BorderStyle = bsSingle;
  TPosition Position = poDesigned;
  TColor Color{true, TColor::kBtnFace};
  TFontDesc Font;
  int PixelsPerInch = 96;
  int TextHeight = 0;
  TMemoDesc Memo;
  TLabelDesc Label;

  // Where the memo sits in the client area once its alignment is applied.
  TBounds MemoBounds() const {
    if (Memo.Align != alTop) return Memo.Bounds;
    return {0, 0, Bounds.Width, Memo.Bounds.Height};
  }
};

// Reads a TMainForm form text. Raises EFormError for a wrong class, a
// missing or unknown property, or a value that the window cannot show.
TMainFormLayout ReadMainFormLayout(std::string_view Text);

// The TMAINFORM resource of this program: win32 reads it from the
// executable's resources, posix has it compiled in.
std::string_view MainFormResource();

// The prompt as plain text, for where no window can be shown: the memo's
// lines, then the label's caption with the address it opens.
std::string PromptText(const TMainFormLayout& Layout, const std::string& Url);

}  // namespace green
