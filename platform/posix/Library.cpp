#include "platform/Library.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <strings.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iterator>

#include "platform/Error.h"

namespace green::os {

namespace {

bool EndsWithDll(const char* Name) {
  size_t Length = std::strlen(Name);
  return Length >= 4 && strcasecmp(Name + Length - 4, ".dll") == 0;
}

// The C library as the socket library: the handle LoadLibrary gave.
std::atomic<Module> SocketLibrary{nullptr};

struct TExport {
  const char* Name;
  void* Address;  // nullptr: the C library has no such function
};

// The socket library's exports as the C library has them, sorted by name:
// the socket start-up resolves them all, and a dynamic lookup of each (a
// failed one most of all) costs more than the rest of a small program's
// start. Other names are looked up as usual.
const TExport kSocketExports[] = {
    {"WSACleanup", nullptr},
    {"WSAGetLastError", nullptr},
    {"WSAIoctl", nullptr},
    {"WSARecvFrom", nullptr},
    {"WSASendTo", nullptr},
    {"WSASocketW", nullptr},
    {"WSAStartup", nullptr},
    {"__WSAFDIsSet", nullptr},
    {"accept", reinterpret_cast<void*>(&::accept)},
    {"bind", reinterpret_cast<void*>(&::bind)},
    {"closesocket", nullptr},
    {"connect", reinterpret_cast<void*>(&::connect)},
    {"freeaddrinfo", reinterpret_cast<void*>(&::freeaddrinfo)},
    {"getaddrinfo", reinterpret_cast<void*>(&::getaddrinfo)},
    {"gethostbyaddr", reinterpret_cast<void*>(&::gethostbyaddr)},
    {"gethostbyname", reinterpret_cast<void*>(&::gethostbyname)},
    {"gethostname", reinterpret_cast<void*>(&::gethostname)},
    {"getnameinfo", reinterpret_cast<void*>(&::getnameinfo)},
    {"getpeername", reinterpret_cast<void*>(&::getpeername)},
    {"getprotobyname", reinterpret_cast<void*>(&::getprotobyname)},
    {"getprotobynumber", reinterpret_cast<void*>(&::getprotobynumber)},
    {"getservbyname", reinterpret_cast<void*>(&::getservbyname)},
    {"getservbyport", reinterpret_cast<void*>(&::getservbyport)},
    {"getsockname", reinterpret_cast<void*>(&::getsockname)},
    {"getsockopt", reinterpret_cast<void*>(&::getsockopt)},
    {"htonl", reinterpret_cast<void*>(&::htonl)},
    {"htons", reinterpret_cast<void*>(&::htons)},
    {"inet_addr", reinterpret_cast<void*>(&::inet_addr)},
    {"inet_ntoa", reinterpret_cast<void*>(&::inet_ntoa)},
    {"ioctlsocket", nullptr},
    {"listen", reinterpret_cast<void*>(&::listen)},
    {"ntohl", reinterpret_cast<void*>(&::ntohl)},
    {"ntohs", reinterpret_cast<void*>(&::ntohs)},
    {"recv", reinterpret_cast<void*>(&::recv)},
    {"recvfrom", reinterpret_cast<void*>(&::recvfrom)},
    {"select", reinterpret_cast<void*>(&::select)},
    {"send", reinterpret_cast<void*>(&::send)},
    {"sendto", reinterpret_cast<void*>(&::sendto)},
    {"setsockopt", reinterpret_cast<void*>(&::setsockopt)},
    {"shutdown", reinterpret_cast<void*>(&::shutdown)},
    {"socket", reinterpret_cast<void*>(&::socket)},
};

const TExport* SocketExport(const char* Name) {
  const auto Less = [](const TExport& E, const char* N) { return std::strcmp(E.Name, N) < 0; };
  const TExport* It = std::lower_bound(std::begin(kSocketExports), std::end(kSocketExports), Name, Less);
  return It != std::end(kSocketExports) && std::strcmp(It->Name, Name) == 0 ? It : nullptr;
}

}  // namespace

Module LoadLibrary(const char* Name) {
  if (!Name || !*Name) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  // The C library has the classic socket functions under their Windows names;
  // no other Windows library exists here.
  if (strcasecmp(Name, "ws2_32.dll") == 0) {
    Name = "libc.so.6";
  } else if (EndsWithDll(Name)) {
    SetLastError(kErrorFileNotFound);
    return nullptr;
  }
  // The C library is never unloaded: its handle, once had, serves every
  // later load without another dlopen, and freeing it changes nothing.
  const bool Socket = std::strcmp(Name, "libc.so.6") == 0;
  if (Module Known = Socket ? SocketLibrary.load(std::memory_order_relaxed) : nullptr) return Known;
  Module M = dlopen(Name, RTLD_NOW | RTLD_LOCAL);
  if (!M) SetLastError(kErrorFileNotFound);
  if (M && Socket) SocketLibrary.store(M, std::memory_order_relaxed);
  return M;
}

void* GetProcAddress(Module M, const char* Name) {
  if (!M || !Name) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  const TExport* Known = M == SocketLibrary.load(std::memory_order_relaxed) ? SocketExport(Name) : nullptr;
  void* Proc = Known ? Known->Address : dlsym(M, Name);
  if (!Proc) SetLastError(kErrorNotSupported);
  return Proc;
}

void FreeLibrary(Module M) {
  if (M && M != SocketLibrary.load(std::memory_order_relaxed)) dlclose(M);
}

}  // namespace green::os
