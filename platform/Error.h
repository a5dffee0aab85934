// The thread's last error, with the codes that code above this layer
// compares against. win32 uses the system's codes; posix stores the same
// values for the errno values that map to them, and other errno values as
// kErrnoBase + errno.
#pragma once

#include <cstdint>
#include <string>

namespace green::os {

constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorInvalidFunction = 1;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorTooManyOpenFiles = 4;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorHandleEof = 38;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorBrokenPipe = 109;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorBusy = 170;
constexpr uint32_t kErrorBadExeFormat = 193;
constexpr uint32_t kErrorBadPipe = 230;
constexpr uint32_t kErrorPipeBusy = 231;
constexpr uint32_t kErrorNoData = 232;
constexpr uint32_t kErrorPipeNotConnected = 233;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorDirectory = 267;
constexpr uint32_t kErrorPipeConnected = 535;
constexpr uint32_t kErrorPipeListening = 536;
constexpr uint32_t kErrorOperationAborted = 995;
constexpr uint32_t kErrorIoIncomplete = 996;
constexpr uint32_t kErrorIoPending = 997;
constexpr uint32_t kErrorTimeout = 1460;
// posix only: errno values without a named code are stored above this base.
constexpr uint32_t kErrnoBase = 0x20000000;

uint32_t GetLastError();
void SetLastError(uint32_t Code);
// The system's message text for Code, without a trailing line break.
std::string SysErrorMessage(uint32_t Code);

}  // namespace green::os
