// The socket library, reached only through functions resolved by name at
// run time: unit-wide, reference-counted loading, and the hub's extension
// functions on top of it. posix resolves the same-named functions of the C
// library and has no extension functions.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "base/Exception.h"
#include "platform/Library.h"

namespace green {

// The Windows socket library's exports use the system's calling convention.
#if defined(_WIN32) && defined(__i386__)
#define GREEN_WSAAPI __attribute__((stdcall))
#else
#define GREEN_WSAAPI
#endif

using TSocket = uintptr_t;
struct TGuid {
  uint32_t D1;
  uint16_t D2, D3;
  uint8_t D4[8];
};

namespace sock {

extern int32_t SynSockCount;
extern os::Module LibHandle;
extern os::Module Libwship6Handle;
extern bool SockEnhancedApi;
extern bool SockWship6Api;
extern uint8_t in6addr_any[16];
extern uint8_t in6addr_loopback[16];

// One pointer per export, by its exact name; empty when unresolved.
struct TSockFunctions {
  void* WSAIoctl;
  void* __WSAFDIsSet;
  void* closesocket;
  void* ioctlsocket;
  void* WSAGetLastError;
  void* WSAStartup;
  void* WSACleanup;
  void* accept;
  void* bind;
  void* connect;
  void* getpeername;
  void* getsockname;
  void* getsockopt;
  void* htonl;
  void* htons;
  void* inet_addr;
  void* inet_ntoa;
  void* listen;
  void* ntohl;
  void* ntohs;
  void* recv;
  void* recvfrom;
  void* select;
  void* send;
  void* sendto;
  void* setsockopt;
  void* shutdown;
  void* socket;
  void* gethostbyaddr;
  void* gethostbyname;
  void* getprotobyname;
  void* getprotobynumber;
  void* getservbyname;
  void* getservbyport;
  void* gethostname;
  void* getaddrinfo;
  void* freeaddrinfo;
  void* getnameinfo;
};
extern TSockFunctions Api;

// LibName empty: "ws2_32.dll". False when the library cannot be loaded.
bool InitSocketInterface(const std::string& LibName = "");
bool DestroySocketInterface();
void SET_IN6_IF_ADDR_ANY(uint8_t* Addr);
void SET_LOOPBACK_ADDR6(uint8_t* Addr);

}  // namespace sock

class EIdWinsockStubError : public ExceptionOf<EIdWinsockStubError, Exception> {
 public:
  EIdWinsockStubError(uint32_t Win32Error, const std::string& Title);
  uint32_t Win32Error() const { return FWin32Error; }
  const std::string& Win32ErrorMessage() const { return FWin32ErrorMessage; }

 private:
  uint32_t FWin32Error;
  std::string FWin32ErrorMessage;
};

// The hub unit's socket functions and extension functions.
struct THubSockApi {
  void* WSASocket;
  void* setsockopt;
  void* WSASendTo;
  void* WSARecvFrom;
  void* AcceptEx;
  void* GetAcceptExSockaddrs;
  void* ConnectEx;
  void* DisconnectEx;
  void* WSARecvMsg;
  void* WSASendMsg;
};
extern THubSockApi HubSock;
extern const TGuid WSAID_ACCEPTEX, WSAID_GETACCEPTEXSOCKADDRS, WSAID_CONNECTEX,
    WSAID_DISCONNECTEX, WSAID_WSARECVMSG, WSAID_WSASENDMSG;

void InitializeStubsEx();
void* FixupStubEx(TSocket Socket, const char* Name, const TGuid& Guid);
// Fills Table with Lib's overlapped socket calls and extension functions.
void LookUpSockExtensions(os::Module Lib, THubSockApi& Table);
// The hub unit's part of start-up and shut-down.
void HubSocketStartup();
void HubSocketShutdown();

}  // namespace green
