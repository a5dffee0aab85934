// Loading the socket library by name, with a shared reference count.
#include <gtest/gtest.h>

#include "hub/Sock.h"

namespace green {
namespace {

TEST(SocketInterface, LoadsOnceAndUnloadsWithTheLastUser) {
  const int32_t Base = sock::SynSockCount;
  ASSERT_GE(Base, 1) << "the hub unit loaded it at start-up";
  EXPECT_TRUE(sock::InitSocketInterface(""));
  EXPECT_TRUE(sock::InitSocketInterface(""));
  EXPECT_EQ(sock::SynSockCount, Base + 2);
  EXPECT_TRUE(sock::DestroySocketInterface());
  EXPECT_NE(sock::LibHandle, nullptr);
  EXPECT_NE(sock::Api.socket, nullptr);
  EXPECT_TRUE(sock::DestroySocketInterface());
  EXPECT_EQ(sock::SynSockCount, Base);

  for (int32_t I = 0; I < Base; ++I) sock::DestroySocketInterface();
  EXPECT_EQ(sock::SynSockCount, 0);
  EXPECT_EQ(sock::LibHandle, nullptr);
  EXPECT_EQ(sock::Api.socket, nullptr);
  sock::DestroySocketInterface();
  EXPECT_EQ(sock::SynSockCount, 0) << "the count never goes below zero";

  for (int32_t I = 0; I < Base; ++I) EXPECT_TRUE(sock::InitSocketInterface(""));
  EXPECT_EQ(sock::SynSockCount, Base);
  EXPECT_NE(sock::Api.socket, nullptr);
}

TEST(SocketInterface, ResolvesTheClassicFunctionsByName) {
  EXPECT_NE(sock::Api.socket, nullptr);
  EXPECT_NE(sock::Api.bind, nullptr);
  EXPECT_NE(sock::Api.htons, nullptr);
  EXPECT_TRUE(sock::SockEnhancedApi);
  EXPECT_FALSE(sock::SockWship6Api);
#ifdef _WIN32
  EXPECT_NE(sock::Api.WSAStartup, nullptr);
  EXPECT_NE(HubSock.WSASocket, nullptr);
  EXPECT_NE(HubSock.AcceptEx, nullptr);
  EXPECT_NE(HubSock.ConnectEx, nullptr);
  EXPECT_NE(HubSock.WSARecvMsg, nullptr);
#else
  EXPECT_EQ(HubSock.AcceptEx, nullptr) << "the C library has no extension functions";
#endif
}

TEST(SocketInterface, UnknownLibraryIsReportedAndLeavesNothingLoaded) {
  const int32_t Base = sock::SynSockCount;
  for (int32_t I = 0; I < Base; ++I) sock::DestroySocketInterface();
  EXPECT_FALSE(sock::InitSocketInterface("no_such_library.dll"));
  EXPECT_EQ(sock::SynSockCount, 0);
  EXPECT_EQ(sock::Api.socket, nullptr);
  for (int32_t I = 0; I < Base; ++I) sock::InitSocketInterface("");
}

TEST(SocketInterface, IPv6ConstantsAndStubError) {
  uint8_t Loopback[16] = {0};
  Loopback[15] = 1;
  EXPECT_EQ(0, memcmp(sock::in6addr_loopback, Loopback, 16));
  const uint8_t Any[16] = {0};
  EXPECT_EQ(0, memcmp(sock::in6addr_any, Any, 16));

  EIdWinsockStubError Plain(0, "Error on call to Winsock2 library function AcceptEx");
  EXPECT_EQ(Plain.Message(), "Error on call to Winsock2 library function AcceptEx");
  EIdWinsockStubError WithCode(2, "Title");
  EXPECT_EQ(WithCode.Message().rfind("Title: ", 0), 0u);
  EXPECT_GT(WithCode.Message().size(), 7u);
  EXPECT_EQ(WithCode.Win32Error(), 2u);
}

}  // namespace
}  // namespace green
