// Root of the runtime's class hierarchy: every object the runtime hands
// around by plain pointer derives from TObject, so that it can be destroyed
// through the base, asked for its class name and tested with dynamic_cast.
#pragma once

#include <string>
#include <typeinfo>

namespace green {

class TObject {
 public:
  TObject() = default;
  TObject(const TObject&) = default;
  TObject& operator=(const TObject&) = default;
  virtual ~TObject() = default;

  // The unqualified class name, as a user of the runtime would write it.
  std::string ClassName() const;
};

// The unqualified name of a class, for a class reference without an object.
std::string ClassNameOf(const std::type_info& Type);

// Frees an owned object when it is set, and clears the reference.
template <class T>
struct TFinalizer {
  static void Fin(T*& Value) {
    delete Value;
    Value = nullptr;
  }
};

}  // namespace green
