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
  TSingleThreadHub hub;
  TCurrentHubScope scope(&hub);
  RefPtr<TOvoNamedPipe> client = MakeRef<TOvoNamedPipe>(Name);
  client->Open();
  Opened.set_value();
  const std::string block(kBlock, 'x');
  for (size_t done = 0; done < kFlood; done += kBlock)
    ASSERT_EQ(client->Write(block.data(), static_cast<int32_t>(kBlock)), kBlock);
}

TEST(OvoFlood, ALineThatNeverEndsHoldsMemoryLinearInItsBytes) {
  const uint64_t before = os::PeakResidentBytes();
  ASSERT_GT(before, 0u) << "the system tells no peak";
  const std::string name = UniqueName();
  RefPtr<TOvoNamedPipe> server = MakeRef<TOvoNamedPipe>(name);
  server->MakeServer(kBlock);
  EXPECT_FALSE(server->WaitConnection(0));
  std::promise<void> opened;
  std::thread writer(Flood, name, std::ref(opened));
  opened.get_future().wait();
  std::string line;
  EXPECT_FALSE(server->ReadLn(line)) << "no line ends in the flood";
  writer.join();
  EXPECT_EQ(server->PendingBytes(), kFlood) << "every byte stays for a later read";
  const uint64_t grown = os::PeakResidentBytes() - before;
  EXPECT_LE(grown, static_cast<uint64_t>(kHeldPerByte * kFlood) + kSlack)
      << "grew by " << grown / (1 << 20) << " MiB for " << kFlood / (1 << 20) << " MiB waiting";
}

}  // namespace
}  // namespace green
