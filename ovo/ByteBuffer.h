// A growable run of bytes for the push-back buffer. It grows geometrically
// with realloc, which never fills the new room and, for a large block,
// lets the allocator move pages instead of bytes (glibc uses mremap): what
// is held is never copied in order to append to it.
#pragma once

#include <cstddef>
#include <string_view>

namespace green {

class TByteBuffer {
 public:
  TByteBuffer() = default;
  ~TByteBuffer();
  TByteBuffer(const TByteBuffer&) = delete;
  TByteBuffer& operator=(const TByteBuffer&) = delete;

  char* Data() { return FData; }
  const char* Data() const { return FData; }
  size_t Size() const { return FSize; }
  size_t Capacity() const { return FCapacity; }
  std::string_view View() const { return std::string_view(FData, FSize); }

  // Room for Count more bytes; raises std::bad_alloc and changes nothing
  // when there is none.
  void Reserve(size_t Count);
  void Append(std::string_view Bytes);
  // Bytes in front; Bytes must not point into this buffer.
  void Insert(std::string_view Bytes);
  void EraseFront(size_t Count);
  void Truncate(size_t Size) { FSize = Size < FSize ? Size : FSize; }
  void Clear() { FSize = 0; }
  void Assign(std::string_view Bytes);

 private:
  char* FData = nullptr;
  size_t FSize = 0;
  size_t FCapacity = 0;
};

}  // namespace green
