#include "ovo/OvoSock.h"

#include "platform/Library.h"

namespace green {

THubSockApi OvoSock = {};

namespace {

using TWSASocketW = TSocket(GREEN_WSAAPI*)(int, int, int, void*, uint32_t, uint32_t);
using TCloseSocket = int(GREEN_WSAAPI*)(TSocket);
using TWSAStartup = int(GREEN_WSAAPI*)(uint16_t, void*);
using TWSACleanup = int(GREEN_WSAAPI*)();

constexpr TSocket kInvalidSocket = ~TSocket(0);
// Room for the start-up record of either word size.
alignas(8) uint8_t OvoWsaData[512];

// Only a library with the overlapped socket calls has extension functions;
// the C library has none.
void LookUpExtensions() {
  if (!sock::LibHandle) return;
  OvoSock.WSASocket = os::GetProcAddress(sock::LibHandle, "WSASocketW");
  OvoSock.setsockopt = sock::Api.setsockopt;
  OvoSock.WSASendTo = os::GetProcAddress(sock::LibHandle, "WSASendTo");
  OvoSock.WSARecvFrom = os::GetProcAddress(sock::LibHandle, "WSARecvFrom");
  auto wsaSocket = reinterpret_cast<TWSASocketW>(OvoSock.WSASocket);
  if (!wsaSocket) return;
  const TSocket s = wsaSocket(2, 1, 6, nullptr, 0, 1);  // IPv4, stream, TCP, overlapped
  struct TCloser {
    TSocket S;
    ~TCloser() {
      auto close = reinterpret_cast<TCloseSocket>(sock::Api.closesocket);
      if (close && S != kInvalidSocket) close(S);
    }
  } closer{s};
  OvoSock.AcceptEx = FixupStubEx(s, "AcceptEx", WSAID_ACCEPTEX);
  OvoSock.GetAcceptExSockaddrs = FixupStubEx(s, "GetAcceptExSockaddrs", WSAID_GETACCEPTEXSOCKADDRS);
  OvoSock.ConnectEx = FixupStubEx(s, "ConnectEx", WSAID_CONNECTEX);
  OvoSock.DisconnectEx = FixupStubEx(s, "DisconnectEx", WSAID_DISCONNECTEX);
  OvoSock.WSARecvMsg = FixupStubEx(s, "WSARecvMsg", WSAID_WSARECVMSG);
  OvoSock.WSASendMsg = FixupStubEx(s, "WSASendMsg", WSAID_WSASENDMSG);
}

}  // namespace

void OvoSocketStartup() {
  sock::InitSocketInterface("");
  if (auto startup = reinterpret_cast<TWSAStartup>(sock::Api.WSAStartup)) startup(0x0202, OvoWsaData);
  LookUpExtensions();
}

void OvoSocketShutdown() {
  if (auto cleanup = reinterpret_cast<TWSACleanup>(sock::Api.WSACleanup)) cleanup();
  OvoSock = {};
  sock::DestroySocketInterface();
}

}  // namespace green
