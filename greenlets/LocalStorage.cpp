#include "greenlets/LocalStorage.h"

#include <algorithm>

namespace green {

TLocalStorage::~TLocalStorage() { Clear(); }

void TLocalStorage::Dispose(TObject* Value) {
  if (auto* counted = dynamic_cast<IInterface*>(Value))
    counted->_Release();
  else
    delete Value;
}

void TLocalStorage::SetValue(const std::string& Key, TObject* Value) {
  if (FStorage.count(Key)) throw Exception("Duplicates not allowed");
  if (auto* counted = dynamic_cast<IInterface*>(Value)) counted->_AddRef();
  FStorage.emplace(Key, Value);
}

TObject* TLocalStorage::GetValue(const std::string& Key) const {
  auto it = FStorage.find(Key);
  return it == FStorage.end() ? nullptr : it->second;
}

void TLocalStorage::UnsetValue(const std::string& Key) { FStorage.erase(Key); }

void TLocalStorage::UnsetValue(TObject* Value) {
  auto it = std::find_if(FStorage.begin(), FStorage.end(),
                         [&](const auto& kv) { return kv.second == Value; });
  if (it != FStorage.end()) FStorage.erase(it);
}

bool TLocalStorage::IsExists(const std::string& Key) const { return FStorage.count(Key) != 0; }

bool TLocalStorage::IsExists(TObject* Value) const {
  return std::any_of(FStorage.begin(), FStorage.end(),
                     [&](const auto& kv) { return kv.second == Value; });
}

// The map is emptied first: disposing an object may look into the storage.
void TLocalStorage::Clear() {
  auto items = std::move(FStorage);
  FStorage.clear();
  for (auto& [key, value] : items) Dispose(value);
}

void TUniValue::Assign(const TPersistent* Source) {
  if (!Source || !Source->ClassIsAncestorOf(this)) return;
  auto* src = static_cast<const TUniValue*>(Source);
  StrValue = src->StrValue;
  IntValue = src->IntValue;
  FloatValue = src->FloatValue;
  DoubleValue = src->DoubleValue;
  Int64Value = src->Int64Value;
}

TGreenEnvironmentImpl::~TGreenEnvironmentImpl() {
  auto names = FNames;
  for (auto& name : names) UnsetValue(name);
}

void TGreenEnvironmentImpl::SetValue(const std::string& Name, TObject* Value) {
  if (FStorage.IsExists(Name)) {
    TObject* old = FStorage.GetValue(Name);
    FStorage.UnsetValue(Name);
    TLocalStorage::Dispose(old);
  } else {
    FNames.push_back(Name);
  }
  FStorage.SetValue(Name, Value);
}

TObject* TGreenEnvironmentImpl::GetValue(const std::string& Name) { return FStorage.GetValue(Name); }

void TGreenEnvironmentImpl::UnsetValue(const std::string& Name) {
  if (!FStorage.IsExists(Name)) return;
  TObject* old = FStorage.GetValue(Name);
  FNames.erase(std::find(FNames.begin(), FNames.end(), Name));
  FStorage.UnsetValue(Name);
  TLocalStorage::Dispose(old);
}

void TGreenEnvironmentImpl::Clear() {
  while (!FNames.empty()) {
    const std::string name = FNames.front();  // a copy: the entry is erased
    UnsetValue(name);
  }
}

TUniValue* TGreenEnvironmentImpl::GetUniValue(const std::string& Name) {
  TObject* value = FStorage.GetValue(Name);
  if (auto* uni = dynamic_cast<TUniValue*>(value)) return uni;
  if (value) UnsetValue(Name);
  auto* uni = new TUniValue;
  SetValue(Name, uni);
  return uni;
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
  for (const std::string& name : FNames)
    if (!dynamic_cast<TPersistent*>(FStorage.GetValue(name))) return false;
  return true;
}

// Values that are not persistent cannot be copied and are left out.
RefPtr<TGreenEnvironmentImpl> TGreenEnvironmentImpl::Copy() {
  auto copy = MakeRef<TGreenEnvironmentImpl>();
  for (auto& name : FNames) {
    auto* value = dynamic_cast<TPersistent*>(FStorage.GetValue(name));
    if (!value) continue;
    TPersistent* dup = value->NewInstance();
    dup->Assign(value);
    copy->SetValue(name, dup);
  }
  return copy;
}

}  // namespace green
