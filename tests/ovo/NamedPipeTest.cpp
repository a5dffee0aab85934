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
  TOvoNamedPipe* pipe = new TOvoNamedPipe("abc");
  RefPtr<IOvoNamedPipe> ref(pipe);
  EXPECT_EQ(pipe->PipeName(), "\\\\.\\pipe\\abc");
  EXPECT_EQ(pipe->GetFd(), os::kNoHandle) << "no handle before MakeServer or Open";
  EXPECT_FALSE(pipe->Opened());
}

TEST(OvoNamedPipe, WaitConnectionWithoutAClientIsFalseAfterTheTimeout) {
  RefPtr<TOvoNamedPipe> server = MakeRef<TOvoNamedPipe>(UniqueName("timeout"));
  server->MakeServer(4096);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(server->WaitConnection(60));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST(OvoNamedPipe, APendingConnectCompletesWhenTheClientOpens) {
  TConnectedPipe p(UniqueName("connect"));
  EXPECT_TRUE(p.Client->Opened());
  EXPECT_FALSE(p.Server->Opened()) << "the server end is made, not opened";
  p.Client->WriteLn("ping");
  EXPECT_EQ(p.Server->ReadLn(), "ping");
  p.Server->WriteLn("pong");
  EXPECT_EQ(p.Client->ReadLn(), "pong");
}

TEST(OvoNamedPipe, PeekOnAnEmptyPipeIsEmptyAndDoesNotBlock) {
  TConnectedPipe p(UniqueName("peek"));
  EXPECT_TRUE(p.Server->Peek().empty());
  EXPECT_EQ(p.Server->GetDriverRcvBufSize(), 0u);
}

TEST(OvoNamedPipe, PeekSeesThePipeNotThePushBackAndTheReadableSizeCountsBoth) {
  TConnectedPipe p(UniqueName("readable"));
  ASSERT_EQ(p.Client->Write("ab\r\nxyz", 7), 7u);
  ASSERT_EQ(p.Server->ReadLn(), "ab");
  ASSERT_EQ(p.Server->PendingBytes(), 3u) << "\"xyz\" is pushed back";
  ASSERT_EQ(p.Client->Write("12345", 5), 5u);
  EXPECT_EQ(p.Server->GetDriverRcvBufSize(), 8u);
  const TBytes peeked = p.Server->Peek();
  EXPECT_EQ(std::string(peeked.begin(), peeked.end()), "12345");
  char buf[8];
  ASSERT_EQ(p.Server->Read(buf, 8), 8u) << "peeking consumed nothing";
  EXPECT_EQ(std::string(buf, 8), "xyz12345");
}

TEST(OvoNamedPipe, TheReadableSizeCountsThePushBackAlsoWhileALineIsAssembled) {
  TConnectedPipe p(UniqueName("assembly"));
  ASSERT_EQ(p.Client->Write("one\r\ntwo", 8), 8u);
  ASSERT_EQ(p.Server->ReadLn(), "one");
  // The next line is not complete: its assembly reads once more, and the
  // size it asks for includes what is pushed back.
  TSymmetric reader = TSymmetric::Spawn([&] { EXPECT_EQ(p.Server->ReadLn(), "two three"); });
  ASSERT_EQ(p.Client->Write(" three\r\n", 8), 8u);
  EXPECT_TRUE(Join({reader}, 30'000));
}

TEST(OvoNamedPipe, EachStepRaisesItsOwnErrorWithTheSystemsText) {
  const std::string name = UniqueName("errors");
  RefPtr<TOvoNamedPipe> client = MakeRef<TOvoNamedPipe>(name);
  try {
    client->Open();
    FAIL() << "opened without a server";
  } catch (const TOvoProvider::EIOError& E) {
    EXPECT_EQ(E.Message(), ErrorText("OvoNamedPipe. error: %s", os::kErrorFileNotFound));
  }
  EXPECT_FALSE(client->Opened());

  RefPtr<TOvoNamedPipe> server = MakeRef<TOvoNamedPipe>(name);
  server->MakeServer(4096);
  if (!os::test::UnderWine()) {  // Wine 8 ignores FILE_FLAG_FIRST_PIPE_INSTANCE
    RefPtr<TOvoNamedPipe> squatter = MakeRef<TOvoNamedPipe>(name);
    try {
      squatter->MakeServer(4096);
      FAIL() << "a second server of one name";
    } catch (const TOvoProvider::EIOError& E) {
      EXPECT_EQ(E.Message(),
                ErrorText("OvoNamedPipe.MakeServer error: %s", os::kErrorAccessDenied));
    }
    EXPECT_EQ(squatter->GetFd(), os::kInvalidHandleValue);
  }

  // A client that connected before the connect was started is refused too.
  client->Open();
  try {
    server->WaitConnection(0);
    FAIL() << "WaitConnection took a client that came first";
  } catch (const TOvoProvider::EIOError& E) {
    EXPECT_EQ(E.Message(),
              ErrorText("OvoNamedPipe.WaitConnection error: %s", os::kErrorPipeConnected));
  }
}

TEST(OvoNamedPipe, ReleasingTheClientIsTheEndOfTheStreamForTheServer) {
  TConnectedPipe p(UniqueName("end"));
  p.Client->WriteLn("last");
  p.Client.reset();
  EXPECT_EQ(p.Server->ReadLn(), "last");
  std::string line;
  EXPECT_FALSE(p.Server->ReadLn(line));
}

// A reader killed while its read is pending, then its pipe and its hub
// released with nothing else serving the thread: the hub runs the cancelled
// read's routine before it goes, so no routine is left for a later wait and
// the read's record is freed (LSan).
TEST(OvoNamedPipe, APipeAndItsHubReleasedWithAReadPendingLeaveNoRoutineBehind) {
  {
    TSingleThreadHub hub;
    TCurrentHubScope scope(&hub);
    TConnectedPipe p(UniqueName("drain"));
    TSymmetric reader = TSymmetric::Spawn([&] { p.Server->ReadLn(); });
    ASSERT_EQ(reader.Impl->GetState(), gsSuspended) << "its read is pending";
    reader.Kill();
    ASSERT_TRUE(Join({reader.Impl}, 5000));
    reader.Impl.reset();
    p.Server.reset();
    p.Client.reset();
  }
  EXPECT_EQ(os::SleepEx(0, true), 0u) << "no routine was left for later";
}

// The same with the pipe still open when the hub goes: the hub cancels
// the handle's read itself, and the pipe, released later, leaves the gone
// hub alone (ASan) and reads on through its new one.
TEST(OvoNamedPipe, AHubReleasedUnderAPipeWithAReadPendingLeavesNoRoutineBehind) {
  TConnectedPipe p(UniqueName("drain-open"));
  {
    TSingleThreadHub hub;
    TCurrentHubScope scope(&hub);
    TSymmetric reader = TSymmetric::Spawn([&] { p.Server->ReadLn(); });
    ASSERT_EQ(reader.Impl->GetState(), gsSuspended) << "its read is pending";
    reader.Kill();
    ASSERT_TRUE(Join({reader.Impl}, 5000));
  }
  EXPECT_EQ(os::SleepEx(0, true), 0u) << "no routine was left for later";
  TSingleThreadHub next;
  TCurrentHubScope scope(&next);
  p.Client->WriteLn("after");
  EXPECT_EQ(p.Server->ReadLn(), "after") << "the cancelled read is not waited for";
  p.Server.reset();
  p.Client.reset();
}

// The hub cannot see a handle close: the pipe makes it forget the handle's
// records before closing it, also when no operation is owed.
TEST(OvoNamedPipe, AReleasedPipeLeavesNoRecordInItsHub) {
  TSingleThreadHub hub;
  TCurrentHubScope scope(&hub);
  TConnectedPipe p(UniqueName("forget"));
  p.Client->WriteLn("one");
  ASSERT_EQ(p.Server->ReadLn(), "one");
  const THandle server = p.Server->GetFd();
  const THandle client = p.Client->GetFd();
  ASSERT_TRUE(hub.ReadFiles()->Find(server));
  ASSERT_TRUE(hub.WriteFiles()->Find(client));
  p.Server.reset();
  p.Client.reset();
  EXPECT_FALSE(hub.ReadFiles()->Find(server));
  EXPECT_FALSE(hub.WriteFiles()->Find(client));
}

}  // namespace
}  // namespace green
