#include "greenlets/LocalStorage.h"

#include <algorithm>

namespace green {

TLocalStorage::~TLocalStorage() { Clear(); }

void TLocalStorage::Dispose(TObject* Value) {
  if (auto* Counted = dynamic_cast<IInterface*>(Value))
    Counted->_Release();
  else
    delete Value;
}

void TLocalStorage::SetValue(const std::string& Key, TObject* Value) {
  if (FStorage.count(Key)) throw Exception("Duplicates not allowed");
  if (auto* Counted = dynamic_cast<IInterface*>(Value)) Counted->_AddRef();
  FStorage.emplace(Key, Value);
}

TObject* TLocalStorage::GetValue(const std::string& Key) const {
  auto It = FStorage.find(Key);
  return It == FStorage.end() ? nullptr : It->second;
}

void TLocalStorage::UnsetValue(const std::string& Key) { FStorage.erase(Key); }

void TLocalStorage::UnsetValue(TObject* Value) {
  auto It = std::find_if(FStorage.begin(), FStorage.end(),
                         [&](const auto& Kv) { return Kv.second == Value; });
  if (It != FStorage.end()) FStorage.erase(It);
}

bool TLocalStorage::IsExists(const std::string& Key) const { return FStorage.count(Key) != 0; }

bool TLocalStorage::IsExists(TObject* Value) const {
  return std::any_of(FStorage.begin(), FStorage.end(),
                     [&](const auto& Kv) { return Kv.second == Value; });
}

// The map is emptied first: disposing an object may look into the storage.
void TLocalStorage::Clear() {
  auto Items = std::move(FStorage);
  FStorage.clear();
  for (auto& [key, value] : Items) Dispose(value);
}

void TUniValue::Assign(const TPersistent* Source) {
  if (!Source || !Source->ClassIsAncestorOf(this)) return;
  auto* Src = static_cast<const TUniValue*>(Source);
  StrValue = Src->StrValue;
  IntValue = Src->IntValue;
  FloatValue = Src->FloatValue;
  DoubleValue = Src->DoubleValue;
  Int64Value = Src->Int64Value;
}

TGreenEnvironmentImpl::~TGreenEnvironmentImpl() {
  auto Names = FNames;
  for (auto& Name : Names) UnsetValue(Name);
}

void TGreenEnvironmentImpl::SetValue(const std::string& Name, TObject* Value) {
  if (FStorage.IsExists(Name)) {
    TObject* Old = FStorage.GetValue(Name);
    FStorage.UnsetValue(Name);
    TLocalStorage::Dispose(Old);
  } else {
    FNames.push_back(Name);
  }
  FStorage.SetValue(Name, Value);
}

TObject* TGreenEnvironmentImpl::GetValue(const std::string& Name) { return FStorage.GetValue(Name); }

void TGreenEnvironmentImpl::UnsetValue(const std::string& Name) {
  if (!FStorage.IsExists(Name)) return;
  TObject* Old = FStorage.GetValue(Name);
  FNames.erase(std::find(FNames.begin(), FNames.end(), Name));
  FStorage.UnsetValue(Name);
  TLocalStorage::Dispose(Old);
}

void TGreenEnvironmentImpl::Clear() {
  while (!FNames.empty()) {
    const std::string Name = FNames.front();  // a copy: the entry is erased
    UnsetValue(Name);
  }
}

TUniValue* TGreenEnvironmentImpl::GetUniValue(const std::string& Name) {
  TObject* Value = FStorage.GetValue(Name);
  if (auto* Uni = dynamic_cast<TUniValue*>(Value)) return Uni;
  if (Value) UnsetValue(Name);
  auto* Uni = new TUniValue;
  SetValue(Name, Uni);
  return Uni;
}

void TGreenEnvironmentImpl::SetIntValue(const std::string& Name, int32_t Value) {
  GetUniValue(Name)->IntValue = Value;
}
void TGreenEnvironmentImpl::SetStrValue(const std::string& Name, const std::string& Value) {
  GetUniValue(Name)->StrValue = Value;
}
void TGreenEnvironmentImpl::SetFloatValue(const std::string& Name, float Value) {
  GetUniValue(Name)->FloatValue = Value;
}
void TGreenEnvironmentImpl::SetDoubleValue(const std::string& Name, double Value) {
  GetUniValue(Name)->DoubleValue = Value;
}
void TGreenEnvironmentImpl::SetInt64Value(const std::string& Name, int64_t Value) {
  GetUniValue(Name)->Int64Value = Value;
}
int32_t TGreenEnvironmentImpl::GetIntValue(const std::string& Name) {
  return GetUniValue(Name)->IntValue;
}
std::string TGreenEnvironmentImpl::GetStrValue(const std::string& Name) {
  return GetUniValue(Name)->StrValue;
}
float TGreenEnvironmentImpl::GetFloatValue(const std::string& Name) {
  return GetUniValue(Name)->FloatValue;
}
double TGreenEnvironmentImpl::GetDoubleValue(const std::string& Name) {
  return GetUniValue(Name)->DoubleValue;
}
int64_t TGreenEnvironmentImpl::GetInt64Value(const std::string& Name) {
  return GetUniValue(Name)->Int64Value;
}

bool TGreenEnvironmentImpl::Shareable() const {
  for (const std::string& Name : FNames)
    if (!dynamic_cast<TPersistent*>(FStorage.GetValue(Name))) return false;
  return true;
}

// Values that are not persistent cannot be copied and are left out.
RefPtr<TGreenEnvironmentImpl> TGreenEnvironmentImpl::Copy() {
  auto Copy = MakeRef<TGreenEnvironmentImpl>();
  for (auto& Name : FNames) {
    auto* Value = dynamic_cast<TPersistent*>(FStorage.GetValue(Name));
    if (!Value) continue;
    TPersistent* Dup = Value->NewInstance();
    Dup->Assign(Value);
    Copy->SetValue(Name, Dup);
  }
  return Copy;
}

}  // namespace green
