// Files and anonymous pipes: kernel objects that only reads and writes use
// (waits cannot take them), each owning one nonblocking descriptor.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "platform/Error.h"
#include "platform/Io.h"
#include "platform/Pipe.h"
#include "platform/posix/Errno.h"
#include "platform/posix/KernelObject.h"

namespace green::os {

namespace {

struct FileObject : KernelObject {
  explicit FileObject(int Descriptor) : KernelObject(ObjectKind::File), FDescriptor(Descriptor) {}
  ~FileObject() override { close(FDescriptor); }
  int IoFd() const override { return FDescriptor; }

 private:
  int FDescriptor;
};

// The object owns Descriptor from here on, also when no handle is left.
Handle Wrap(int Descriptor) { return AddObject(std::make_shared<FileObject>(Descriptor)); }

bool WrapPair(const int (&Fds)[2], Handle& First, Handle& Second) {
  First = Wrap(Fds[0]);
  Second = Wrap(Fds[1]);
  if (First != kNoHandle && Second != kNoHandle) return true;
  if (First != kNoHandle) CloseHandle(First);
  if (Second != kNoHandle) CloseHandle(Second);
  First = Second = kNoHandle;
  SetLastError(kErrorNotEnoughMemory);
  return false;
}

bool FromErrno() {
  SetLastErrorFromErrno();
  return false;
}

}  // namespace

bool CreatePipe(Handle& Read, Handle& Write) {
  int Fds[2];
  if (pipe2(Fds, O_NONBLOCK | O_CLOEXEC) != 0) return FromErrno();
  return WrapPair(Fds, Read, Write);
}

// Only the parent's end is nonblocking: the child's end is an open file
// description of its own, which the child reads or writes blocking.
bool CreateStreamPipe(std::string_view, bool ChildReads, uint32_t, Handle& Parent,
                      Handle& Child) {
  int Fds[2];
  if (pipe2(Fds, O_CLOEXEC) != 0) return FromErrno();
  if (fcntl(Fds[ChildReads ? 1 : 0], F_SETFL, O_NONBLOCK) != 0) {
    SetLastErrorFromErrno();
    close(Fds[0]);
    close(Fds[1]);
    return false;
  }
  Handle Read = kNoHandle, Write = kNoHandle;
  if (!WrapPair(Fds, Read, Write)) return false;
  Parent = ChildReads ? Write : Read;
  Child = ChildReads ? Read : Write;
  return true;
}

bool CreateDuplexPipe(Handle& First, Handle& Second) {
  int Fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, Fds) != 0)
    return FromErrno();
  return WrapPair(Fds, First, Second);
}

Handle OpenFile(const std::string& Path, bool CreateAlways) {
  const int Flags = O_RDWR | O_CLOEXEC | (CreateAlways ? O_CREAT | O_TRUNC : 0);
  int Descriptor = open(Path.c_str(), Flags, 0666);
  if (Descriptor < 0) {
    SetLastErrorFromErrno();
    return kNoHandle;
  }
  return Wrap(Descriptor);
}

}  // namespace green::os
