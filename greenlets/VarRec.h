// Tagged argument values: a kind code and one machine word, or a pointer to
// a larger value. What a value points to is not copied or counted: the
// caller keeps it alive while a greenlet can read it.
#pragma once

#include <cstdint>
#include <string>
#include <typeinfo>
#include <variant>
#include <vector>

#include "base/Object.h"
#include "base/RefCounted.h"

namespace green {

// What a variant value may hold.
using TVariant = std::variant<std::monostate, int64_t, double, bool, std::string>;

struct TVarRec {
  enum TKind : uint8_t {
    vtInteger = 0,
    vtBoolean = 1,
    vtChar = 2,
    vtExtended = 3,
    vtString = 4,
    vtPointer = 5,
    vtPChar = 6,
    vtObject = 7,
    vtClass = 8,
    vtWideChar = 9,
    vtPWideChar = 10,
    vtAnsiString = 11,
    vtCurrency = 12,
    vtVariant = 13,
    vtInterface = 14,
    vtWideString = 15,
    vtInt64 = 16,
    vtUnicodeString = 17,
  };

  TKind VType = vtPointer;
  union {
    int32_t VInteger;
    bool VBoolean;
    char VChar;
    const long double* VExtended;
    const std::string* VString;
    void* VPointer = nullptr;
    const char* VPChar;
    TObject* VObject;
    const std::type_info* VClass;
    char16_t VWideChar;
    const char16_t* VPWideChar;
    const std::string* VAnsiString;
    const int64_t* VCurrency;  // in ten-thousandths
    const TVariant* VVariant;
    IInterface* VInterface;
    const std::u16string* VWideString;
    const int64_t* VInt64;
    const std::string* VUnicodeString;
  };

  TVarRec() = default;
  TVarRec(int32_t V) : VType(vtInteger), VInteger(V) {}
  TVarRec(bool V) : VType(vtBoolean), VBoolean(V) {}
  TVarRec(char V) : VType(vtChar), VChar(V) {}
  TVarRec(const char* V) : VType(vtPChar), VPChar(V) {}
  TVarRec(TObject* V) : VType(vtObject), VObject(V) {}
  TVarRec(const std::string& V) : VType(vtUnicodeString), VUnicodeString(&V) {}
  TVarRec(const int64_t& V) : VType(vtInt64), VInt64(&V) {}
  TVarRec(const long double& V) : VType(vtExtended), VExtended(&V) {}
  TVarRec(const TVariant& V) : VType(vtVariant), VVariant(&V) {}
  TVarRec(IInterface* V) : VType(vtInterface), VInterface(V) {}
  static TVarRec Pointer(void* V) {
    TVarRec R;
    R.VType = vtPointer;
    R.VPointer = V;
    return R;
  }
  static TVarRec Class(const std::type_info& V) {
    TVarRec R;
    R.VType = vtClass;
    R.VClass = &V;
    return R;
  }
  static TVarRec Currency(const int64_t& TenThousandths) {
    TVarRec R;
    R.VType = vtCurrency;
    R.VCurrency = &TenThousandths;
    return R;
  }

  // Conversions; a kind they do not take fails with an assertion error.
  bool AsBoolean() const;
  std::string AsString() const;
};

using tTuple = std::vector<TVarRec>;

int32_t AsInteger(const TVarRec& V);
int64_t AsInt64(const TVarRec& V);

}  // namespace green
