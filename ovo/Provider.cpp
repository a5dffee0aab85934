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
  const size_t N = std::min(Size, Available());
  std::memcpy(Buf, Data.data() + Pos, N);
  Pos += N;
  return N;
}

TOvoProvider::TOvoProvider()
    : FAsStream(std::make_unique<TStreamProxy>(this)),
      FAsFile(std::make_unique<TStreamProxy>(this)) {
  SetEncoding(*TEncoding::Default());
}

TOvoProvider::~TOvoProvider() = default;

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

size_t TOvoProvider::PendingBytes() const { return FInternalBuf.Size() + FRead.Chunk.Available(); }

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

bool TOvoProvider::Start(TCustomHub& Hub, TIOOperation Op, char* Data, uint32_t Size) {
  const THandle Fd = GetFd();
  if (Op == ioRead) {
    if (!FUseDgramApi) return Hub.Read(Fd, Data, Size, &Cb, this, FPosition);
    FDgramAddr = GetDgramReadAddress();
    return Hub.ReadFrom(Fd, Data, Size, FDgramAddr, &Cb, this);
  }
  if (!FUseDgramApi) return Hub.Write(Fd, Data, Size, &Cb, this, FPosition);
  FDgramAddr = GetDgramWriteAddress();
  return Hub.WriteTo(Fd, Data, Size, FDgramAddr, &Cb, this);
}

// Starts one operation on the chunk's first Size bytes and waits for it.
uint32_t TOvoProvider::Transfer(TIOOperation Op, uint32_t Size) {
  TDirection& Dir = Direction(Op);
  TCustomHub* Hub = GetCurrentHub();
  if (!Start(*Hub, Op, Dir.Chunk.Data.data(), Size)) {
    OperationAborted();
    return 0;
  }
  Dir.Owed = true;
  Dir.Hub = Hub;
  auto* Single = dynamic_cast<TSingleThreadHub*>(Hub);
  Dir.HubSerial = Single ? Single->Serial() : 0;
  return Await(Op);
}

// Waits for the operation in flight: its byte count, or 0. A wait that
// ends otherwise (the greenlet is being killed) leaves the operation owed
// to the next one.
uint32_t TOvoProvider::Await(TIOOperation Op) {
  TDirection& Dir = Direction(Op);
  {
    TWaitScope Note(wkIO, this, TDeadline(), GetFd());
    if (Dir.OnAfter->WaitFor(INFINITE) != wrSignaled) return 0;
  }
  Dir.Owed = false;
  const TIO& Io = Dir.IO;
  if (Io.LastError != 0) {
    os::SetLastError(Io.LastError);
    DoError(Io.LastError, Op);
    OperationAborted();
    return 0;
  }
  if (Io.NumOfBytes == 0) {
    OperationAborted();
    return 0;
  }
  if (Op != ioRead) return Io.NumOfBytes;
  Dir.Chunk.Len = std::min<size_t>(Io.NumOfBytes, Dir.Chunk.Data.size());
  return static_cast<uint32_t>(Dir.Chunk.Len);
}

// ---- reads ---------------------------------------------------------------------

// Pushed-back bytes go first (outside assembly); then the bytes of a read
// whose wait was abandoned; only then does the handle get a new read.
uint32_t TOvoProvider::ReadPending(void* Buf, uint32_t Size) {
  if (Size == 0) return 0;
  if (!FIgnoreInternalBuf && !FInternalBuf.Empty())
    return static_cast<uint32_t>(FInternalBuf.Take(Buf, Size));
  if (StillOwed(ioRead) && Await(ioRead) == 0) return 0;
  if (FRead.Chunk.Available() == 0) {
    const uint32_t N = std::min(Size, kMaxTransfer);
    if (!PrepareChunk(FRead.Chunk, N) || Transfer(ioRead, N) == 0) return 0;
  }
  return static_cast<uint32_t>(FRead.Chunk.Take(Buf, Size));
}

uint32_t TOvoProvider::ReadFull(void* Buf, uint32_t Size) {
  uint32_t Done = 0;
  while (Done < Size) {
    const uint32_t N = ReadPending(static_cast<char*>(Buf) + Done, Size - Done);
    if (N == 0) break;
    Done += N;
  }
  return Done;
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
  char Image[sizeof(T)];
  const uint32_t N = Read(Image, static_cast<int32_t>(sizeof Image));
  if (N == sizeof Image) {
    std::memcpy(&Buf, Image, sizeof Image);
    return true;
  }
  try {
    FInternalBuf.Prepend(std::string_view(Image, N));
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
  uint32_t Size = Read(nullptr, 0);
  if (Size == 0) Size = 1024;
  Size = std::min<uint32_t>(Size, std::numeric_limits<int32_t>::max());
  TBytes Bytes;
  try {
    Bytes.resize(Size);
  } catch (const std::bad_alloc&) {
    return false;
  }
  const uint32_t N = Read(Bytes.data(), -static_cast<int32_t>(Size));
  if (N == 0) return false;
  Bytes.resize(N);
  Buf = std::move(Bytes);
  return true;
}

// ---- writes ----------------------------------------------------------------------

// An abandoned write is waited for first: its bytes are in the chunk.
uint32_t TOvoProvider::WritePending(const void* Buf, uint32_t Size) {
  if (Size == 0) return 0;
  if (StillOwed(ioWrite)) {
    Await(ioWrite);
    if (FWrite.Owed) return 0;
  }
  const uint32_t N = std::min(Size, kMaxTransfer);
  if (!PrepareChunk(FWrite.Chunk, N)) return 0;
  std::memcpy(FWrite.Chunk.Data.data(), Buf, N);
  return Transfer(ioWrite, N);
}

uint32_t TOvoProvider::WriteFull(const void* Buf, uint32_t Size) {
  uint32_t Done = 0;
  while (Done < Size) {
    const uint32_t N = WritePending(static_cast<const char*>(Buf) + Done, Size - Done);
    if (N == 0) break;
    Done += N;
  }
  return Done;
}

uint32_t TOvoProvider::Write(const void* Buf, int32_t Size) {
  if (Size > 0) return WriteFull(Buf, static_cast<uint32_t>(Size));
  if (Size < 0) return WritePending(Buf, Negated(Size));
  return GetDriverSndBufSize();
}

bool TOvoProvider::WriteAll(const void* Buf, size_t Size) {
  const char* P = static_cast<const char*>(Buf);
  while (Size > 0) {
    const int32_t Part = ToCount(static_cast<uint32_t>(std::min<size_t>(Size, INT32_MAX)));
    if (Write(P, Part) != static_cast<uint32_t>(Part)) return false;
    P += Part;
    Size -= static_cast<size_t>(Part);
  }
  return true;
}

// ---- completion -------------------------------------------------------------------

void TOvoProvider::Cb(THandle Fd, TIOOperation Op, void* Data, int32_t ErrorCode,
                      uint32_t NumOfBytes) {
  auto* Self = static_cast<TOvoProvider*>(Data);
  const TIO Io{NumOfBytes, static_cast<uint32_t>(ErrorCode), Op};
  if (Op == ioRead || Op == ioWrite) Self->Direction(Op).IO = Io;
  Self->OperationComplete(Op);
}

void TOvoProvider::OperationComplete(TIOOperation Op) {
  if (Op == ioRead)
    FRead.OnAfter->SetEvent(false);
  else if (Op == ioWrite)
    FWrite.OnAfter->SetEvent(true);
}

// A completion that came before the cancel is taken too, so that its
// signal does not end the next wait.
void TOvoProvider::CancelPending() {
  StillOwed(ioRead);
  StillOwed(ioWrite);
  if (!FRead.Owed && !FWrite.Owed) return;
  const THandle Fd = GetFd();
  if (FRead.Owed) FRead.Hub->Cancel(Fd);
  if (FWrite.Owed && !(FRead.Owed && FWrite.Hub == FRead.Hub)) FWrite.Hub->Cancel(Fd);
  for (TDirection* Dir : {&FRead, &FWrite}) {
    if (Dir->Owed) Dir->OnAfter->WaitFor(0);
    Dir->Owed = false;
  }
}

// A hub that is not a single-thread hub (serial 0) is taken to live as long
// as the provider.
bool TOvoProvider::StillOwed(TIOOperation Op) {
  TDirection& Dir = Direction(Op);
  if (Dir.Owed && Dir.HubSerial != 0 && !IsLiveHub(Dir.Hub, Dir.HubSerial)) {
    Dir.Owed = false;
    Dir.OnAfter->WaitFor(0);
  }
  return Dir.Owed;
}

// ---- position and adapters ------------------------------------------------------------

void TOvoProvider::SetPosition(int64_t Value) {
  FPosition = Value;
  FInternalBuf.Clear();
  FRead.Chunk.Pos = FRead.Chunk.Len;
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
