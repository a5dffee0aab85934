#include "platform/Error.h"

#include <cerrno>
#include <cstring>

#include "platform/posix/Errno.h"

namespace green::os {

namespace {

thread_local uint32_t LastError = kErrorSuccess;

struct ErrnoCode {
  int Errno;
  uint32_t Code;
};

// The first entry for a code is the errno it maps back to.
constexpr ErrnoCode kMap[] = {
    {ENOENT, kErrorFileNotFound},     {ENOTDIR, kErrorPathNotFound},
    {EMFILE, kErrorTooManyOpenFiles}, {ENFILE, kErrorTooManyOpenFiles},
    {EACCES, kErrorAccessDenied},     {EPERM, kErrorAccessDenied},
    {EBADF, kErrorInvalidHandle},     {ENOMEM, kErrorNotEnoughMemory},
    {ENOTSUP, kErrorNotSupported},    {ENOSYS, kErrorNotSupported},
    {EEXIST, kErrorFileExists},       {EINVAL, kErrorInvalidParameter},
    {EPIPE, kErrorBrokenPipe},        {ENOTCONN, kErrorPipeNotConnected},
    {EISCONN, kErrorPipeConnected},   {ECANCELED, kErrorOperationAborted},
    {EINPROGRESS, kErrorIoPending},   {ETIMEDOUT, kErrorTimeout},
    {ENOEXEC, kErrorBadExeFormat},
    {EBUSY, kErrorBusy},
};

// Codes of Windows concepts that have no errno counterpart.
struct CodeText {
  uint32_t Code;
  const char* Text;
};

constexpr CodeText kTexts[] = {
    {kErrorSuccess, "The operation completed successfully"},
    {kErrorInvalidFunction, "Incorrect function"},
    {kErrorInvalidName, "The file name, directory name or volume label syntax is incorrect"},
    {kErrorBadPipe, "The pipe state is invalid"},
    {kErrorDirectory, "The directory name is invalid"},
    {kErrorHandleEof, "Reached the end of the file"},
    {kErrorPipeBusy, "All pipe instances are busy"},
    {kErrorNoData, "The pipe is being closed"},
    {kErrorMoreData, "More data is available"},
    {kErrorPipeListening, "Waiting for a process to open the other end of the pipe"},
    {kErrorIoIncomplete, "Overlapped I/O event is not in a signaled state"},
};

}  // namespace

uint32_t ErrorFromErrno(int Errno) {
  if (Errno == 0) return kErrorSuccess;
  for (const ErrnoCode& E : kMap)
    if (E.Errno == Errno) return E.Code;
  return kErrnoBase + static_cast<uint32_t>(Errno);
}

int ErrnoFromError(uint32_t Code) {
  if (Code > kErrnoBase) return static_cast<int>(Code - kErrnoBase);
  for (const ErrnoCode& E : kMap)
    if (E.Code == Code) return E.Errno;
  return 0;
}

void SetLastErrorFromErrno() { LastError = ErrorFromErrno(errno); }

bool Fail(uint32_t Code) {
  LastError = Code;
  return false;
}

bool FailErrno() {
  SetLastErrorFromErrno();
  return false;
}

uint32_t GetLastError() { return LastError; }

void SetLastError(uint32_t Code) { LastError = Code; }

std::string SysErrorMessage(uint32_t Code) {
  for (const CodeText& T : kTexts)
    if (T.Code == Code) return T.Text;
  if (int Errno = ErrnoFromError(Code)) {
    char Buffer[256];
    // The GNU strerror_r answers a pointer that may not be Buffer.
    return strerror_r(Errno, Buffer, sizeof Buffer);
  }
  return "Unknown error " + std::to_string(Code);
}

}  // namespace green::os
