// Named pipes: connecting in both orders, the first-instance rule, busy and
// missing servers, peeks and disconnects.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PipeSupport.h"
#include "platform/Clock.h"
#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/Pipe.h"

namespace green::os {
namespace {

using test::ConnectedPipe;
using test::kIsWin32;
using test::kLongWaitMs;
using test::UniquePipeName;

// A server end with its connect's event and record, closed at the end.
struct Server {
  explicit Server(const std::string& PipeName)
      : Name(PipeName), H(CreateNamedPipe(Name, 4096, 4096)) {
    Connect.Event = CreateEvent(false, false);
  }
  ~Server() {
    if (H != kInvalidHandleValue) CloseHandle(H);
    CloseHandle(Connect.Event);
  }
  // The last error of the connect it starts; kErrorSuccess if it answered true.
  uint32_t StartConnect() { return ConnectNamedPipe(H, Connect) ? kErrorSuccess : GetLastError(); }
  bool Signalled(uint32_t TimeoutMs) const {
    return WaitForSingleObject(Connect.Event, TimeoutMs) == kWaitObject0;
  }

  std::string Name;
  ConnectOverlapped Connect;
  Handle H;
};

struct Client {
  explicit Client(const std::string& Name) : H(OpenNamedPipe(Name)), Error(GetLastError()) {}
  ~Client() {
    if (H != kInvalidHandleValue) CloseHandle(H);
  }
  Handle H;
  uint32_t Error;
};

TEST(NamedPipe, ConnectPendingFirstCompletesWhenAClientOpens) {
  Server S(UniquePipeName("pending"));
  ASSERT_NE(S.H, kInvalidHandleValue) << GetLastError();
  EXPECT_EQ(S.StartConnect(), kErrorIoPending);
  EXPECT_FALSE(S.Signalled(0));
  Client C(S.Name);
  ASSERT_NE(C.H, kInvalidHandleValue) << C.Error;
  EXPECT_TRUE(S.Signalled(kLongWaitMs));
  // Connected now; the event was consumed and a new connect resets it.
  SetEvent(S.Connect.Event);
  EXPECT_EQ(S.StartConnect(), kErrorPipeConnected);
  EXPECT_FALSE(S.Signalled(0));
}

TEST(NamedPipe, ClientFirstThenConnectAnswersPipeConnected) {
  Server S(UniquePipeName("clientfirst"));
  ASSERT_NE(S.H, kInvalidHandleValue) << GetLastError();
  Client C(S.Name);
  ASSERT_NE(C.H, kInvalidHandleValue) << C.Error;
  EXPECT_EQ(S.StartConnect(), kErrorPipeConnected);
  EXPECT_FALSE(S.Signalled(0));
  // The connection is whole without any wait: both ends peek.
  uint32_t Available = 99;
  EXPECT_TRUE(PeekNamedPipe(S.H, nullptr, 0, nullptr, &Available)) << GetLastError();
  EXPECT_EQ(Available, 0u);
  EXPECT_TRUE(PeekNamedPipe(C.H, nullptr, 0, nullptr, &Available)) << GetLastError();
}

TEST(NamedPipe, BytesFlowBothWaysAndPeeksSeeThemFirst) {
  ConnectedPipe P("data");
  ASSERT_TRUE(P.Connected());
  ASSERT_EQ(test::WriteAll(P.Client, "to the server"), kErrorSuccess);
  EXPECT_EQ(test::PeekAll(P.Server), "to the server");
  std::string Got;
  ASSERT_EQ(test::ReadAtLeast(P.Server, 13, Got), kErrorSuccess);
  EXPECT_EQ(Got, "to the server");
  EXPECT_EQ(test::PeekAll(P.Server), "");
  ASSERT_EQ(test::WriteAll(P.Server, "to the client"), kErrorSuccess);
  Got.clear();
  ASSERT_EQ(test::ReadAtLeast(P.Client, 13, Got), kErrorSuccess);
  EXPECT_EQ(Got, "to the client");
}

TEST(NamedPipe, ReadsAfterTheClientClosedGetWhatItWroteThenABrokenPipe) {
  ConnectedPipe P("lastwords");
  ASSERT_TRUE(P.Connected());
  ASSERT_EQ(test::WriteAll(P.Client, "last"), kErrorSuccess);
  ASSERT_TRUE(CloseHandle(P.Client));
  P.Client = kInvalidHandleValue;
  std::string Got;
  EXPECT_EQ(test::ReadAtLeast(P.Server, 4, Got), kErrorSuccess);
  EXPECT_EQ(Got, "last");
  EXPECT_EQ(test::ReadAtLeast(P.Server, 5, Got), kErrorBrokenPipe);
}

TEST(NamedPipe, OpenWithoutAServerIsFileNotFound) {
  const std::string Name = UniquePipeName("none");
  EXPECT_EQ(OpenNamedPipe(Name), kInvalidHandleValue);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  // Nor once the server that had the name is closed.
  { Server S(Name); }
  EXPECT_EQ(OpenNamedPipe(Name), kInvalidHandleValue);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST(NamedPipe, OnlyTheFirstInstanceOfANameIsCreated) {
  if (test::UnderWine()) GTEST_SKIP() << "Wine 8 ignores FILE_FLAG_FIRST_PIPE_INSTANCE";
  const std::string Name = UniquePipeName("first");
  Server First(Name);
  ASSERT_NE(First.H, kInvalidHandleValue) << GetLastError();
  EXPECT_EQ(CreateNamedPipe(Name, 4096, 4096), kInvalidHandleValue);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  // Names are compared without regard to case.
  std::string Upper = Name;
  for (char& C : Upper) C = C >= 'a' && C <= 'z' ? static_cast<char>(C - 'a' + 'A') : C;
  EXPECT_EQ(CreateNamedPipe(Upper, 4096, 4096), kInvalidHandleValue);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

TEST(NamedPipe, ANameIsFreeAgainOnceItsServerIsClosed) {
  const std::string Name = UniquePipeName("again");
  { Server First(Name); }
  Server Second(Name);
  ASSERT_NE(Second.H, kInvalidHandleValue) << GetLastError();
  EXPECT_EQ(Second.StartConnect(), kErrorIoPending);
  Client C(Name);
  EXPECT_NE(C.H, kInvalidHandleValue) << C.Error;
  EXPECT_TRUE(Second.Signalled(kLongWaitMs));
}

TEST(NamedPipe, NamesAreCaseInsensitive) {
  Server S(UniquePipeName("MixedCase"));
  ASSERT_NE(S.H, kInvalidHandleValue) << GetLastError();
  std::string Lower = S.Name;
  for (char& C : Lower) C = C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
  Client C(Lower);
  EXPECT_NE(C.H, kInvalidHandleValue) << C.Error;
}

TEST(NamedPipe, ASecondClientIsBusy) {
  ConnectedPipe P("busy");
  ASSERT_TRUE(P.Connected());
  Client Second(P.Name);
  EXPECT_EQ(Second.H, kInvalidHandleValue);
  EXPECT_EQ(Second.Error, kErrorPipeBusy);
  // The first connection is untouched.
  uint32_t Available = 99;
  EXPECT_TRUE(PeekNamedPipe(P.Server, nullptr, 0, nullptr, &Available)) << GetLastError();
}

TEST(NamedPipe, PeekOnAnEmptyPipeAnswersZeroWithoutBlocking) {
  ConnectedPipe P("emptypeek");
  ASSERT_TRUE(P.Connected());
  for (Handle End : {P.Server, P.Client}) {
    char Buffer[16];
    uint32_t Copied = 99, Available = 99;
    const int64_t Start = MonotonicNanos();
    EXPECT_TRUE(PeekNamedPipe(End, Buffer, sizeof Buffer, &Copied, &Available)) << GetLastError();
    EXPECT_LT(MonotonicNanos() - Start, 5'000'000'000);
    EXPECT_EQ(Copied, 0u);
    EXPECT_EQ(Available, 0u);
  }
}

TEST(NamedPipe, PeekOnAServerWithoutAClientIsBadPipe) {
  Server S(UniquePipeName("badpeek"));
  ASSERT_NE(S.H, kInvalidHandleValue) << GetLastError();
  uint32_t Available = 0;
  EXPECT_FALSE(PeekNamedPipe(S.H, nullptr, 0, nullptr, &Available));
  EXPECT_EQ(GetLastError(), kErrorBadPipe);
  EXPECT_EQ(S.StartConnect(), kErrorIoPending);
  EXPECT_FALSE(PeekNamedPipe(S.H, nullptr, 0, nullptr, &Available));
  EXPECT_EQ(GetLastError(), kErrorBadPipe);
}

TEST(NamedPipe, AClosedClientIsABrokenPipeToItsServer) {
  Server S(UniquePipeName("closed"));
  ASSERT_EQ(S.StartConnect(), kErrorIoPending);
  {
    Client C(S.Name);
    ASSERT_NE(C.H, kInvalidHandleValue) << C.Error;
    ASSERT_TRUE(S.Signalled(kLongWaitMs));
  }
  uint32_t Available = 0;
  EXPECT_FALSE(PeekNamedPipe(S.H, nullptr, 0, nullptr, &Available));
  EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
  EXPECT_EQ(S.StartConnect(), kErrorNoData);
  // Disconnecting makes the instance ready for the next client.
  EXPECT_TRUE(DisconnectNamedPipe(S.H)) << GetLastError();
  EXPECT_EQ(S.StartConnect(), kErrorIoPending);
  Client Next(S.Name);
  EXPECT_NE(Next.H, kInvalidHandleValue) << Next.Error;
  EXPECT_TRUE(S.Signalled(kLongWaitMs));
}

TEST(NamedPipe, DisconnectEndsTheConnectionUntilTheNextConnect) {
  Server S(UniquePipeName("disconnect"));
  ASSERT_EQ(S.StartConnect(), kErrorIoPending);
  Client C(S.Name);
  ASSERT_NE(C.H, kInvalidHandleValue) << C.Error;
  ASSERT_TRUE(S.Signalled(kLongWaitMs));

  ASSERT_TRUE(DisconnectNamedPipe(S.H)) << GetLastError();
  uint32_t Available = 0;
  EXPECT_FALSE(PeekNamedPipe(C.H, nullptr, 0, nullptr, &Available));
  // posix cannot tell a disconnect from a close on the client's side.
  EXPECT_EQ(GetLastError(), kIsWin32 ? kErrorPipeNotConnected : kErrorBrokenPipe);
  EXPECT_FALSE(PeekNamedPipe(S.H, nullptr, 0, nullptr, &Available));
  EXPECT_EQ(GetLastError(), kErrorBadPipe);
  EXPECT_FALSE(DisconnectNamedPipe(S.H));
  EXPECT_EQ(GetLastError(), kErrorPipeNotConnected);
  // Disconnected, the instance turns clients away until it connects again.
  Client Refused(S.Name);
  EXPECT_EQ(Refused.H, kInvalidHandleValue);
  EXPECT_EQ(Refused.Error, kErrorPipeBusy);
  EXPECT_EQ(S.StartConnect(), kErrorIoPending);
  Client Next(S.Name);
  EXPECT_NE(Next.H, kInvalidHandleValue) << Next.Error;
  EXPECT_TRUE(S.Signalled(kLongWaitMs));
  EXPECT_TRUE(PeekNamedPipe(S.H, nullptr, 0, nullptr, &Available)) << GetLastError();
}

TEST(NamedPipe, DisconnectNeedsAConnectedServer) {
  Server S(UniquePipeName("nodisconnect"));
  EXPECT_FALSE(DisconnectNamedPipe(S.H));
  EXPECT_EQ(GetLastError(), kErrorPipeListening);
  ASSERT_EQ(S.StartConnect(), kErrorIoPending);
  EXPECT_FALSE(DisconnectNamedPipe(S.H));
  EXPECT_EQ(GetLastError(), kErrorPipeListening);
  Client C(S.Name);
  ASSERT_NE(C.H, kInvalidHandleValue) << C.Error;
  // A client end cannot disconnect; Wine and posix answer "not supported".
  EXPECT_FALSE(DisconnectNamedPipe(C.H));
  EXPECT_EQ(GetLastError(), kErrorNotSupported);
}

TEST(NamedPipe, ClosingAServerCompletesItsPendingConnect) {
  Server S(UniquePipeName("closepending"));
  ASSERT_EQ(S.StartConnect(), kErrorIoPending);
  ASSERT_TRUE(CloseHandle(S.H));
  S.H = kInvalidHandleValue;
  EXPECT_TRUE(S.Signalled(kLongWaitMs));
}

// Servers of different names coexist, and a client reaches its own server
// alone; long names and characters that files cannot have included.
TEST(NamedPipe, DifferentNamesAreDifferentPipes) {
  const std::string Long(200, 'n');
  std::vector<std::unique_ptr<Server>> Servers;
  for (const std::string& Tag : {std::string("twin"), std::string("twin"), Long + "a", Long + "b",
                                 std::string("with/slash and:colon*")}) {
    Servers.push_back(std::make_unique<Server>(UniquePipeName(Tag)));
    ASSERT_NE(Servers.back()->H, kInvalidHandleValue)
        << Servers.back()->Name << ": " << GetLastError();
    ASSERT_EQ(Servers.back()->StartConnect(), kErrorIoPending);
  }
  std::vector<std::unique_ptr<Client>> Clients;
  for (size_t I = 0; I < Servers.size(); ++I) {
    Clients.push_back(std::make_unique<Client>(Servers[I]->Name));
    ASSERT_NE(Clients.back()->H, kInvalidHandleValue) << Clients.back()->Error;
    EXPECT_TRUE(Servers[I]->Signalled(kLongWaitMs)) << Servers[I]->Name;
    for (size_t Later = I + 1; Later < Servers.size(); ++Later)
      EXPECT_FALSE(Servers[Later]->Signalled(0)) << Servers[Later]->Name;
  }
}

TEST(NamedPipe, NamesOutsideThePipeNamespaceAreRefused) {
  EXPECT_EQ(CreateNamedPipe("\\\\.\\notpipe\\green-test", 4096, 4096), kInvalidHandleValue);
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  EXPECT_EQ(CreateNamedPipe(UniquePipeName("instances"), 4096, 4096, 0), kInvalidHandleValue);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST(NamedPipe, PipeCallsOnOtherHandlesAnswerInvalidHandle) {
  const Handle Event = CreateEvent(true, false);
  ConnectOverlapped Connect;
  uint32_t Available = 0;
  if (!kIsWin32) {
    // Windows takes an event for a file and answers other codes.
    EXPECT_FALSE(ConnectNamedPipe(Event, Connect));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
    EXPECT_FALSE(PeekNamedPipe(Event, nullptr, 0, nullptr, &Available));
    EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  }
  CloseHandle(Event);
  EXPECT_FALSE(DisconnectNamedPipe(Event));
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

// Each way a child's stream goes: what one end writes is peeked, and left
// for the read, at the other.
TEST(NamedPipe, AStreamPipeCarriesBytesTheWayTheChildUsesItAndIsPeeked) {
  for (const bool ChildReads : {true, false}) {
    SCOPED_TRACE(ChildReads ? "the child's input" : "the child's output");
    Handle Parent = kNoHandle, Child = kNoHandle;
    ASSERT_TRUE(CreateStreamPipe(UniquePipeName("stream"), ChildReads, 4096, Parent, Child))
        << GetLastError();
    const Handle Writer = ChildReads ? Parent : Child;
    const Handle Reader = ChildReads ? Child : Parent;
    ASSERT_EQ(test::WriteAll(Writer, "hello"), kErrorSuccess);
    EXPECT_EQ(test::PeekAll(Reader), "hello");
    std::string Got;
    EXPECT_EQ(test::ReadAtLeast(Reader, 5, Got), kErrorSuccess);
    EXPECT_EQ(Got, "hello") << "the peek consumed nothing";
    CloseHandle(Writer);
    uint32_t Available = 0;
    EXPECT_FALSE(PeekNamedPipe(Reader, nullptr, 0, nullptr, &Available));
    EXPECT_EQ(GetLastError(), kErrorBrokenPipe);
    CloseHandle(Reader);
  }
}

TEST(NamedPipe, PairsConnectOnManyThreadsAtOnce) {
  std::atomic<int> Connected{0};
  std::vector<std::thread> Threads;
  for (int T = 0; T < 6; ++T) {
    Threads.emplace_back([&] {
      for (int Round = 0; Round < 25; ++Round) {
        ConnectedPipe P("threads");
        uint32_t Available = 99;
        if (P.Connected() && PeekNamedPipe(P.Server, nullptr, 0, nullptr, &Available) &&
            Available == 0)
          ++Connected;
      }
    });
  }
  for (std::thread& T : Threads) T.join();
  EXPECT_EQ(Connected.load(), 6 * 25);
}

// Servers come and go under clients that keep opening the name: every open
// connects or answers one of the two refusals, and nothing is left over.
TEST(NamedPipe, ServersClosingWhileClientsOpen) {
  const std::string Name = UniquePipeName("churn");
  std::atomic<bool> Done{false};
  std::atomic<int> Unexpected{0};
  std::atomic<int> Opened{0};
  std::thread Opener([&] {
    while (!Done) {
      const Handle H = OpenNamedPipe(Name);
      const uint32_t Error = GetLastError();
      if (H != kInvalidHandleValue) {
        CloseHandle(H);
        ++Opened;
      } else if (Error != kErrorFileNotFound && Error != kErrorPipeBusy) {
        ++Unexpected;
      }
    }
  });
  // At least 200 servers, and on until the opener got through a few times.
  const int64_t Deadline = MonotonicNanos() + int64_t{kLongWaitMs} * 1'000'000;
  for (int Round = 0; Round < 200 || (Opened < 10 && MonotonicNanos() < Deadline); ++Round) {
    Server S(Name);
    if (S.H == kInvalidHandleValue) continue;  // Windows: the last instance may linger
    if (S.StartConnect() == kErrorIoPending) S.Signalled(Round % 2 ? 5 : 0);
  }
  Done = true;
  Opener.join();
  EXPECT_EQ(Unexpected.load(), 0);
  EXPECT_GE(Opened.load(), 10);
}

}  // namespace
}  // namespace green::os
