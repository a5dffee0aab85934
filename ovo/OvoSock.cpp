#include "ovo/OvoSock.h"

#include "platform/Library.h"

namespace green {

THubSockApi OvoSock = {};

namespace {

using TWSAStartup = int(GREEN_WSAAPI*)(uint16_t, void*);
using TWSACleanup = int(GREEN_WSAAPI*)();

// Room for the start-up record of either word size.
alignas(8) uint8_t OvoWsaData[512];

}  // namespace

void OvoSocketStartup() {
  sock::InitSocketInterface("");
  if (auto Startup = reinterpret_cast<TWSAStartup>(sock::Api.WSAStartup)) Startup(0x0202, OvoWsaData);
  if (sock::LibHandle) LookUpSockExtensions(sock::LibHandle, OvoSock);
}

void OvoSocketShutdown() {
  if (auto Cleanup = reinterpret_cast<TWSACleanup>(sock::Api.WSACleanup)) Cleanup();
  OvoSock = {};
  sock::DestroySocketInterface();
}

}  // namespace green
