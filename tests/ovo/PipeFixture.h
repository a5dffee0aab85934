// Providers over a real anonymous pipe, read on the test's thread through
// its own hub, and a writer thread that feeds the pipe from a script: each
// chunk is written only once the reader has received the one before, so
// the reads see the chunks of the script (a read completes with what is
// there). The script's end closes the writing end: the end of the stream.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <semaphore>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ProviderReads.h"
#include "hub/Hub.h"
#include "ovo/Ovo.h"
#include "platform/Io.h"
#include "platform/Kernel.h"

namespace green::test {

// The smallest concrete provider: one pipe end.
class TPipeProvider : public TOvoProvider {
 public:
  explicit TPipeProvider(THandle Fd) : FFd(Fd) {}
  ~TPipeProvider() override { CancelPending(); }
  THandle GetFd() override { return FFd; }
  void OperationComplete(TIOOperation Op) override {
    TOvoProvider::OperationComplete(Op);
    if (Op != ioRead) return;
    ++Reads;
    Received.release();
    if (RaiseAfterRead) {
      RaiseAfterRead = false;
      throw ECallback("raised by a completion");
    }
  }
  void CancelAbandoned() { CancelPending(); }

  struct ECallback : std::runtime_error {
    using std::runtime_error::runtime_error;
  };
  bool RaiseAfterRead = false;  // the next read's completion raises, once
  int Reads = 0;                // completed reads of the handle
  std::counting_semaphore<> Received{0};

 private:
  THandle FFd;
};

inline constexpr const char* kEnd = "\x01<end>";

class TPipeFixture {
 public:
  TPipeFixture() = default;
  ~TPipeFixture() {
    if (FWriter.joinable()) FWriter.join();
    Prov.reset();  // its pending read is cancelled while the handle lives
  }
  TPipeFixture(const TPipeFixture&) = delete;
  TPipeFixture& operator=(const TPipeFixture&) = delete;

  // Starts the writer thread on a script of chunks and kEnd. Unpaced, it
  // writes without waiting for the reader, so the chunks run together.
  void Feed(std::vector<std::string> Script, bool Paced = true) {
    FWriter = std::thread(
        [this, Paced, Script = std::move(Script)] { WriteScript(Script, Paced); });
  }
  std::vector<std::string> Lines() { return ReadAllLines(*Prov); }
  std::string Rest() { return ReadPending(*Prov); }

  struct TEnds {
    THandle Read = os::kNoHandle;
    THandle Write = os::kNoHandle;
    TEnds() { EXPECT_TRUE(os::CreatePipe(Read, Write)); }
    ~TEnds() {
      os::CloseHandle(Read);
      if (Write != os::kNoHandle) os::CloseHandle(Write);
    }
  } Ends;
  TSingleThreadHub Hub;
  TCurrentHubScope Scope{&Hub};
  RefPtr<TPipeProvider> Prov{new TPipeProvider(Ends.Read)};

 private:
  void WriteScript(const std::vector<std::string>& Script, bool Paced) {
    TSingleThreadHub WriterHub;
    TCurrentHubScope WriterScope(&WriterHub);
    RefPtr<TPipeProvider> Out(new TPipeProvider(Ends.Write));
    for (size_t I = 0; I < Script.size(); ++I) {
      // A reader that stopped early must not hang the test.
      if (Paced && I > 0 && !Prov->Received.try_acquire_for(std::chrono::seconds(20))) break;
      if (Script[I] == kEnd) {
        Out.reset();
        os::CloseHandle(Ends.Write);
        Ends.Write = os::kNoHandle;
        return;
      }
      EXPECT_TRUE(Out->WriteBytes(TBytes(Script[I].begin(), Script[I].end())));
    }
  }

  std::thread FWriter;
};

}  // namespace green::test
