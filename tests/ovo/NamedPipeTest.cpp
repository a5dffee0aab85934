// Named-pipe ends as providers: names, the connect and its timeout, peeking
// and what counts as readable, and the errors of each step.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>

#include "hub/Hub.h"
#include "ovo/Ovo.h"
#include "platform/PipeSupport.h"
#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/Process.h"

namespace green {
namespace {

std::string UniqueName(const char* Tag) {
  static std::atomic<int> Counter{0};
  return "green-ovo-" + std::to_string(os::CurrentProcessId()) + "-" + Tag + "-" +
         std::to_string(++Counter);
}

std::string ErrorText(const char* Template, uint32_t Code) {
  return Format(Template, os::SysErrorMessage(Code).c_str());
}

// A server end and the client end connected to it: the connect is started
// (a wait of 0), then the client opens and completes it.
struct TConnectedPipe {
  RefPtr<TOvoNamedPipe> Server;
  RefPtr<TOvoNamedPipe> Client;

  explicit TConnectedPipe(const std::string& Name)
      : Server(MakeRef<TOvoNamedPipe>(Name)), Client(MakeRef<TOvoNamedPipe>(Name)) {
    Server->MakeServer(4096);
    EXPECT_FALSE(Server->WaitConnection(0)) << "no client yet";
    Client->Open();
  }
};

TEST(OvoNamedPipe, TheNameGoesUnderThePipeNamespace) {
  TOvoNamedPipe* Pipe = new TOvoNamedPipe("abc");
  RefPtr<IOvoNamedPipe> Ref(Pipe);
  EXPECT_EQ(Pipe->PipeName(), "\\\\.\\pipe\\abc");
  EXPECT_EQ(Pipe->GetFd(), os::kNoHandle) << "no handle before MakeServer or Open";
  EXPECT_FALSE(Pipe->Opened());
}

TEST(OvoNamedPipe, WaitConnectionWithoutAClientIsFalseAfterTheTimeout) {
  RefPtr<TOvoNamedPipe> Server = MakeRef<TOvoNamedPipe>(UniqueName("timeout"));
  Server->MakeServer(4096);
  const auto Start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Server->WaitConnection(60));
  EXPECT_GE(std::chrono::steady_clock::now() - Start, std::chrono::milliseconds(50));
}

TEST(OvoNamedPipe, APendingConnectCompletesWhenTheClientOpens) {
  TConnectedPipe P(UniqueName("connect"));
  EXPECT_TRUE(P.Client->Opened());
  EXPECT_FALSE(P.Server->Opened()) << "the server end is made, not opened";
  P.Client->WriteLn("ping");
  EXPECT_EQ(P.Server->ReadLn(), "ping");
  P.Server->WriteLn("pong");
  EXPECT_EQ(P.Client->ReadLn(), "pong");
}

TEST(OvoNamedPipe, PeekOnAnEmptyPipeIsEmptyAndDoesNotBlock) {
  TConnectedPipe P(UniqueName("peek"));
  EXPECT_TRUE(P.Server->Peek().empty());
  EXPECT_EQ(P.Server->GetDriverRcvBufSize(), 0u);
}

TEST(OvoNamedPipe, PeekSeesThePipeNotThePushBackAndTheReadableSizeCountsBoth) {
  TConnectedPipe P(UniqueName("readable"));
  ASSERT_EQ(P.Client->Write("ab\r\nxyz", 7), 7u);
  ASSERT_EQ(P.Server->ReadLn(), "ab");
  ASSERT_EQ(P.Server->PendingBytes(), 3u) << "\"xyz\" is pushed back";
  ASSERT_EQ(P.Client->Write("12345", 5), 5u);
  EXPECT_EQ(P.Server->GetDriverRcvBufSize(), 8u);
  const TBytes Peeked = P.Server->Peek();
  EXPECT_EQ(std::string(Peeked.begin(), Peeked.end()), "12345");
  char Buf[8];
  ASSERT_EQ(P.Server->Read(Buf, 8), 8u) << "peeking consumed nothing";
  EXPECT_EQ(std::string(Buf, 8), "xyz12345");
}

TEST(OvoNamedPipe, TheReadableSizeCountsThePushBackAlsoWhileALineIsAssembled) {
  TConnectedPipe P(UniqueName("assembly"));
  ASSERT_EQ(P.Client->Write("one\r\ntwo", 8), 8u);
  ASSERT_EQ(P.Server->ReadLn(), "one");
  // The next line is not complete: its assembly reads once more, and the
  // size it asks for includes what is pushed back.
  TSymmetric Reader = TSymmetric::Spawn([&] { EXPECT_EQ(P.Server->ReadLn(), "two three"); });
  ASSERT_EQ(P.Client->Write(" three\r\n", 8), 8u);
  EXPECT_TRUE(Join({Reader}, 30'000));
}

TEST(OvoNamedPipe, EachStepRaisesItsOwnErrorWithTheSystemsText) {
  const std::string Name = UniqueName("errors");
  RefPtr<TOvoNamedPipe> Client = MakeRef<TOvoNamedPipe>(Name);
  try {
    Client->Open();
    FAIL() << "opened without a server";
  } catch (const TOvoProvider::EIOError& E) {
    EXPECT_EQ(E.Message(), ErrorText("OvoNamedPipe. error: %s", os::kErrorFileNotFound));
  }
  EXPECT_FALSE(Client->Opened());

  RefPtr<TOvoNamedPipe> Server = MakeRef<TOvoNamedPipe>(Name);
  Server->MakeServer(4096);
  if (!os::test::UnderWine()) {  // Wine 8 ignores FILE_FLAG_FIRST_PIPE_INSTANCE
    RefPtr<TOvoNamedPipe> Squatter = MakeRef<TOvoNamedPipe>(Name);
    try {
      Squatter->MakeServer(4096);
      FAIL() << "a second server of one name";
    } catch (const TOvoProvider::EIOError& E) {
      EXPECT_EQ(E.Message(),
                ErrorText("OvoNamedPipe.MakeServer error: %s", os::kErrorAccessDenied));
    }
    EXPECT_EQ(Squatter->GetFd(), os::kInvalidHandleValue);
  }

  // A client that connected before the connect was started is refused too.
  Client->Open();
  try {
    Server->WaitConnection(0);
    FAIL() << "WaitConnection took a client that came first";
  } catch (const TOvoProvider::EIOError& E) {
    EXPECT_EQ(E.Message(),
              ErrorText("OvoNamedPipe.WaitConnection error: %s", os::kErrorPipeConnected));
  }
}

TEST(OvoNamedPipe, ReleasingTheClientIsTheEndOfTheStreamForTheServer) {
  TConnectedPipe P(UniqueName("end"));
  P.Client->WriteLn("last");
  P.Client.reset();
  EXPECT_EQ(P.Server->ReadLn(), "last");
  std::string Line;
  EXPECT_FALSE(P.Server->ReadLn(Line));
}

// A reader killed while its read is pending, then its pipe and its hub
// released with nothing else serving the thread: the hub runs the cancelled
// read's routine before it goes, so no routine is left for a later wait and
// the read's record is freed (LSan).
TEST(OvoNamedPipe, APipeAndItsHubReleasedWithAReadPendingLeaveNoRoutineBehind) {
  {
    TSingleThreadHub Hub;
    TCurrentHubScope Scope(&Hub);
    TConnectedPipe P(UniqueName("drain"));
    TSymmetric Reader = TSymmetric::Spawn([&] { P.Server->ReadLn(); });
    ASSERT_EQ(Reader.Impl->GetState(), gsSuspended) << "its read is pending";
    Reader.Kill();
    ASSERT_TRUE(Join({Reader.Impl}, 5000));
    Reader.Impl.reset();
    P.Server.reset();
    P.Client.reset();
  }
  EXPECT_EQ(os::SleepEx(0, true), 0u) << "no routine was left for later";
}

// The same with the pipe still open when the hub goes: the hub cancels
// the handle's read itself, and the pipe, released later, leaves the gone
// hub alone (ASan) and reads on through its new one.
TEST(OvoNamedPipe, AHubReleasedUnderAPipeWithAReadPendingLeavesNoRoutineBehind) {
  TConnectedPipe P(UniqueName("drain-open"));
  {
    TSingleThreadHub Hub;
    TCurrentHubScope Scope(&Hub);
    TSymmetric Reader = TSymmetric::Spawn([&] { P.Server->ReadLn(); });
    ASSERT_EQ(Reader.Impl->GetState(), gsSuspended) << "its read is pending";
    Reader.Kill();
    ASSERT_TRUE(Join({Reader.Impl}, 5000));
  }
  EXPECT_EQ(os::SleepEx(0, true), 0u) << "no routine was left for later";
  TSingleThreadHub Next;
  TCurrentHubScope Scope(&Next);
  P.Client->WriteLn("after");
  EXPECT_EQ(P.Server->ReadLn(), "after") << "the cancelled read is not waited for";
  P.Server.reset();
  P.Client.reset();
}

// The hub cannot see a handle close: the pipe makes it forget the handle's
// records before closing it, also when no operation is owed.
TEST(OvoNamedPipe, AReleasedPipeLeavesNoRecordInItsHub) {
  TSingleThreadHub Hub;
  TCurrentHubScope Scope(&Hub);
  TConnectedPipe P(UniqueName("forget"));
  P.Client->WriteLn("one");
  ASSERT_EQ(P.Server->ReadLn(), "one");
  const THandle Server = P.Server->GetFd();
  const THandle Client = P.Client->GetFd();
  ASSERT_TRUE(Hub.ReadFiles()->Find(Server));
  ASSERT_TRUE(Hub.WriteFiles()->Find(Client));
  P.Server.reset();
  P.Client.reset();
  EXPECT_FALSE(Hub.ReadFiles()->Find(Server));
  EXPECT_FALSE(Hub.WriteFiles()->Find(Client));
}

}  // namespace
}  // namespace green
