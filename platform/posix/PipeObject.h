// The kernel objects behind named-pipe handles on posix: Unix-domain stream
// sockets (see platform/Pipe.h for the semantics they give).
//
// A server holds a listening socket, bound to the pipe's path, and a lock on
// the name's lock file for as long as its handle is open. The service thread
// accepts every client of the listening socket: while the server listens it
// keeps the client, sends it the byte kPipeAccepted and signals the pending
// connects; otherwise it closes the client at once, which the client's open
// reads as "pipe busy". Clients therefore learn within their open whether
// they were taken, and once OpenNamedPipe has returned, the server is
// connected.
//
// Connected sockets stay blocking: a child that inherits one as a standard
// stream reads and writes it as a plain blocking stream. Everything here
// and the overlapped I/O pass MSG_DONTWAIT instead.
//
// The server's connected socket keeps one descriptor number from the first
// connection to the end (later connections are moved onto it), so a read
// that fetched IoFd() never meets a number reused for something else.
#pragma once

#include <string_view>

#include "platform/Kernel.h"
#include "platform/Pipe.h"
#include "platform/posix/KernelObject.h"

namespace green::os {

constexpr char kPipeAccepted = 'G';
// Sent instead when the server's process has no descriptor left for the
// client: the client's open fails at once, with that reason.
constexpr char kPipeNoDescriptors = 'M';

struct PipeObject : KernelObject {
  PipeObject() : KernelObject(ObjectKind::Pipe) {}
  // The connected socket, or -1 with the last error set.
  virtual int ConnectedFd() = 0;
  // Server operations; a client end answers kErrorNotSupported.
  virtual bool Connect(ConnectOverlapped& Overlapped);
  virtual bool Disconnect();
};

// kInvalidHandleValue on failure (last error set).
Handle CreatePipeServer(std::string_view Name);
Handle OpenPipeClient(std::string_view Name);

// True when the other end of a connected socket has gone.
bool PeerHasClosed(int Fd);

}  // namespace green::os
