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
  TProviderFixture f;
  TStream* s = f.Prov->AsStream();
  f.Hub.Feed({"ab", "cdef"});
  char buf[8];
  EXPECT_EQ(s->Read(buf, 3), 3) << "a positive count reads all of it";
  EXPECT_EQ(std::string(buf, 3), "abc");
  EXPECT_EQ(s->Read(buf, -8), 3) << "a negative count is one pending read";
  EXPECT_EQ(s->Write("xyz", 3), 3);
  EXPECT_EQ(f.Hub.Written, "xyz");
  EXPECT_EQ(s->Read(nullptr, 0), 0);
}

TEST(ProviderStream, HooklessAdapterIsAtZeroAndFileAdapterHasItsSize) {
  TProviderFixture f;
  TStream* s = f.Prov->AsStream();
  EXPECT_EQ(s->Seek(10, soBeginning), 0);
  EXPECT_EQ(s->GetPosition(), 0);
  EXPECT_EQ(s->GetSize(), 0);
  TStream* file = f.Prov->AsFile(1234);
  EXPECT_NE(file, s);
  EXPECT_EQ(file->GetSize(), 1234);
  EXPECT_EQ(f.Prov->AsFile(7), file) << "the same adapter with a new size";
  EXPECT_EQ(file->GetSize(), 7);
}

TEST(ProviderStream, SeekHookGivesPositionAndSize) {
  TProviderFixture f;
  auto* s = static_cast<TStreamProxy*>(f.Prov->AsStream());
  int64_t pos = 5;
  s->SetOnSeek([&](int64_t Offset, TSeekOrigin Origin) {
    pos = Origin == soEnd ? 100 + Offset : Origin == soCurrent ? pos + Offset : Offset;
    return pos;
  });
  EXPECT_EQ(s->GetSize(), 100);
  EXPECT_EQ(s->GetPosition(), 5) << "the size query restores the position";
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
