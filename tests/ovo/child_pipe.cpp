// child_pipe open|serve NAME: another process trying to take a console
// application's pipe, as a client or as a second server. Prints "ok" or
// "error <code>", ended by CR LF.
#include <cstdio>
#include <cstring>

#include "StdioMode.h"
#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/Pipe.h"

int main(int argc, char** argv) {
  namespace os = green::os;
  UseBinaryStdio();
  if (argc != 3) return 2;
  const bool Open = std::strcmp(argv[1], "open") == 0;
  const os::Handle Pipe = Open ? os::OpenNamedPipe(argv[2]) : os::CreateNamedPipe(argv[2], 4096, 4096);
  if (Pipe == os::kInvalidHandleValue) {
    std::printf("error %u\r\n", static_cast<unsigned>(os::GetLastError()));
  } else {
    std::printf("ok\r\n");
    os::CloseHandle(Pipe);
  }
  std::fflush(stdout);
  return 0;
}
