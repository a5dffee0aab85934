#include "hub/Sock.h"

#include <cstring>

#include "platform/Error.h"

namespace green {
namespace sock {

int32_t SynSockCount = 0;
os::Module LibHandle = nullptr;
os::Module Libwship6Handle = nullptr;
bool SockEnhancedApi = false;
bool SockWship6Api = false;
uint8_t in6addr_any[16];
uint8_t in6addr_loopback[16];
TSockFunctions Api = {};

namespace {

std::mutex& SynSockCS() {
  static std::mutex cs;
  return cs;
}

// In the order of TSockFunctions' fields.
constexpr const char* kExports[] = {
    "WSAIoctl",       "__WSAFDIsSet",   "closesocket",    "ioctlsocket",      "WSAGetLastError",
    "WSAStartup",     "WSACleanup",     "accept",         "bind",             "connect",
    "getpeername",    "getsockname",    "getsockopt",     "htonl",            "htons",
    "inet_addr",      "inet_ntoa",      "listen",         "ntohl",            "ntohs",
    "recv",           "recvfrom",       "select",         "send",             "sendto",
    "setsockopt",     "shutdown",       "socket",         "gethostbyaddr",    "gethostbyname",
    "getprotobyname", "getprotobynumber", "getservbyname", "getservbyport",   "gethostname",
    "getaddrinfo",    "freeaddrinfo",   "getnameinfo"};
static_assert(sizeof(kExports) / sizeof(kExports[0]) == sizeof(TSockFunctions) / sizeof(void*));

void** Slots() { return reinterpret_cast<void**>(&Api); }

bool ResolveNameResolution(os::Module M) {
  Api.getaddrinfo = os::GetProcAddress(M, "getaddrinfo");
  Api.freeaddrinfo = os::GetProcAddress(M, "freeaddrinfo");
  Api.getnameinfo = os::GetProcAddress(M, "getnameinfo");
  return Api.getaddrinfo && Api.freeaddrinfo && Api.getnameinfo;
}

struct TSockUnit {
  TSockUnit() {
    SET_IN6_IF_ADDR_ANY(in6addr_any);
    SET_LOOPBACK_ADDR6(in6addr_loopback);
  }
} SockUnit;

}  // namespace

void SET_IN6_IF_ADDR_ANY(uint8_t* Addr) { std::memset(Addr, 0, 16); }

void SET_LOOPBACK_ADDR6(uint8_t* Addr) {
  std::memset(Addr, 0, 16);
  Addr[15] = 1;
}

bool InitSocketInterface(const std::string& LibName) {
  std::lock_guard<std::mutex> Lock(SynSockCS());
  if (SynSockCount > 0) {
    ++SynSockCount;
    return true;
  }
  SockEnhancedApi = false;
  SockWship6Api = false;
  LibHandle = os::LoadLibrary(LibName.empty() ? "ws2_32.dll" : LibName.c_str());
  if (!LibHandle) return false;
  for (size_t I = 0; I < sizeof(kExports) / sizeof(kExports[0]); ++I)
    Slots()[I] = os::GetProcAddress(LibHandle, kExports[I]);
  SockEnhancedApi = Api.getaddrinfo && Api.freeaddrinfo && Api.getnameinfo;
  if (!SockEnhancedApi) {
    Libwship6Handle = os::LoadLibrary("wship6.dll");
    if (Libwship6Handle) SockWship6Api = ResolveNameResolution(Libwship6Handle);
  }
  ++SynSockCount;
  return true;
}

bool DestroySocketInterface() {
  std::lock_guard<std::mutex> Lock(SynSockCS());
  if (SynSockCount > 0) --SynSockCount;
  if (SynSockCount == 0) {
    if (LibHandle) os::FreeLibrary(LibHandle);
    if (Libwship6Handle) os::FreeLibrary(Libwship6Handle);
    LibHandle = Libwship6Handle = nullptr;
    Api = {};
  }
  return true;
}

}  // namespace sock

EIdWinsockStubError::EIdWinsockStubError(uint32_t Win32Error, const std::string& Title)
    : ExceptionOf(Win32Error ? Title + ": " + os::SysErrorMessage(Win32Error) : Title),
      FWin32Error(Win32Error),
      FWin32ErrorMessage(Win32Error ? os::SysErrorMessage(Win32Error) : std::string()) {}

THubSockApi HubSock = {};
const TGuid WSAID_ACCEPTEX = {0xb5367df1, 0xcbac, 0x11cf, {0x95, 0xca, 0x00, 0x80, 0x5f, 0x48, 0xa1, 0x92}};
const TGuid WSAID_GETACCEPTEXSOCKADDRS = {0xb5367df2, 0xcbac, 0x11cf, {0x95, 0xca, 0x00, 0x80, 0x5f, 0x48, 0xa1, 0x92}};
const TGuid WSAID_CONNECTEX = {0x25a207b9, 0xddf3, 0x4660, {0x8e, 0xe9, 0x76, 0xe5, 0x8c, 0x74, 0x06, 0x3e}};
const TGuid WSAID_DISCONNECTEX = {0x7fda2e11, 0x8630, 0x436f, {0xa0, 0x31, 0xf5, 0x36, 0xa6, 0xee, 0xc1, 0x57}};
const TGuid WSAID_WSARECVMSG = {0xf689d7c8, 0x6f1f, 0x436b, {0x8a, 0x53, 0xe5, 0x4f, 0xe3, 0x51, 0xc3, 0x22}};
const TGuid WSAID_WSASENDMSG = {0xa441e712, 0x754f, 0x43ca, {0x84, 0xa7, 0x0d, 0xee, 0x44, 0xcf, 0x60, 0x6d}};

namespace {

using TWSAIoctl = int(GREEN_WSAAPI*)(TSocket, uint32_t, void*, uint32_t, void*, uint32_t,
                                     uint32_t*, void*, void*);
using TWSASocketW = TSocket(GREEN_WSAAPI*)(int, int, int, void*, uint32_t, uint32_t);
using TCloseSocket = int(GREEN_WSAAPI*)(TSocket);
using TWSAGetLastError = int(GREEN_WSAAPI*)();
using TWSAStartup = int(GREEN_WSAAPI*)(uint16_t, void*);
using TWSACleanup = int(GREEN_WSAAPI*)();

constexpr uint32_t SIO_GET_EXTENSION_FUNCTION_POINTER = 0xC8000006;
constexpr TSocket INVALID_SOCKET = ~TSocket(0);
os::Module StubsLib = nullptr;
// Room for the start-up record of either word size.
alignas(8) uint8_t WsaDataOnce[512];

}  // namespace

void* FixupStubEx(TSocket Socket, const char* Name, const TGuid& Guid) {
  void* Fn = nullptr;
  uint32_t Bytes = 0;
  auto Ioctl = reinterpret_cast<TWSAIoctl>(sock::Api.WSAIoctl);
  TGuid Id = Guid;
  if (!Ioctl || Ioctl(Socket, SIO_GET_EXTENSION_FUNCTION_POINTER, &Id, sizeof Id, &Fn,
                      sizeof Fn, &Bytes, nullptr, nullptr) != 0) {
    auto LastError = reinterpret_cast<TWSAGetLastError>(sock::Api.WSAGetLastError);
    throw EIdWinsockStubError(LastError ? static_cast<uint32_t>(LastError()) : 0,
                              Format("Error on call to Winsock2 library function %s", Name));
  }
  return Fn;
}

// Only a library that has the overlapped socket calls has extension
// functions to look up; the C library does not.
void LookUpSockExtensions(os::Module Lib, THubSockApi& Table) {
  Table.WSASocket = os::GetProcAddress(Lib, "WSASocketW");
  Table.setsockopt = os::GetProcAddress(Lib, "setsockopt");
  Table.WSASendTo = os::GetProcAddress(Lib, "WSASendTo");
  Table.WSARecvFrom = os::GetProcAddress(Lib, "WSARecvFrom");
  auto WsaSocket = reinterpret_cast<TWSASocketW>(Table.WSASocket);
  if (!WsaSocket) return;
  TSocket S = WsaSocket(2, 1, 6, nullptr, 0, 1);  // IPv4, stream, TCP, overlapped
  struct Closer {
    TSocket s;
    ~Closer() {
      if (auto Close = reinterpret_cast<TCloseSocket>(sock::Api.closesocket); Close && s != INVALID_SOCKET)
        Close(s);
    }
  } Closer{S};
  Table.AcceptEx = FixupStubEx(S, "AcceptEx", WSAID_ACCEPTEX);
  Table.GetAcceptExSockaddrs = FixupStubEx(S, "GetAcceptExSockaddrs", WSAID_GETACCEPTEXSOCKADDRS);
  Table.ConnectEx = FixupStubEx(S, "ConnectEx", WSAID_CONNECTEX);
  Table.DisconnectEx = FixupStubEx(S, "DisconnectEx", WSAID_DISCONNECTEX);
  Table.WSARecvMsg = FixupStubEx(S, "WSARecvMsg", WSAID_WSARECVMSG);
  Table.WSASendMsg = FixupStubEx(S, "WSASendMsg", WSAID_WSASENDMSG);
}

void InitializeStubsEx() {
  StubsLib = os::LoadLibrary("ws2_32.dll");
  if (StubsLib) LookUpSockExtensions(StubsLib, HubSock);
}

void HubSocketStartup() {
  sock::InitSocketInterface("");
  if (auto Startup = reinterpret_cast<TWSAStartup>(sock::Api.WSAStartup)) Startup(0x0202, WsaDataOnce);
  InitializeStubsEx();
}

void HubSocketShutdown() {
  if (auto Cleanup = reinterpret_cast<TWSACleanup>(sock::Api.WSACleanup)) Cleanup();
  sock::DestroySocketInterface();
  if (StubsLib) os::FreeLibrary(StubsLib);
  StubsLib = nullptr;
  HubSock = {};
}

}  // namespace green
