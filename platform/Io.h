// Overlapped reads and writes with completion routines, with the semantics
// of ReadFileEx, WriteFileEx and CancelIo, the same on both backends:
// - starting answers true when the operation is under way (or already done);
//   false with the last error when the system refused it, and then no
//   routine follows;
// - every started operation gets exactly one call of its routine, on the
//   thread that started it, inside one of that thread's alertable waits,
//   which then answers kWaitIoCompletion;
// - a read completes with what is available, up to its length; a write
//   completes when all its bytes are written;
// - pipes: a read whose writer is gone answers kErrorBrokenPipe (refused at
//   the start, or through the routine when it was pending); a write whose
//   reader is gone is refused with kErrorNoData, or completes with
//   kErrorBrokenPipe when it was pending; a zero-length read waits until
//   data is available and then completes with 0 bytes;
// - regular files: reads and writes happen at the structure's offset; a
//   read at or past the end completes with kErrorHandleEof and 0 bytes;
// - CancelIo ends the calling thread's operations on a handle; their
//   routines still run, with kErrorOperationAborted, at a later alertable
//   wait. Closing a handle ends every operation on it (kErrorBrokenPipe).
// posix: every wait of the starting thread moves its operations on (as the
// kernel would), and alertable waits run the routines of the finished ones.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Kernel.h"

namespace green::os {

// The state of one operation, owned by the caller and left alone by it until
// the routine ran. win32: this is the system's OVERLAPPED.
struct Overlapped {
  uintptr_t Internal = 0;      // the system's: status of the operation
  uintptr_t InternalHigh = 0;  // the system's: bytes transferred
  uint32_t Offset = 0;         // file position, low and high 32 bits;
  uint32_t OffsetHigh = 0;     // ignored for pipes and sockets
  // Free for the caller: the system leaves it alone for operations with a
  // routine, so the routine can find the caller's record through it.
  void* Event = nullptr;
};

using IoCompletionProc = void (*)(uint32_t ErrorCode, uint32_t NumberOfBytesTransfered,
                                  Overlapped* Ov);

bool ReadFileEx(Handle H, void* Buf, uint32_t Len, Overlapped* Ov, IoCompletionProc Routine);
bool WriteFileEx(Handle H, const void* Buf, uint32_t Len, Overlapped* Ov,
                 IoCompletionProc Routine);
// Ends the calling thread's operations on H. False (kErrorInvalidHandle)
// for a handle that names nothing.
bool CancelIo(Handle H);

// True when the thread ThreadId has ended and its operations can no longer
// touch their structures or buffers (their routines will never run), so
// the caller may free them. posix: the thread ended, and its ending dropped
// its operations. win32: false always; what the system does with an ended
// thread's operations is not relied on (Wine may still finish them).
bool ThreadIoDropped(uint32_t ThreadId);

// Datagrams on a socket descriptor as the socket library made it (not a
// handle of this layer): the sender's address is written to Addr and its
// length to *AddrLen, which both stay valid until the routine ran. win32
// sends and receives through the socket library itself (WSARecvFrom,
// WSASendTo) and answers kErrorNotSupported here.
bool RecvFromEx(Handle Socket, void* Buf, uint32_t Len, void* Addr, int32_t* AddrLen,
                Overlapped* Ov, IoCompletionProc Routine);
bool SendToEx(Handle Socket, const void* Buf, uint32_t Len, const void* Addr, int32_t AddrLen,
              Overlapped* Ov, IoCompletionProc Routine);

// An anonymous pipe whose ends take overlapped reads (Read) and writes
// (Write). win32 makes it a uniquely named pipe, since the system's
// anonymous pipes refuse overlapped operations. False with the last error.
bool CreatePipe(Handle& Read, Handle& Write);
// Two connected ends, each reading what the other writes.
bool CreateDuplexPipe(Handle& First, Handle& Second);
// Opens a file for overlapped reads and writes; CreateAlways makes it anew
// (empty), otherwise it must exist. kNoHandle on failure (last error).
Handle OpenFile(const std::string& Path, bool CreateAlways);

}  // namespace green::os
