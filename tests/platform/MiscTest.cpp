// Clock, threads, last error, code pages, libraries and the main thread's
// call queue.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <array>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>

#include "base/Utf8.h"
#include "platform/Clock.h"
#include "platform/CodePage.h"
#include "platform/Error.h"
#include "platform/Kernel.h"
#include "platform/Library.h"
#include "platform/MainThread.h"
#include "platform/Thread.h"

namespace green::os {
namespace {

TEST(Clock, MonotonicAndInNanoseconds) {
  int64_t Last = MonotonicNanos();
  for (int I = 0; I < 1000; ++I) {
    int64_t Now = MonotonicNanos();
    ASSERT_GE(Now, Last);
    Last = Now;
  }
  SleepEx(30, false);
  int64_t Elapsed = MonotonicNanos() - Last;
  EXPECT_GE(Elapsed, 15'000'000);
  EXPECT_LT(Elapsed, 10'000'000'000);
}

TEST(Thread, IdsAndMainThread) {
  uint32_t Mine = CurrentThreadId();
  EXPECT_NE(Mine, 0u);
  EXPECT_EQ(CurrentThreadId(), Mine);
  EXPECT_TRUE(IsMainThread());  // gtest runs tests on the main thread
  uint32_t Other = 0;
  bool OtherIsMain = true;
  std::thread T([&] {
    Other = CurrentThreadId();
    OtherIsMain = IsMainThread();
    YieldThread();
  });
  T.join();
  EXPECT_NE(Other, 0u);
  EXPECT_NE(Other, Mine);
  EXPECT_FALSE(OtherIsMain);
  // The test program is a console program on both systems.
  EXPECT_TRUE(IsConsoleApp());
}

TEST(LastError, RoundTripsPerThread) {
  // Starting and joining a thread make system calls that may change this
  // thread's last error (they do on Windows), so each side checks its own.
  SetLastError(kErrorPipeBusy);
  EXPECT_EQ(GetLastError(), kErrorPipeBusy);
  uint32_t SeenByOther = 0;
  uint32_t SetByOther = 0;
  std::thread T([&] {
    SeenByOther = GetLastError();
    SetLastError(kErrorBrokenPipe);
    SetByOther = GetLastError();
  });
  T.join();
  EXPECT_NE(SeenByOther, kErrorPipeBusy);
  EXPECT_EQ(SetByOther, kErrorBrokenPipe);
  SetLastError(kErrorSuccess);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
}

TEST(LastError, MessageTextWithoutLineBreak) {
  for (uint32_t Code : {kErrorFileNotFound, kErrorAccessDenied, kErrorInvalidParameter}) {
    std::string Text = SysErrorMessage(Code);
    EXPECT_FALSE(Text.empty()) << Code;
    EXPECT_EQ(Text.find_first_of("\r\n"), std::string::npos) << Text;
  }
  EXPECT_NE(SysErrorMessage(kErrorFileNotFound), SysErrorMessage(kErrorAccessDenied));
}

const std::string kPrivetUtf8 = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // Привет
const std::string kPrivet1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";
const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD

TEST(CodePage, Cp1251RoundTrip) {
  ASSERT_TRUE(IsCodePageSupported(kCp1251));
  EXPECT_EQ(EncodeFromUtf8(kCp1251, kPrivetUtf8), kPrivet1251);
  EXPECT_EQ(DecodeToUtf8(kCp1251, kPrivet1251), kPrivetUtf8);
  // Ё ё № and the euro sign live in the upper half outside the alphabet.
  const std::string Odd = "\xA8\xB8\xB9\x88";
  EXPECT_EQ(DecodeToUtf8(kCp1251, Odd), "\xD0\x81\xD1\x91\xE2\x84\x96\xE2\x82\xAC");
  EXPECT_EQ(EncodeFromUtf8(kCp1251, DecodeToUtf8(kCp1251, Odd)), Odd);
  EXPECT_EQ(DecodeToUtf8(kCp1251, "plain ascii"), "plain ascii");
  // A character 1251 lacks becomes '?'.
  EXPECT_EQ(EncodeFromUtf8(kCp1251, "a\xE4\xB8\xAD" "b"), "a?b");
}

TEST(CodePage, Utf8RoundTripAndInvalidBytes) {
  ASSERT_TRUE(IsCodePageSupported(kCpUtf8));
  const std::string Mixed = "x" + kPrivetUtf8 + "\xF0\x9F\x98\x80";
  EXPECT_EQ(DecodeToUtf8(kCpUtf8, Mixed), Mixed);
  EXPECT_EQ(EncodeFromUtf8(kCpUtf8, Mixed), Mixed);
  EXPECT_EQ(DecodeToUtf8(kCpUtf8, "a\xFF" "b"), "a" + kReplacement + "b");
  // A truncated sequence at the end.
  EXPECT_EQ(DecodeToUtf8(kCpUtf8, "a\xD0"), "a" + kReplacement);
  EXPECT_EQ(DecodeToUtf8(kCpUtf8, ""), "");
  EXPECT_EQ(EncodeFromUtf8(kCp1251, ""), "");
}

// A page's characters given at once are those of its bytes decoded one by
// one; a page of several bytes per character gives none.
TEST(CodePage, SingleByteCharsAreTheBytesDecodedAlone) {
  const struct {
    uint32_t Page;
    bool Single;
  } Cases[] = {{kCp1251, true}, {kCpUtf8, false}, {AnsiCodePage(), AnsiCodePage() != kCpUtf8}};
  for (const auto& Case : Cases) {
    std::array<char32_t, 256> Chars{};
    ASSERT_EQ(SingleByteChars(Case.Page, Chars), Case.Single) << Case.Page;
    for (size_t B = 0; Case.Single && B < 256; ++B) {
      std::string Alone;
      AppendUtf8(Alone, Chars[B]);
      EXPECT_EQ(Alone, DecodeToUtf8(Case.Page, std::string(1, static_cast<char>(B)))) << Case.Page << " " << B;
    }
  }
}

TEST(CodePage, AnsiPageIsSupported) {
  EXPECT_TRUE(IsCodePageSupported(AnsiCodePage()));
  EXPECT_TRUE(IsCodePageSupported(kCpAcp));
  EXPECT_EQ(DecodeToUtf8(kCpAcp, "ascii"), "ascii");
}

TEST(Library, SocketLibraryResolvesFunctionsByName) {
  Module M = LoadLibrary("ws2_32.dll");
  ASSERT_NE(M, nullptr);
  EXPECT_NE(GetProcAddress(M, "socket"), nullptr);
  EXPECT_NE(GetProcAddress(M, "recv"), nullptr);
  EXPECT_EQ(GetProcAddress(M, "no_such_function_here"), nullptr);
  FreeLibrary(M);
  EXPECT_EQ(LoadLibrary("no_such_library_here.dll"), nullptr);
}

#ifndef _WIN32
// The socket library's exports, found without a lookup of each, are what
// the lookup finds: the same functions, and none the C library lacks.
TEST(Library, SocketExportsAreTheCLibrarysOwn) {
  Module M = LoadLibrary("ws2_32.dll");
  ASSERT_NE(M, nullptr);
  for (const char* Name :
       {"WSAIoctl", "__WSAFDIsSet", "closesocket", "ioctlsocket", "WSAGetLastError", "WSAStartup", "WSACleanup",
        "accept", "bind", "connect", "getpeername", "getsockname", "getsockopt", "htonl", "htons", "inet_addr",
        "inet_ntoa", "listen", "ntohl", "ntohs", "recv", "recvfrom", "select", "send", "sendto", "setsockopt",
        "shutdown", "socket", "gethostbyaddr", "gethostbyname", "getprotobyname", "getprotobynumber",
        "getservbyname", "getservbyport", "gethostname", "getaddrinfo", "freeaddrinfo", "getnameinfo",
        "WSASocketW", "WSASendTo", "WSARecvFrom", "close"}) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // The sanitizers' interceptors stand in for the C library's functions.
    EXPECT_EQ(GetProcAddress(M, Name) == nullptr, dlsym(M, Name) == nullptr) << Name;
#else
    EXPECT_EQ(GetProcAddress(M, Name), dlsym(M, Name)) << Name;
#endif
  }
  FreeLibrary(M);
}
#endif

struct HookCount {
  std::atomic<int> Calls{0};
  Handle Wake = kNoHandle;
};

void CountHook(void* Self) {
  auto* H = static_cast<HookCount*>(Self);
  ++H->Calls;
  SetEvent(H->Wake);
}

// Installs a counting hook for one test and restores the previous one.
struct MainThreadCalls : ::testing::Test {
  HookCount Hook;
  WakeHook Saved;
  void SetUp() override {
    Hook.Wake = CreateEvent(false, false);
    Saved = GetMainThreadWakeHook();
    SetMainThreadWakeHook({CountHook, &Hook});
    EXPECT_EQ(GetMainThreadWakeHook(), (WakeHook{CountHook, &Hook}));
  }
  void TearDown() override {
    SetMainThreadWakeHook(Saved);
    CloseHandle(Hook.Wake);
  }
  // Serves calls until Done, as a main loop would.
  void Serve(const std::atomic<bool>& Done) {
    while (!Done) {
      WaitForSingleObject(Hook.Wake, 10000);
      CheckSynchronize(0);
    }
  }
};

TEST_F(MainThreadCalls, SynchronizeRunsOnTheMainThreadAndCallsTheHook) {
  std::atomic<bool> Done{false};
  bool RanOnMain = false;
  std::thread T([&] {
    EXPECT_FALSE(CheckSynchronize(0));  // not the main thread
    Synchronize([&] { RanOnMain = IsMainThread(); });
    Done = true;
    SetEvent(Hook.Wake);
  });
  Serve(Done);
  T.join();
  EXPECT_TRUE(RanOnMain);
  EXPECT_GE(Hook.Calls.load(), 1);
}

TEST_F(MainThreadCalls, ExceptionIsRaisedAgainInTheCaller) {
  std::atomic<bool> Done{false};
  std::string Caught;
  std::thread T([&] {
    try {
      Synchronize([] { throw std::runtime_error("from main"); });
    } catch (const std::runtime_error& E) {
      Caught = E.what();
    }
    Done = true;
    SetEvent(Hook.Wake);
  });
  Serve(Done);
  T.join();
  EXPECT_EQ(Caught, "from main");
}

TEST_F(MainThreadCalls, OnTheMainThreadRunsAtOnce) {
  int Ran = 0;
  Synchronize([&] { ++Ran; });
  EXPECT_EQ(Ran, 1);
  EXPECT_FALSE(CheckSynchronize(0));
}

TEST_F(MainThreadCalls, CheckSynchronizeWaitsForTheFirstCall) {
  std::atomic<bool> Ran{false};
  std::thread T([&] { Synchronize([&] { Ran = true; }); });
  EXPECT_TRUE(CheckSynchronize(10000));
  T.join();
  EXPECT_TRUE(Ran);
  EXPECT_FALSE(CheckSynchronize(10));
}

}  // namespace
}  // namespace green::os
