// Keyed stores of greenlets and hubs: TLocalStorage (objects by string key)
// and TGreenEnvironmentImpl (named values a new greenlet inherits a copy of).
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "base/Persistent.h"
#include "hub/GInterfaces.h"

namespace green {

// Owns what it holds when cleared: a counted object loses the reference the
// storage took, any other object is freed. Removing a key frees nothing.
class TLocalStorage {
 public:
  TLocalStorage() = default;
  ~TLocalStorage();
  TLocalStorage(const TLocalStorage&) = delete;
  TLocalStorage& operator=(const TLocalStorage&) = delete;

  // Raises Exception("Duplicates not allowed") when Key is present already.
  void SetValue(const std::string& Key, TObject* Value);
  TObject* GetValue(const std::string& Key) const;
  void UnsetValue(const std::string& Key);
  void UnsetValue(TObject* Value);
  bool IsExists(const std::string& Key) const;
  bool IsExists(TObject* Value) const;
  bool IsEmpty() const { return FStorage.empty(); }
  void Clear();
  // Gives up an object the way the storage does: release or free.
  static void Dispose(TObject* Value);

 private:
  std::unordered_map<std::string, TObject*> FStorage;
};

class TUniValue : public TPersistentOf<TUniValue> {
 public:
  void Assign(const TPersistent* Source) override;

  std::string StrValue;
  int32_t IntValue = 0;
  float FloatValue = 0;
  double DoubleValue = 0;
  int64_t Int64Value = 0;
};

class TGreenEnvironmentImpl : public TInterfacedObject, public IGreenEnvironment {
 public:
  TGreenEnvironmentImpl() = default;
  ~TGreenEnvironmentImpl() override;

  // Takes ownership of Value; Value must be a persistent object.
  void SetValue(const std::string& Name, TObject* Value) override;
  TObject* GetValue(const std::string& Name) override;
  void UnsetValue(const std::string& Name) override;
  void Clear() override;
  void SetIntValue(const std::string& Name, int32_t Value) override;
  void SetStrValue(const std::string& Name, const std::string& Value) override;
  void SetFloatValue(const std::string& Name, float Value) override;
  void SetDoubleValue(const std::string& Name, double Value) override;
  void SetInt64Value(const std::string& Name, int64_t Value) override;
  int32_t GetIntValue(const std::string& Name) override;
  std::string GetStrValue(const std::string& Name) override;
  float GetFloatValue(const std::string& Name) override;
  double GetDoubleValue(const std::string& Name) override;
  int64_t GetInt64Value(const std::string& Name) override;

  // A new environment with copies of every value, in the same order.
  RefPtr<TGreenEnvironmentImpl> Copy();
  // Whether Copy keeps every value, so that a copy may wait until a sharer
  // changes it.
  bool Shareable() const;
  TUniValue* GetUniValue(const std::string& Name);
  const std::vector<std::string>& Names() const { return FNames; }

 private:
  TLocalStorage FStorage;
  std::vector<std::string> FNames;
};

}  // namespace green
