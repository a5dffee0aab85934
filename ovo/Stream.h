// A byte stream of our own, and the adapter that makes a provider one.
// The adapter's reads and writes go through hooks bound to the provider;
// a count's sign keeps the provider's meaning (positive: all of it,
// negative: one pending transfer, 0: what is available).
#pragma once

#include <cstdint>
#include <functional>

#include "base/Object.h"

namespace green {

enum TSeekOrigin : uint8_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream : public TObject {
 public:
  virtual int32_t Read(void* Buffer, int32_t Count) = 0;
  virtual int32_t Write(const void* Buffer, int32_t Count) = 0;
  // The new position.
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
  // The end offset, found by seeking there and back.
  virtual int64_t GetSize();
  virtual void SetSize(int64_t NewSize) = 0;

  int64_t GetPosition() { return Seek(0, soCurrent); }
  void SetPosition(int64_t Value) { Seek(Value, soBeginning); }
};

class TOvoProvider;

class TStreamProxy : public TStream {
 public:
  using TReadHook = std::function<int32_t(void* Buffer, int32_t Count)>;
  using TWriteHook = std::function<int32_t(const void* Buffer, int32_t Count)>;
  using TSeekHook = std::function<int64_t(int64_t Offset, TSeekOrigin Origin)>;

  // The provider is not owned; it owns the adapter.
  explicit TStreamProxy(TOvoProvider* Prov);

  int32_t Read(void* Buffer, int32_t Count) override;
  int32_t Write(const void* Buffer, int32_t Count) override;
  // Without a seek hook the position is always 0.
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  // What SetSize stored; else, with a seek hook, the end offset; else 0.
  int64_t GetSize() override;
  void SetSize(int64_t NewSize) override { FSize = NewSize; }

  TOvoProvider* Provider() const { return FProv; }
  void SetOnSeek(TSeekHook Hook) { FOnSeek = std::move(Hook); }

 private:
  TOvoProvider* FProv;
  TReadHook FOnRead;
  TWriteHook FOnWrite;
  TSeekHook FOnSeek;
  int64_t FSize = -1;  // not set
};

}  // namespace green
