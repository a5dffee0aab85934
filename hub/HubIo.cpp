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
  auto LastError = reinterpret_cast<TWSAGetLastError>(sock::Api.WSAGetLastError);
  const uint32_t Error = LastError ? static_cast<uint32_t>(LastError()) : os::kErrorNotSupported;
  if (Error == os::kErrorIoPending) return true;
  os::SetLastError(Error);
  return false;
}

bool WsaRecvFrom(THandle Fd, void* Buf, uint32_t Len, TAnyAddress& Addr, os::Overlapped& Ov) {
  TWsaBuf Buffer{Len, static_cast<char*>(Buf)};
  uint32_t Flags = MSG_PARTIAL;
  auto RecvFrom = reinterpret_cast<TWSARecvFrom>(HubSock.WSARecvFrom);
  return WsaStarted(RecvFrom(Fd, &Buffer, 1, nullptr, &Flags, Addr.AddrPtr, &Addr.AddrLen, &Ov,
                             &STFlaggedFileIOCompletionReadRoutine));
}

bool WsaSendTo(THandle Fd, void* Buf, uint32_t Len, const TAnyAddress& Addr, os::Overlapped& Ov) {
  TWsaBuf Buffer{Len, static_cast<char*>(Buf)};
  auto SendTo = reinterpret_cast<TWSASendTo>(HubSock.WSASendTo);
  return WsaStarted(SendTo(Fd, &Buffer, 1, nullptr, 0, Addr.AddrPtr, Addr.AddrLen, &Ov,
                           &STFlaggedFileIOCompletionWriteRoutine));
}

// The record for a new operation on Fd, or nullptr while one is in flight:
// the two would share one overlapped structure, which the system writes
// until the first completes.
TFileTuple* Begin(TFiles& Files, TSingleThreadHub* Hub, THandle Fd, TIOOperation Op,
                  TIOCallback Cb, void* Data, int64_t Offset) {
  if (TFileTuple* Live = Files.Record(Fd); Live && Live->InFlight > 0) {
    os::SetLastError(os::kErrorBusy);
    return nullptr;
  }
  TFileTuple* Record = Files.Enqueue(Fd, Op, Cb, Data, Hub);
  if (Offset != -1) {
    Record->Overlap.Offset = static_cast<uint32_t>(Offset);
    Record->Overlap.OffsetHigh = static_cast<uint32_t>(static_cast<uint64_t>(Offset) >> 32);
  }
  return Record;
}

// A refused start gives the record up, keeping the system's error.
bool Started(TFiles& Files, TFileTuple& Record, bool Ok) {
  if (Ok) {
    ++Record.InFlight;
    Record.Thread = os::CurrentThreadId();
    return true;
  }
  const uint32_t Error = os::GetLastError();
  Files.Dequeue(Record.Fd);
  os::SetLastError(Error);
  return false;
}

}  // namespace

bool TSingleThreadHub::Read(THandle Fd, void* Buf, uint32_t Len, TIOCallback Cb, void* Data,
                            int64_t Offset) {
  TFileTuple* Record = Begin(*FReadFiles, this, Fd, ioRead, Cb, Data, Offset);
  return Record && Started(*FReadFiles, *Record,
                           os::ReadFileEx(Fd, Buf, Len, &Record->Overlap,
                                          &STFileIOCompletionReadRoutine));
}

bool TSingleThreadHub::Write(THandle Fd, void* Buf, uint32_t Len, TIOCallback Cb, void* Data,
                             int64_t Offset) {
  TFileTuple* Record = Begin(*FWriteFiles, this, Fd, ioWrite, Cb, Data, Offset);
  return Record && Started(*FWriteFiles, *Record,
                           os::WriteFileEx(Fd, Buf, Len, &Record->Overlap,
                                           &STFileIOCompletionWriteRoutine));
}

// The sender's address and its length are written into the caller's record
// at completion, so it must outlive the operation. Without the socket
// library's overlapped calls (posix), the platform receives the datagram.
bool TSingleThreadHub::ReadFrom(THandle Fd, void* Buf, uint32_t Len, const TAnyAddress& Addr,
                                TIOCallback Cb, void* Data) {
  TFileTuple* Record = Begin(*FReadFiles, this, Fd, ioRead, Cb, Data, -1);
  if (!Record) return false;
  auto& Sender = const_cast<TAnyAddress&>(Addr);
  const bool Ok = HubSock.WSARecvFrom
                      ? WsaRecvFrom(Fd, Buf, Len, Sender, Record->Overlap)
                      : os::RecvFromEx(Fd, Buf, Len, Sender.AddrPtr, &Sender.AddrLen,
                                       &Record->Overlap, &STFileIOCompletionReadRoutine);
  return Started(*FReadFiles, *Record, Ok);
}

bool TSingleThreadHub::WriteTo(THandle Fd, void* Buf, uint32_t Len, const TAnyAddress& Addr,
                               TIOCallback Cb, void* Data) {
  TFileTuple* Record = Begin(*FWriteFiles, this, Fd, ioWrite, Cb, Data, -1);
  if (!Record) return false;
  const bool Ok = HubSock.WSASendTo
                      ? WsaSendTo(Fd, Buf, Len, Addr, Record->Overlap)
                      : os::SendToEx(Fd, Buf, Len, Addr.AddrPtr, Addr.AddrLen, &Record->Overlap,
                                     &STFileIOCompletionWriteRoutine);
  return Started(*FWriteFiles, *Record, Ok);
}

// CancelIo ends both directions; the cancelled routines still run later and
// find their records given up.
void TSingleThreadHub::Cancel(THandle Fd) {
  const bool InRead = FReadFiles->Find(Fd);
  const bool InWrite = FWriteFiles->Find(Fd);
  if (InRead || InWrite) os::CancelIo(Fd);
  if (InRead) FReadFiles->Dequeue(Fd);
  if (InWrite) FWriteFiles->Dequeue(Fd);
}

}  // namespace green
