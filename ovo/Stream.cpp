#include "ovo/Stream.h"

#include "ovo/Provider.h"

namespace green {

int64_t TStream::GetSize() {
  const int64_t Pos = Seek(0, soCurrent);
  const int64_t Size = Seek(0, soEnd);
  Seek(Pos, soBeginning);
  return Size;
}

TStreamProxy::TStreamProxy(TOvoProvider* Prov)
    : FProv(Prov),
      FOnRead([Prov](void* Buffer, int32_t Count) { return Prov->OnStreamRead(Buffer, Count); }),
      FOnWrite([Prov](const void* Buffer, int32_t Count) {
        return Prov->OnStreamWrite(Buffer, Count);
      }) {}

int32_t TStreamProxy::Read(void* Buffer, int32_t Count) { return FOnRead(Buffer, Count); }

int32_t TStreamProxy::Write(const void* Buffer, int32_t Count) { return FOnWrite(Buffer, Count); }

int64_t TStreamProxy::Seek(int64_t Offset, TSeekOrigin Origin) {
  return FOnSeek ? FOnSeek(Offset, Origin) : 0;
}

int64_t TStreamProxy::GetSize() {
  if (FSize >= 0) return FSize;
  return FOnSeek ? TStream::GetSize() : 0;
}

}  // namespace green
