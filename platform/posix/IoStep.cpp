// One step of an overlapped operation on its descriptor: as much as the
// descriptor takes without blocking, and what that means for the operation
// (still pending, finished, or refused at its start).
#include "platform/posix/IoStep.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Error.h"
#include "platform/posix/Errno.h"

namespace green::os {

namespace {

int64_t PositionOf(const PendingIo& Op) {
  return static_cast<int64_t>((uint64_t{Op.Ov->OffsetHigh} << 32) | Op.Ov->Offset) + Op.Done;
}

// A descriptor that is valid but opened the other way answers EBADF, which
// Windows reports as access denied; a peer that reset a stream is a broken pipe.
uint32_t TransferError(int Errno) {
  if (Errno == EBADF) return kErrorAccessDenied;
  if (Errno == ECONNRESET) return kErrorBrokenPipe;
  return ErrorFromErrno(Errno);
}

Step Fail(PendingIo& Op, uint32_t Code, bool AtStart) {
  Op.Error = Code;
  return AtStart && Op.Done == 0 ? Step::Refused : Step::Finished;
}

ssize_t ReadOnce(PendingIo& Op) {
  if (Op.Kind == IoKind::RecvFrom) {
    if (!Op.Addr || !Op.AddrLen || *Op.AddrLen <= 0)
      return recvfrom(Op.Fd, Op.Buf, Op.Len, MSG_DONTWAIT, nullptr, nullptr);
    auto Length = static_cast<socklen_t>(*Op.AddrLen);
    ssize_t N = recvfrom(Op.Fd, Op.Buf, Op.Len, MSG_DONTWAIT, static_cast<sockaddr*>(Op.Addr),
                         &Length);
    if (N >= 0) *Op.AddrLen = static_cast<int32_t>(Length);
    return N;
  }
  if (Op.Positioned) return pread(Op.Fd, Op.Buf, Op.Len, PositionOf(Op));
  if (Op.IsSocket) return recv(Op.Fd, Op.Buf, Op.Len, MSG_DONTWAIT);
  return read(Op.Fd, Op.Buf, Op.Len);
}

ssize_t WriteOnce(PendingIo& Op) {
  const uint8_t* From = Op.Buf + Op.Done;
  const size_t Rest = Op.Len - Op.Done;
  if (Op.Kind == IoKind::SendTo)
    return sendto(Op.Fd, From, Rest, MSG_DONTWAIT | MSG_NOSIGNAL,
                  static_cast<const sockaddr*>(Op.Addr), static_cast<socklen_t>(Op.SendAddrLen));
  if (Op.Positioned) return pwrite(Op.Fd, From, Rest, PositionOf(Op));
  if (Op.IsSocket) return send(Op.Fd, From, Rest, MSG_DONTWAIT | MSG_NOSIGNAL);
  return write(Op.Fd, From, Rest);
}

// A zero-length read on a stream waits for data, as on Windows.
Step AdvanceEmptyRead(PendingIo& Op, short Revents) {
  if (Revents & POLLIN) return Step::Finished;
  if (Revents & (POLLHUP | POLLERR)) return Fail(Op, kErrorBrokenPipe, false);
  return Step::Pending;
}

Step AdvanceRead(PendingIo& Op, bool AtStart) {
  for (;;) {
    ssize_t N = ReadOnce(Op);
    if (N > 0 || (N == 0 && Op.Kind == IoKind::RecvFrom)) {
      Op.Done = static_cast<uint32_t>(N);
      return Step::Finished;
    }
    // The end of a file is the read's answer; a stream without a writer is
    // a broken pipe, refused when it is found at the start.
    if (N == 0) return Op.Positioned ? Fail(Op, kErrorHandleEof, false)
                                     : Fail(Op, kErrorBrokenPipe, AtStart);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::Pending;
    return Fail(Op, TransferError(errno), AtStart);
  }
}

// A reader that is gone refuses a new write and breaks a pending one.
Step WriteFailed(PendingIo& Op, bool AtStart) {
  if (errno == EPIPE || errno == ECONNRESET)
    return Fail(Op, AtStart && Op.Done == 0 ? kErrorNoData : kErrorBrokenPipe, AtStart);
  return Fail(Op, TransferError(errno), AtStart);
}

// A datagram goes whole or not at all, an empty one included.
Step AdvanceSend(PendingIo& Op, bool AtStart) {
  for (;;) {
    ssize_t N = WriteOnce(Op);
    if (N >= 0) {
      Op.Done = static_cast<uint32_t>(N);
      return Step::Finished;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Step::Pending;
    return WriteFailed(Op, AtStart);
  }
}

Step AdvanceWrite(PendingIo& Op, bool AtStart) {
  if (Op.Kind == IoKind::SendTo) return AdvanceSend(Op, AtStart);
  while (Op.Done < Op.Len) {
    ssize_t N = WriteOnce(Op);
    if (N > 0) {
      Op.Done += static_cast<uint32_t>(N);
    } else if (N < 0 && errno == EINTR) {
      continue;
    } else if (N == 0 || errno == EAGAIN || errno == EWOULDBLOCK) {
      return Step::Pending;
    } else {
      return WriteFailed(Op, AtStart);
    }
  }
  return Step::Finished;
}

}  // namespace

Step Advance(PendingIo& Op, bool AtStart, short Revents) {
  if (IsRead(Op.Kind)) {
    if (Op.Len == 0) return AtStart ? Step::Pending : AdvanceEmptyRead(Op, Revents);
    return AdvanceRead(Op, AtStart);
  }
  return AdvanceWrite(Op, AtStart);
}

}  // namespace green::os
