// Named pipes with the semantics of their Win32 counterparts. Names are full
// paths, "\\.\pipe\<name>", compared without regard to ASCII case.
//
// A server end is created listening. A client that opens the name while the
// server listens connects at once, whether or not a connect is pending; the
// server's connect then answers kErrorPipeConnected. A connect issued first
// answers kErrorIoPending and signals its event when a client connects. Only
// the first instance of a name is created: a second server of the same name
// is refused with kErrorAccessDenied, so no other process can take a name
// over. Ends are duplex byte streams opened for overlapped I/O; pipe handles
// are not waitable.
//
// The answers, as Windows gives them (Wine agrees):
//   ConnectNamedPipe  listening: kErrorIoPending; connected: kErrorPipeConnected;
//                     the client has closed: kErrorNoData
//   OpenNamedPipe     no server: kErrorFileNotFound; the server is connected to
//                     another client or disconnected: kErrorPipeBusy
//   PeekNamedPipe     empty: true with 0 bytes, without blocking; the other end
//                     closed and nothing left: kErrorBrokenPipe; a server that
//                     is not connected: kErrorBadPipe
//   DisconnectNamedPipe  listening: kErrorPipeListening; already disconnected:
//                     kErrorPipeNotConnected; a client end: kErrorNotSupported
//
// posix: Unix-domain stream sockets in a private directory of the user (see
// platform/posix/PipeDirectory.h). A process-wide service thread accepts the
// clients of this process's servers, as the Windows kernel does by itself:
// a pending connect therefore completes, and signals its event, whether or not
// anybody waits, and OpenNamedPipe returns only once the server has taken the
// client (it answers kErrorPipeBusy when the server turns it away). One
// difference stays: a client whose server disconnected reads like one whose
// server closed (kErrorBrokenPipe, where Windows answers kErrorPipeNotConnected),
// and it may still read what the server wrote before the disconnect.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/Kernel.h"

namespace green::os {

constexpr uint32_t kPipeUnlimitedInstances = 255;

// The record of one overlapped connect, owned by the caller: zero it, set
// Event, and keep it in place until the connect has completed or the server
// end is closed. win32: it is the system's OVERLAPPED.
struct ConnectOverlapped {
  std::uintptr_t Internal = 0;
  std::uintptr_t InternalHigh = 0;
  uint32_t Offset = 0;
  uint32_t OffsetHigh = 0;
  Handle Event = kNoHandle;  // reset when the connect starts, set when it completes
};

// Creates the server end: duplex, byte mode, overlapped, inheritable, local
// clients only, first instance only. kInvalidHandleValue on failure (last
// error set). posix: one instance per name whatever MaxInstances says; the
// buffer sizes are hints.
Handle CreateNamedPipe(std::string_view Name, uint32_t OutBufferSize, uint32_t InBufferSize,
                       uint32_t MaxInstances = kPipeUnlimitedInstances);

// Opens the client end: read and write, no sharing, inheritable, overlapped.
// kInvalidHandleValue on failure (last error set).
Handle OpenNamedPipe(std::string_view Name);

// Starts an overlapped connect on a server end. Answers false as Windows
// does: the last error then says how it went (see above).
bool ConnectNamedPipe(Handle Pipe, ConnectOverlapped& Overlapped);

// Ends a server's connection: the client's later transfers fail and unread
// bytes are dropped. The server may connect again.
bool DisconnectNamedPipe(Handle Pipe);

// The two ends of one standard stream of a child, connected: Parent for
// overlapped transfers, Child for the child's standard handle (it reads and
// writes it blocking). ChildReads: the stream is the child's input. False
// with the last error set, and no handle made.
// win32: the named pipe Name, its server end the parent's and its client end
// opened at once, both inheritable: the client's open connects it, so no
// connect is waited for. posix: one anonymous pipe, going the one way the
// child uses it, and Name is not used: nothing outside the process can
// reach the stream by a name.
bool CreateStreamPipe(std::string_view Name, bool ChildReads, uint32_t BufferSize,
                      Handle& Parent, Handle& Child);

// Copies up to Size waiting bytes into Buffer without consuming them; either
// out-parameter may be null. Never blocks. posix: the ends of
// CreateStreamPipe are peeked too.
bool PeekNamedPipe(Handle Pipe, void* Buffer, uint32_t Size, uint32_t* BytesRead,
                   uint32_t* BytesAvailable);

}  // namespace green::os
