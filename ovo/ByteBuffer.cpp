#include "ovo/ByteBuffer.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace green {

TByteBuffer::~TByteBuffer() { std::free(FData); }

void TByteBuffer::Reserve(size_t Count) {
  if (FCapacity - FSize >= Count) return;
  if (Count > SIZE_MAX / 2 - FSize) throw std::bad_alloc();
  const size_t Capacity = std::max({FSize + Count, FCapacity * 2, size_t{256}});
  void* Data = std::realloc(FData, Capacity);
  if (!Data) throw std::bad_alloc();
  FData = static_cast<char*>(Data);
  FCapacity = Capacity;
}

void TByteBuffer::Append(std::string_view Bytes) {
  if (Bytes.empty()) return;
  Reserve(Bytes.size());
  std::memcpy(FData + FSize, Bytes.data(), Bytes.size());
  FSize += Bytes.size();
}

void TByteBuffer::Insert(std::string_view Bytes) {
  if (Bytes.empty()) return;
  Reserve(Bytes.size());
  std::memmove(FData + Bytes.size(), FData, FSize);
  std::memcpy(FData, Bytes.data(), Bytes.size());
  FSize += Bytes.size();
}

void TByteBuffer::EraseFront(size_t Count) {
  Count = std::min(Count, FSize);
  if (Count == 0) return;
  std::memmove(FData, FData + Count, FSize - Count);
  FSize -= Count;
}

// New room first, so that a failed growth leaves the old bytes.
void TByteBuffer::Assign(std::string_view Bytes) {
  if (Bytes.size() > FCapacity) Reserve(Bytes.size() - FSize);
  if (!Bytes.empty()) std::memmove(FData, Bytes.data(), Bytes.size());
  FSize = Bytes.size();
}

}  // namespace green
