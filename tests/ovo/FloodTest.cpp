// A reader waiting for a line while a writer floods the pipe with bytes
// that never end one: what it holds must stay linear in what is waiting.
// A program of its own, so that its peak memory is the flood's alone.
#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <string>
#include <thread>

#include "hub/Hub.h"
#include "ovo/Ovo.h"
#include "platform/Memory.h"
#include "platform/Process.h"

namespace green {
namespace {

constexpr size_t kFlood = 64u << 20;
constexpr size_t kBlock = 64u << 10;

// The bytes held per byte waiting: the bytes once (they are their own
// text), the allocator's slack and the chunk in flight; sanitizers add
// their shadow and keep freed blocks a while.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kHeldPerByte = 8.0;
#else
constexpr double kHeldPerByte = 2.5;
#endif
constexpr uint64_t kSlack = 16u << 20;

std::string UniqueName() {
  return "green-flood-" + std::to_string(os::CurrentProcessId());
}

// The writer has a thread and a hub of its own; it says when its end is
// open (the server is connected then), and writes the flood in blocks,
// never holding it whole.
void Flood(const std::string& Name, std::promise<void>& Opened) {
  TSingleThreadHub Hub;
  TCurrentHubScope Scope(&Hub);
  RefPtr<TOvoNamedPipe> Client = MakeRef<TOvoNamedPipe>(Name);
  Client->Open();
  Opened.set_value();
  const std::string Block(kBlock, 'x');
  for (size_t Done = 0; Done < kFlood; Done += kBlock)
    ASSERT_EQ(Client->Write(Block.data(), static_cast<int32_t>(kBlock)), kBlock);
}

TEST(OvoFlood, ALineThatNeverEndsHoldsMemoryLinearInItsBytes) {
  const uint64_t Before = os::PeakResidentBytes();
  ASSERT_GT(Before, 0u) << "the system tells no peak";
  const std::string Name = UniqueName();
  RefPtr<TOvoNamedPipe> Server = MakeRef<TOvoNamedPipe>(Name);
  Server->MakeServer(kBlock);
  EXPECT_FALSE(Server->WaitConnection(0));
  std::promise<void> Opened;
  std::thread Writer(Flood, Name, std::ref(Opened));
  Opened.get_future().wait();
  std::string Line;
  EXPECT_FALSE(Server->ReadLn(Line)) << "no line ends in the flood";
  Writer.join();
  EXPECT_EQ(Server->PendingBytes(), kFlood) << "every byte stays for a later read";
  const uint64_t Grown = os::PeakResidentBytes() - Before;
  EXPECT_LE(Grown, static_cast<uint64_t>(kHeldPerByte * kFlood) + kSlack)
      << "grew by " << Grown / (1 << 20) << " MiB for " << kFlood / (1 << 20) << " MiB waiting";
}

}  // namespace
}  // namespace green
