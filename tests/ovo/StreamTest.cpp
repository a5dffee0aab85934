// The stream adapters, the provider unit's socket start-up, and the public
// header read after the macros that <windows.h> defines over our names.
#include <gtest/gtest.h>

// As <windows.h> defines them.
#define INFINITE 0xffffffff
#define Yield()
#define min(a, b) (((a) < (b)) ? (a) : (b))
#define max(a, b) (((a) > (b)) ? (a) : (b))
#include "ovo/Ovo.h"
static_assert(INFINITE == 0xFFFFFFFF, "the macro is back after the header");
#undef Yield
#undef min
#undef max

#include "ScriptedHub.h"
#include "ovo/OvoSock.h"

namespace green {
namespace {

using test::TProviderFixture;

TEST(ProviderStream, AdapterReadsAndWritesWithTheProvidersSignRules) {
  TProviderFixture F;
  TStream* S = F.Prov->AsStream();
  F.Hub.Feed({"ab", "cdef"});
  char Buf[8];
  EXPECT_EQ(S->Read(Buf, 3), 3) << "a positive count reads all of it";
  EXPECT_EQ(std::string(Buf, 3), "abc");
  EXPECT_EQ(S->Read(Buf, -8), 3) << "a negative count is one pending read";
  EXPECT_EQ(S->Write("xyz", 3), 3);
  EXPECT_EQ(F.Hub.Written, "xyz");
  EXPECT_EQ(S->Read(nullptr, 0), 0);
}

TEST(ProviderStream, HooklessAdapterIsAtZeroAndFileAdapterHasItsSize) {
  TProviderFixture F;
  TStream* S = F.Prov->AsStream();
  EXPECT_EQ(S->Seek(10, soBeginning), 0);
  EXPECT_EQ(S->GetPosition(), 0);
  EXPECT_EQ(S->GetSize(), 0);
  TStream* File = F.Prov->AsFile(1234);
  EXPECT_NE(File, S);
  EXPECT_EQ(File->GetSize(), 1234);
  EXPECT_EQ(F.Prov->AsFile(7), File) << "the same adapter with a new size";
  EXPECT_EQ(File->GetSize(), 7);
}

TEST(ProviderStream, SeekHookGivesPositionAndSize) {
  TProviderFixture F;
  auto* S = static_cast<TStreamProxy*>(F.Prov->AsStream());
  int64_t Pos = 5;
  S->SetOnSeek([&](int64_t Offset, TSeekOrigin Origin) {
    Pos = Origin == soEnd ? 100 + Offset : Origin == soCurrent ? Pos + Offset : Offset;
    return Pos;
  });
  EXPECT_EQ(S->GetSize(), 100);
  EXPECT_EQ(S->GetPosition(), 5) << "the size query restores the position";
}

TEST(ProviderUnit, StartsTheSocketLibraryOfItsOwn) {
  EXPECT_GE(sock::SynSockCount, 2) << "the hub unit and the provider unit each hold it";
#ifdef _WIN32
  EXPECT_NE(OvoSock.AcceptEx, nullptr);
  EXPECT_EQ(OvoSock.AcceptEx, HubSock.AcceptEx);
  EXPECT_EQ(OvoSock.WSASendMsg, HubSock.WSASendMsg);
#endif
}

}  // namespace
}  // namespace green
