// Overlapped reads and writes of the hub: the system queues each completion
// routine to the thread that started the operation, and the routine runs
// inside the hub's alertable wait.
#include "hub/Hub.h"
#include "hub/Sock.h"
#include "platform/Error.h"
#include "platform/Thread.h"

namespace green {

namespace {

// The socket library's datagram calls, resolved by name at start-up.
struct TWsaBuf {
  uint32_t len;
  char* buf;
};
using TWsaCompletion = void(GREEN_WSAAPI*)(uint32_t, uint32_t, os::Overlapped*, uint32_t);
using TWSARecvFrom = int(GREEN_WSAAPI*)(TSocket, TWsaBuf*, uint32_t, uint32_t*, uint32_t*, void*,
                                        int32_t*, os::Overlapped*, TWsaCompletion);
using TWSASendTo = int(GREEN_WSAAPI*)(TSocket, TWsaBuf*, uint32_t, uint32_t*, uint32_t,
                                      const void*, int32_t, os::Overlapped*, TWsaCompletion);
using TWSAGetLastError = int(GREEN_WSAAPI*)();
constexpr uint32_t MSG_PARTIAL = 0x8000;

// A socket call started when it completed at once (its routine is queued
// all the same) or is pending.
bool WsaStarted(int Result) {
  if (Result == 0) return true;
  auto lastError = reinterpret_cast<TWSAGetLastError>(sock::Api.WSAGetLastError);
  const uint32_t error = lastError ? static_cast<uint32_t>(lastError()) : os::kErrorNotSupported;
  if (error == os::kErrorIoPending) return true;
  os::SetLastError(error);
  return false;
}

bool WsaRecvFrom(THandle Fd, void* Buf, uint32_t Len, TAnyAddress& Addr, os::Overlapped& Ov) {
  TWsaBuf buffer{Len, static_cast<char*>(Buf)};
  uint32_t flags = MSG_PARTIAL;
  auto recvFrom = reinterpret_cast<TWSARecvFrom>(HubSock.WSARecvFrom);
  return WsaStarted(recvFrom(Fd, &buffer, 1, nullptr, &flags, Addr.AddrPtr, &Addr.AddrLen, &Ov,
                             &STFlaggedFileIOCompletionReadRoutine));
}

bool WsaSendTo(THandle Fd, void* Buf, uint32_t Len, const TAnyAddress& Addr, os::Overlapped& Ov) {
  TWsaBuf buffer{Len, static_cast<char*>(Buf)};
  auto sendTo = reinterpret_cast<TWSASendTo>(HubSock.WSASendTo);
  return WsaStarted(sendTo(Fd, &buffer, 1, nullptr, 0, Addr.AddrPtr, Addr.AddrLen, &Ov,
                           &STFlaggedFileIOCompletionWriteRoutine));
}

// The record for a new operation on Fd, or nullptr while one is in flight:
// the two would share one overlapped structure, which the system writes
// until the first completes.
TFileTuple* Begin(TFiles& Files, TSingleThreadHub* Hub, THandle Fd, TIOOperation Op,
                  TIOCallback Cb, void* Data, int64_t Offset) {
  if (TFileTuple* live = Files.Record(Fd); live && live->InFlight > 0) {
    os::SetLastError(os::kErrorBusy);
    return nullptr;
  }
  TFileTuple* record = Files.Enqueue(Fd, Op, Cb, Data, Hub);
  if (Offset != -1) {
    record->Overlap.Offset = static_cast<uint32_t>(Offset);
    record->Overlap.OffsetHigh = static_cast<uint32_t>(static_cast<uint64_t>(Offset) >> 32);
  }
  return record;
}

// A refused start gives the record up, keeping the system's error.
bool Started(TFiles& Files, TFileTuple& Record, bool Ok) {
  if (Ok) {
    ++Record.InFlight;
    Record.Thread = os::CurrentThreadId();
    return true;
  }
  const uint32_t error = os::GetLastError();
  Files.Dequeue(Record.Fd);
  os::SetLastError(error);
  return false;
}

}  // namespace

bool TSingleThreadHub::Read(THandle Fd, void* Buf, uint32_t Len, TIOCallback Cb, void* Data,
                            int64_t Offset) {
  TFileTuple* record = Begin(*FReadFiles, this, Fd, ioRead, Cb, Data, Offset);
  return record && Started(*FReadFiles, *record,
                           os::ReadFileEx(Fd, Buf, Len, &record->Overlap,
                                          &STFileIOCompletionReadRoutine));
}

bool TSingleThreadHub::Write(THandle Fd, void* Buf, uint32_t Len, TIOCallback Cb, void* Data,
                             int64_t Offset) {
  TFileTuple* record = Begin(*FWriteFiles, this, Fd, ioWrite, Cb, Data, Offset);
  return record && Started(*FWriteFiles, *record,
                           os::WriteFileEx(Fd, Buf, Len, &record->Overlap,
                                           &STFileIOCompletionWriteRoutine));
}

// The sender's address and its length are written into the caller's record
// at completion, so it must outlive the operation. Without the socket
// library's overlapped calls (posix), the platform receives the datagram.
bool TSingleThreadHub::ReadFrom(THandle Fd, void* Buf, uint32_t Len, const TAnyAddress& Addr,
                                TIOCallback Cb, void* Data) {
  TFileTuple* record = Begin(*FReadFiles, this, Fd, ioRead, Cb, Data, -1);
  if (!record) return false;
  auto& addr = const_cast<TAnyAddress&>(Addr);
  const bool ok = HubSock.WSARecvFrom
                      ? WsaRecvFrom(Fd, Buf, Len, addr, record->Overlap)
                      : os::RecvFromEx(Fd, Buf, Len, addr.AddrPtr, &addr.AddrLen,
                                       &record->Overlap, &STFileIOCompletionReadRoutine);
  return Started(*FReadFiles, *record, ok);
}

bool TSingleThreadHub::WriteTo(THandle Fd, void* Buf, uint32_t Len, const TAnyAddress& Addr,
                               TIOCallback Cb, void* Data) {
  TFileTuple* record = Begin(*FWriteFiles, this, Fd, ioWrite, Cb, Data, -1);
  if (!record) return false;
  const bool ok = HubSock.WSASendTo
                      ? WsaSendTo(Fd, Buf, Len, Addr, record->Overlap)
                      : os::SendToEx(Fd, Buf, Len, Addr.AddrPtr, Addr.AddrLen, &record->Overlap,
                                     &STFileIOCompletionWriteRoutine);
  return Started(*FWriteFiles, *record, ok);
}

// CancelIo ends both directions; the cancelled routines still run later and
// find their records given up.
void TSingleThreadHub::Cancel(THandle Fd) {
  const bool inRead = FReadFiles->Find(Fd);
  const bool inWrite = FWriteFiles->Find(Fd);
  if (inRead || inWrite) os::CancelIo(Fd);
  if (inRead) FReadFiles->Dequeue(Fd);
  if (inWrite) FWriteFiles->Dequeue(Fd);
}

}  // namespace green
