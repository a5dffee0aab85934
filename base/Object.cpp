#include "base/Object.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace green {

std::string TObject::ClassName() const { return ClassNameOf(typeid(*this)); }

std::string ClassNameOf(const std::type_info& Type) {
  const char* Mangled = Type.name();
  int Status = 0;
  std::unique_ptr<char, void (*)(void*)> Demangled(
      abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status), std::free);
  std::string Name = Status == 0 && Demangled ? Demangled.get() : Mangled;
  // Drop namespaces and enclosing classes, but not inside template arguments.
  int Depth = 0;
  size_t Start = 0;
  for (size_t I = 0; I < Name.size(); ++I) {
    char C = Name[I];
    if (C == '<') ++Depth;
    if (C == '>') --Depth;
    if (Depth == 0 && C == ':' && I + 1 < Name.size() && Name[I + 1] == ':') Start = I + 2;
  }
  return Name.substr(Start);
}

}  // namespace green
