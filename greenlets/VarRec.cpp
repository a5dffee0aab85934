#include "greenlets/VarRec.h"

#include <cinttypes>
#include <cstdio>
#include <string>

#include "base/Exception.h"
#include "base/Utf8.h"

namespace green {

namespace {

const char* const kUnit = "Impl\\GreenletsImpl";

[[noreturn]] void CannotConvert(const char* To) {
  throw EAssertionFailed(Format("Can't convert VarRec to %s", To), kUnit, 0);
}

std::string Utf16ToUtf8(const char16_t* S, size_t N) {
  std::string Out;
  for (size_t I = 0; I < N; ++I) {
    uint32_t C = S[I];
    if (C >= 0xD800 && C < 0xDC00 && I + 1 < N && S[I + 1] >= 0xDC00 && S[I + 1] < 0xE000)
      C = 0x10000 + ((C - 0xD800) << 10) + (S[++I] - 0xDC00);
    else if (C >= 0xD800 && C < 0xE000)
      C = 0xFFFD;
    AppendUtf8(Out, C);
  }
  return Out;
}

std::string FloatText(long double V) { return Format("%.15g", static_cast<double>(V)); }

std::string Hex(uintptr_t V) { return Format("%" PRIXPTR, V); }

int64_t VariantToInt64(const TVariant& V) {
  struct TVisit {
    int64_t operator()(std::monostate) const { return 0; }
    int64_t operator()(int64_t V) const { return V; }
    int64_t operator()(double V) const { return static_cast<int64_t>(V < 0 ? V - 0.5 : V + 0.5); }
    int64_t operator()(bool V) const { return V ? -1 : 0; }
    int64_t operator()(const std::string& V) const {
      try {
        size_t Used = 0;
        int64_t R = std::stoll(V, &Used);
        if (Used == V.size()) return R;
      } catch (const std::exception&) {
      }
      throw EConvertError(Format("Could not convert variant of type (String) into type (Int64)"));
    }
  };
  return std::visit(TVisit{}, V);
}

std::string VariantToString(const TVariant& V) {
  struct TVisit {
    std::string operator()(std::monostate) const { return ""; }
    std::string operator()(int64_t V) const { return std::to_string(V); }
    std::string operator()(double V) const { return FloatText(V); }
    std::string operator()(bool V) const { return V ? "True" : "False"; }
    std::string operator()(const std::string& V) const { return V; }
  };
  return std::visit(TVisit{}, V);
}

}  // namespace

int32_t AsInteger(const TVarRec& V) {
  switch (V.VType) {
    case TVarRec::vtInteger:
      return V.VInteger;
    case TVarRec::vtPointer:
      return static_cast<int32_t>(reinterpret_cast<intptr_t>(V.VPointer));
    case TVarRec::vtObject:
      return static_cast<int32_t>(reinterpret_cast<intptr_t>(V.VObject));
    case TVarRec::vtBoolean:
      return V.VBoolean ? 1 : 0;
    case TVarRec::vtVariant:
      return static_cast<int32_t>(VariantToInt64(*V.VVariant));
    case TVarRec::vtInt64:
      return static_cast<int32_t>(*V.VInt64);
    default:
      CannotConvert("Integer");
  }
}

int64_t AsInt64(const TVarRec& V) {
  switch (V.VType) {
    case TVarRec::vtInteger:
    case TVarRec::vtBoolean:
      return AsInteger(V);
    case TVarRec::vtObject:
      return static_cast<int64_t>(reinterpret_cast<uintptr_t>(V.VObject));
    case TVarRec::vtVariant:
      return VariantToInt64(*V.VVariant);
    case TVarRec::vtInt64:
      return *V.VInt64;
    default:
      CannotConvert("Int64");
  }
}

bool TVarRec::AsBoolean() const {
  switch (VType) {
    case vtInteger:
      return AsInteger(*this) != 0;
    case vtBoolean:
      return VBoolean;
    case vtVariant:
      return VariantToInt64(*VVariant) != 0;
    case vtInt64:
      return AsInt64(*this) != 0;
    default:
      CannotConvert("Boolean");
  }
}

std::string TVarRec::AsString() const {
  switch (VType) {
    case vtInteger:
      return std::to_string(VInteger);
    case vtBoolean:
      return VBoolean ? "True" : "False";
    case vtChar:
      return std::string(1, VChar);
    case vtWideChar:
      return Utf16ToUtf8(&VWideChar, 1);
    case vtExtended:
      return FloatText(*VExtended);
    case vtString:
    case vtAnsiString:
    case vtUnicodeString:
      return *VString;
    case vtPChar:
      return VPChar ? VPChar : "";
    case vtPWideChar: {
      size_t N = 0;
      while (VPWideChar && VPWideChar[N]) ++N;
      return Utf16ToUtf8(VPWideChar, N);
    }
    case vtPointer:
      return Hex(reinterpret_cast<uintptr_t>(VPointer));
    case vtObject:
      return Format("%s instance: %s", VObject ? VObject->ClassName().c_str() : "nil",
                    Hex(reinterpret_cast<uintptr_t>(VObject)).c_str());
    case vtClass:
      return ClassNameOf(*VClass);
    case vtCurrency:
      return FloatText(static_cast<long double>(*VCurrency) / 10000);
    case vtVariant:
      return VariantToString(*VVariant);
    case vtInt64:
      return std::to_string(*VInt64);
    default:
      CannotConvert("String");
  }
}

}  // namespace green
