// A small text form description: objects with properties and nested
// objects, the way the install prompt's layout (the TMAINFORM resource) is
// written. The parser only builds the tree; MainFormLayout.h gives it
// meaning.
//
//   object Name: TClass        # '#' starts a comment to the end of the line
//     Width = 303              # integer (optional minus sign)
//     Align = alTop            # identifier, dots allowed (Font.Height)
//     Caption = 'It''s here'   # string: UTF-8, a doubled quote is one quote
//     Font.Style = [fsBold]    # set of identifiers, comma separated
//     Lines = ('one' 'two')    # list of strings
//     object Child: TClass ... end
//   end
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/Exception.h"

namespace green {

// Malformed or meaningless form text; the message names the line.
GREEN_EXCEPTION(EFormError, Exception);

enum TFormValueKind { fvInteger, fvIdent, fvString, fvSet, fvList };

struct TFormValue {
  TFormValueKind Kind = fvInteger;
  int64_t Integer = 0;
  std::string Text;                // fvIdent, fvString
  std::vector<std::string> Items;  // fvSet, fvList
  int Line = 0;
};

struct TFormObject {
  std::string Name;
  std::string ClassName;
  std::vector<std::pair<std::string, TFormValue>> Properties;
  std::vector<TFormObject> Children;
  int Line = 0;
};

// The one top-level object of Text. Raises EFormError with
// "<Source> line <n>: <what>" for anything malformed.
TFormObject ParseFormText(std::string_view Text, const std::string& Source);

}  // namespace green
