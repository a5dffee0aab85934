// The provider's raw transfers: pending and full reads and writes through
// the hub, the completion routine, typed values and the adapters' hooks.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "hub/Hub.h"
#include "hub/HubList.h"
#include "ovo/OvoSock.h"
#include "ovo/Provider.h"
#include "platform/Error.h"

namespace green {

static_assert(std::endian::native == std::endian::little,
              "typed values travel in their in-memory image, which must be little-endian");

namespace {

// The provider unit's start-up and shut-down.
struct TOvoUnit {
  TOvoUnit() { OvoSocketStartup(); }
  ~TOvoUnit() { OvoSocketShutdown(); }
} OvoUnit;

// The most bytes one operation moves through the provider's own buffers.
constexpr uint32_t kMaxTransfer = 64 * 1024;

int32_t ToCount(uint32_t N) {
  return static_cast<int32_t>(std::min<uint32_t>(N, std::numeric_limits<int32_t>::max()));
}

uint32_t Negated(int32_t Size) { return static_cast<uint32_t>(-static_cast<int64_t>(Size)); }

}  // namespace

size_t TOvoProvider::TChunk::Take(void* Buf, size_t Size) {
  const size_t n = std::min(Size, Available());
  std::memcpy(Buf, Data.data() + Pos, n);
  Pos += n;
  return n;
}

TOvoProvider::TOvoProvider()
    : FOnAfterRead(MakeRef<TGevent>(false, false)),
      FOnAfterWrite(MakeRef<TGevent>(false, false)),
      FAsStream(std::make_unique<TStreamProxy>(this)),
      FAsFile(std::make_unique<TStreamProxy>(this)) {
  SetEncoding(*TEncoding::Default());
}

TOvoProvider::~TOvoProvider() {
  if (FEncCopied) delete FEncoding;
}

TAnyAddress TOvoProvider::GetDgramReadAddress() {
  throw EIOError(Format("%s has no datagram addresses", ClassName().c_str()));
}

TAnyAddress TOvoProvider::GetDgramWriteAddress() {
  throw EIOError(Format("%s has no datagram addresses", ClassName().c_str()));
}

uint32_t TOvoProvider::GetDriverRcvBufSize() {
  if (FIgnoreInternalBuf) return 0;
  return static_cast<uint32_t>(std::min<size_t>(PendingBytes(), UINT32_MAX));
}

size_t TOvoProvider::PendingBytes() const { return FInternalBuf.Size() + FReadChunk.Available(); }

// ---- one operation -------------------------------------------------------------

bool TOvoProvider::PrepareChunk(TChunk& Chunk, uint32_t Size) {
  try {
    if (Chunk.Data.size() < Size) Chunk.Data.resize(Size);
  } catch (const std::bad_alloc&) {
    os::SetLastError(os::kErrorNotEnoughMemory);
    return false;
  }
  Chunk.Pos = Chunk.Len = 0;
  return true;
}

// Starts one operation on the chunk's first Size bytes and waits for it.
uint32_t TOvoProvider::Transfer(TIOOperation Op, uint32_t Size) {
  const bool read = Op == ioRead;
  char* data = (read ? FReadChunk : FWriteChunk).Data.data();
  TCustomHub* hub = GetCurrentHub();
  const THandle fd = GetFd();
  bool started;
  if (FUseDgramApi) {
    FDgramAddr = read ? GetDgramReadAddress() : GetDgramWriteAddress();
    started = read ? hub->ReadFrom(fd, data, Size, FDgramAddr, &Cb, this)
                   : hub->WriteTo(fd, data, Size, FDgramAddr, &Cb, this);
  } else {
    started = read ? hub->Read(fd, data, Size, &Cb, this, FPosition)
                   : hub->Write(fd, data, Size, &Cb, this, FPosition);
  }
  if (!started) {
    OperationAborted();
    return 0;
  }
  (read ? FReadOwed : FWriteOwed) = true;
  (read ? FReadHub : FWriteHub) = hub;
  auto* single = dynamic_cast<TSingleThreadHub*>(hub);
  (read ? FReadHubSerial : FWriteHubSerial) = single ? single->Serial() : 0;
  return Await(Op);
}

// Waits for the operation in flight: its byte count, or 0. A wait that
// ends otherwise (the greenlet is being killed) leaves the operation owed
// to the next one.
uint32_t TOvoProvider::Await(TIOOperation Op) {
  const bool read = Op == ioRead;
  {
    TWaitScope note(wkIO, this, TDeadline(), GetFd());
    if ((read ? FOnAfterRead : FOnAfterWrite)->WaitFor(INFINITE) != wrSignaled) return 0;
  }
  (read ? FReadOwed : FWriteOwed) = false;
  const TIO& io = read ? FReadIO : FWriteIO;
  if (io.LastError != 0) {
    os::SetLastError(io.LastError);
    DoError(io.LastError, Op);
    OperationAborted();
    return 0;
  }
  if (io.NumOfBytes == 0) {
    OperationAborted();
    return 0;
  }
  if (!read) return io.NumOfBytes;
  FReadChunk.Len = std::min<size_t>(io.NumOfBytes, FReadChunk.Data.size());
  return static_cast<uint32_t>(FReadChunk.Len);
}

// ---- reads ---------------------------------------------------------------------

// Pushed-back bytes go first (outside assembly); then the bytes of a read
// whose wait was abandoned; only then does the handle get a new read.
uint32_t TOvoProvider::ReadPending(void* Buf, uint32_t Size) {
  if (Size == 0) return 0;
  if (!FIgnoreInternalBuf && !FInternalBuf.Empty())
    return static_cast<uint32_t>(FInternalBuf.Take(Buf, Size));
  if (StillOwed(ioRead) && Await(ioRead) == 0) return 0;
  if (FReadChunk.Available() == 0) {
    const uint32_t n = std::min(Size, kMaxTransfer);
    if (!PrepareChunk(FReadChunk, n) || Transfer(ioRead, n) == 0) return 0;
  }
  return static_cast<uint32_t>(FReadChunk.Take(Buf, Size));
}

uint32_t TOvoProvider::ReadFull(void* Buf, uint32_t Size) {
  uint32_t done = 0;
  while (done < Size) {
    const uint32_t n = ReadPending(static_cast<char*>(Buf) + done, Size - done);
    if (n == 0) break;
    done += n;
  }
  return done;
}

uint32_t TOvoProvider::Read(void* Buf, int32_t Size) {
  if (Size > 0) return ReadFull(Buf, static_cast<uint32_t>(Size));
  if (Size < 0) return ReadPending(Buf, Negated(Size));
  return GetDriverRcvBufSize();
}

// A value cut short by the end of the stream is pushed back, so its bytes
// are not lost to a later read.
template <class T>
bool TOvoProvider::ReadValue(T& Buf) {
  char image[sizeof(T)];
  const uint32_t n = Read(image, static_cast<int32_t>(sizeof image));
  if (n == sizeof image) {
    std::memcpy(&Buf, image, sizeof image);
    return true;
  }
  try {
    FInternalBuf.Prepend(std::string_view(image, n));
  } catch (const std::bad_alloc&) {
  }
  return false;
}

// The typed reads of the header call these from every unit that emits
// their (virtual) overrides.
template bool TOvoProvider::ReadValue(uint8_t&);
template bool TOvoProvider::ReadValue(int32_t&);
template bool TOvoProvider::ReadValue(int16_t&);
template bool TOvoProvider::ReadValue(float&);
template bool TOvoProvider::ReadValue(double&);

bool TOvoProvider::ReadBytes(TBytes& Buf) {
  Buf.clear();
  uint32_t size = Read(nullptr, 0);
  if (size == 0) size = 1024;
  size = std::min<uint32_t>(size, std::numeric_limits<int32_t>::max());
  TBytes bytes;
  try {
    bytes.resize(size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const uint32_t n = Read(bytes.data(), -static_cast<int32_t>(size));
  if (n == 0) return false;
  bytes.resize(n);
  Buf = std::move(bytes);
  return true;
}

// ---- writes ----------------------------------------------------------------------

// An abandoned write is waited for first: its bytes are in the chunk.
uint32_t TOvoProvider::WritePending(const void* Buf, uint32_t Size) {
  if (Size == 0) return 0;
  if (StillOwed(ioWrite)) {
    Await(ioWrite);
    if (FWriteOwed) return 0;
  }
  const uint32_t n = std::min(Size, kMaxTransfer);
  if (!PrepareChunk(FWriteChunk, n)) return 0;
  std::memcpy(FWriteChunk.Data.data(), Buf, n);
  return Transfer(ioWrite, n);
}

uint32_t TOvoProvider::WriteFull(const void* Buf, uint32_t Size) {
  uint32_t done = 0;
  while (done < Size) {
    const uint32_t n = WritePending(static_cast<const char*>(Buf) + done, Size - done);
    if (n == 0) break;
    done += n;
  }
  return done;
}

uint32_t TOvoProvider::Write(const void* Buf, int32_t Size) {
  if (Size > 0) return WriteFull(Buf, static_cast<uint32_t>(Size));
  if (Size < 0) return WritePending(Buf, Negated(Size));
  return GetDriverSndBufSize();
}

bool TOvoProvider::WriteAll(const void* Buf, size_t Size) {
  const char* p = static_cast<const char*>(Buf);
  while (Size > 0) {
    const int32_t part = ToCount(static_cast<uint32_t>(std::min<size_t>(Size, INT32_MAX)));
    if (Write(p, part) != static_cast<uint32_t>(part)) return false;
    p += part;
    Size -= static_cast<size_t>(part);
  }
  return true;
}

// ---- completion -------------------------------------------------------------------

void TOvoProvider::Cb(THandle Fd, TIOOperation Op, void* Data, int32_t ErrorCode,
                      uint32_t NumOfBytes) {
  auto* self = static_cast<TOvoProvider*>(Data);
  const TIO io{NumOfBytes, static_cast<uint32_t>(ErrorCode), Op};
  if (Op == ioRead)
    self->FReadIO = io;
  else if (Op == ioWrite)
    self->FWriteIO = io;
  self->OperationComplete(Op);
}

void TOvoProvider::OperationComplete(TIOOperation Op) {
  if (Op == ioRead)
    FOnAfterRead->SetEvent(false);
  else if (Op == ioWrite)
    FOnAfterWrite->SetEvent(true);
}

// A completion that came before the cancel is taken too, so that its
// signal does not end the next wait.
void TOvoProvider::CancelPending() {
  StillOwed(ioRead);
  StillOwed(ioWrite);
  if (!FReadOwed && !FWriteOwed) return;
  const THandle fd = GetFd();
  if (FReadOwed) FReadHub->Cancel(fd);
  if (FWriteOwed && !(FReadOwed && FWriteHub == FReadHub)) FWriteHub->Cancel(fd);
  if (FReadOwed) FOnAfterRead->WaitFor(0);
  if (FWriteOwed) FOnAfterWrite->WaitFor(0);
  FReadOwed = FWriteOwed = false;
}

// A hub that is not a single-thread hub (serial 0) is taken to live as long
// as the provider.
bool TOvoProvider::StillOwed(TIOOperation Op) {
  const bool read = Op == ioRead;
  bool& owed = read ? FReadOwed : FWriteOwed;
  const uint64_t serial = read ? FReadHubSerial : FWriteHubSerial;
  if (owed && serial != 0 &&
      !IsLiveHub(read ? FReadHub : FWriteHub, serial)) {
    owed = false;
    (read ? FOnAfterRead : FOnAfterWrite)->WaitFor(0);
  }
  return owed;
}

// ---- position and adapters ------------------------------------------------------------

void TOvoProvider::SetPosition(int64_t Value) {
  FPosition = Value;
  FInternalBuf.Clear();
  FReadChunk.Pos = FReadChunk.Len;
}

TStream* TOvoProvider::AsFile(uint32_t Size) {
  FAsFile->SetSize(Size);
  return FAsFile.get();
}

int32_t TOvoProvider::OnStreamRead(void* Buffer, int32_t Count) {
  return ToCount(Read(Buffer, Count));
}

int32_t TOvoProvider::OnStreamWrite(const void* Buffer, int32_t Count) {
  return ToCount(Write(Buffer, Count));
}

}  // namespace green
