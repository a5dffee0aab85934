#include "platform/posix/CRuntimeArguments.h"

namespace green::os {

namespace {

bool IsBlank(char C) { return C == ' ' || C == '\t'; }

class Splitter {
 public:
  explicit Splitter(std::string_view Line) : FLine(Line) {}

  std::vector<std::string> Split() {
    std::vector<std::string> Args;
    SkipBlanks();
    if (AtEnd()) return Args;
    Args.push_back(ProgramName());
    for (SkipBlanks(); !AtEnd(); SkipBlanks()) Args.push_back(Argument());
    return Args;
  }

 private:
  bool AtEnd() const { return FAt == FLine.size(); }
  bool Ends(bool Quoted) const { return AtEnd() || (!Quoted && IsBlank(FLine[FAt])); }
  void SkipBlanks() {
    while (!AtEnd() && IsBlank(FLine[FAt])) ++FAt;
  }

  std::string ProgramName() {
    std::string Name;
    for (bool Quoted = false; !Ends(Quoted); ++FAt) {
      if (FLine[FAt] == '"')
        Quoted = !Quoted;
      else
        Name += FLine[FAt];
    }
    return Name;
  }

  std::string Argument() {
    std::string Arg;
    bool Quoted = false;
    while (!Ends(Quoted)) {
      size_t Slashes = 0;
      for (; !AtEnd() && FLine[FAt] == '\\'; ++FAt) ++Slashes;
      if (AtEnd() || FLine[FAt] != '"') {
        Arg.append(Slashes, '\\');
        if (!Ends(Quoted)) Arg += FLine[FAt++];
        continue;
      }
      Arg.append(Slashes / 2, '\\');
      if (Slashes % 2 == 1) {
        Arg += '"';
      } else if (Quoted && FAt + 1 < FLine.size() && FLine[FAt + 1] == '"') {
        Arg += '"';
        ++FAt;
      } else {
        Quoted = !Quoted;
      }
      ++FAt;
    }
    return Arg;
  }

  std::string_view FLine;
  size_t FAt = 0;
};

}  // namespace

std::vector<std::string> SplitAsCRuntime(std::string_view Line) { return Splitter(Line).Split(); }

}  // namespace green::os
