// A provider over one end of a local named pipe, opened for overlapped I/O.
// The same class makes the server end (MakeServer, then WaitConnection) and
// the client end (Open); reads and writes are the provider's.
//
// WaitConnection accepts only a connect that is pending: a client that
// connected before it raises, as every code but "I/O pending" does. Peek
// sees the bytes in the pipe, not those already pushed back into the
// provider; GetDriverRcvBufSize counts both, also while a line or match is
// being assembled.
#pragma once

#include <cstdint>
#include <string>

#include "ovo/Provider.h"
#include "platform/Pipe.h"

namespace green {

class IOvoNamedPipe : public virtual IOvoProvider {
 public:
  // Raises TOvoProvider::EIOError "OvoNamedPipe.MakeServer error: %s".
  virtual void MakeServer(uint32_t BufSize) = 0;
  // True when a client connected within Timeout; raises EIOError
  // "OvoNamedPipe.WaitConnection error: %s" unless the connect is pending.
  virtual bool WaitConnection(uint32_t Timeout) = 0;
  // Raises EIOError "OvoNamedPipe. error: %s".
  virtual void Open() = 0;
  virtual TBytes Peek() = 0;
};

class TOvoNamedPipe : public TOvoProvider, public IOvoNamedPipe {
 public:
  // Name without the "\\.\pipe\" prefix; no handle is made yet.
  explicit TOvoNamedPipe(const std::string& Name);
  ~TOvoNamedPipe() override;

  void MakeServer(uint32_t BufSize) override;
  bool WaitConnection(uint32_t Timeout) override;
  void Open() override;
  TBytes Peek() override;

  THandle GetFd() override { return FFd; }
  uint32_t GetDriverRcvBufSize() override;

  const std::string& PipeName() const { return FPipeName; }
  bool Opened() const { return FOpened; }
  // Takes an end made elsewhere (os::CreateStreamPipe's), in place of
  // MakeServer; it is owned from here on.
  void Adopt(THandle Fd);

 private:
  void MakeConnectEvent(const char* Template);

  std::string FPipeName;
  THandle FFd = os::kNoHandle;
  THandle FEvent = os::kNoHandle;
  RefPtr<TGevent> FOnConnect;
  os::ConnectOverlapped FOvlp;
  bool FOpened = false;
};

}  // namespace green
