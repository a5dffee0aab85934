// A hub whose reads and writes are served from a script instead of a
// handle, keeping the promise of the hub's file I/O: each started operation
// gets exactly one completion, on the hub's thread, inside its wait (here:
// a task of the next pass). Reads behave like a pipe: a read waits until
// the test feeds bytes, the end of the stream or an error, and takes at
// most its length of a fed chunk, leaving the rest for the next read.
// Bytes are copied only when the read completes, as the system does.
#pragma once

#include <algorithm>
#include <cstring>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "ProviderReads.h"
#include "hub/Hub.h"
#include "ovo/Ovo.h"
#include "platform/Error.h"

namespace green::test {

class TScriptedHub : public TSingleThreadHub {
 public:
  // ---- reads --------------------------------------------------------------
  void Feed(std::string Bytes) { Push({Bytes, 0, false}); }
  void FeedEnd() { Push({"", 0, true}); }
  void FeedError(uint32_t Code) { Push({"", Code, false}); }
  // Several chunks, one per string.
  void Feed(std::initializer_list<std::string> Chunks) {
    for (const std::string& C : Chunks) Feed(C);
  }

  bool Read(THandle Fd, void* Buf, uint32_t Len, TIOCallback Cb, void* Data,
            int64_t Offset) override {
    ++ReadCalls;
    Offsets.push_back(Offset);
    Lengths.push_back(Len);
    if (RefuseReads) {
      os::SetLastError(os::kErrorInvalidHandle);
      return false;
    }
    if (FRead.Active) throw std::logic_error("a second read started while one is in flight");
    FRead = {true, false, Fd, Buf, Len, Cb, Data};
    Schedule();
    return true;
  }

  // Cancelled operations never complete.
  void Cancel(THandle Fd) override {
    Cancelled.push_back(Fd);
    if (FRead.Fd == Fd) FRead = {};
    if (FWrite.Fd == Fd) FWrite = {};
  }

  // ---- writes ---------------------------------------------------------------
  bool Write(THandle Fd, void* Buf, uint32_t Len, TIOCallback Cb, void* Data,
             int64_t Offset) override {
    ++WriteCalls;
    if (RefuseWrites) {
      os::SetLastError(os::kErrorInvalidHandle);
      return false;
    }
    if (FWrite.Active) throw std::logic_error("a second write started while one is in flight");
    FWrite = {true, false, Fd, Buf, Len, Cb, Data};
    if (!HoldWrites) ScheduleWrite();
    return true;
  }
  // Completes a write that HoldWrites kept back.
  void ReleaseWrite() {
    HoldWrites = false;
    if (FWrite.Active) ScheduleWrite();
  }

  std::string Written;
  uint32_t WriteLimit = UINT32_MAX;  // most bytes one write takes
  uint32_t WriteError = 0;
  bool HoldWrites = false;
  bool RefuseReads = false;
  bool RefuseWrites = false;
  int ReadCalls = 0;
  int WriteCalls = 0;
  std::vector<int64_t> Offsets;
  std::vector<uint32_t> Lengths;
  std::vector<THandle> Cancelled;

 private:
  struct TStep {
    std::string Bytes;
    uint32_t Error;
    bool End;
  };
  struct TOp {
    bool Active = false;
    bool Queued = false;
    THandle Fd = 0;
    void* Buf = nullptr;
    uint32_t Len = 0;
    TIOCallback Cb = nullptr;
    void* Data = nullptr;
  };

  void Push(TStep Step) {
    FSteps.push_back(std::move(Step));
    Schedule();
  }
  void Schedule() {
    if (!FRead.Active || FRead.Queued || FSteps.empty()) return;
    FRead.Queued = true;
    EnqueueTask(&TScriptedHub::CompleteRead, this);
  }
  void ScheduleWrite() {
    if (FWrite.Queued) return;
    FWrite.Queued = true;
    EnqueueTask(&TScriptedHub::CompleteWrite, this);
  }

  static void CompleteRead(void* Self) {
    auto* Hub = static_cast<TScriptedHub*>(Self);
    if (!Hub->FRead.Active) return;  // cancelled
    TOp Op = Hub->FRead;
    Hub->FRead = {};
    TStep& Step = Hub->FSteps.front();
    uint32_t N = 0, Error = Step.Error;
    if (!Step.End && Error == 0) {
      N = static_cast<uint32_t>(std::min<size_t>(Op.Len, Step.Bytes.size()));
      std::memcpy(Op.Buf, Step.Bytes.data(), N);
      Step.Bytes.erase(0, N);
    }
    // The end of the stream stays: every later read sees it too.
    if (!Step.End && Step.Bytes.empty()) Hub->FSteps.pop_front();
    Op.Cb(Op.Fd, ioRead, Op.Data, static_cast<int32_t>(Error), N);
  }

  static void CompleteWrite(void* Self) {
    auto* Hub = static_cast<TScriptedHub*>(Self);
    if (!Hub->FWrite.Active) return;  // cancelled
    TOp Op = Hub->FWrite;
    Hub->FWrite = {};
    uint32_t N = 0;
    if (Hub->WriteError == 0) {
      N = std::min(Op.Len, Hub->WriteLimit);
      Hub->Written.append(static_cast<const char*>(Op.Buf), N);
    }
    Op.Cb(Op.Fd, ioWrite, Op.Data, static_cast<int32_t>(Hub->WriteError), N);
  }

  std::deque<TStep> FSteps;
  TOp FRead;
  TOp FWrite;
};

// The simplest real provider: a handle and nothing else; it records what
// the base reports to derived providers.
class TTestProvider : public TOvoProvider {
 public:
  ~TTestProvider() override { CancelPending(); }
  THandle GetFd() override { return 42; }
  void DoError(uint32_t ErrorCode, TIOOperation Op) override { Errors.push_back({ErrorCode, Op}); }
  void OperationAborted() override { ++Aborted; }
  void CancelAbandoned() { CancelPending(); }

  struct TError {
    uint32_t Code;
    TIOOperation Op;
  };
  std::vector<TError> Errors;
  int Aborted = 0;
};

// A scripted hub that is the thread's current hub for a test, and a
// provider over it.
struct TProviderFixture {
  TScriptedHub Hub;
  TCurrentHubScope Scope{&Hub};
  RefPtr<TTestProvider> Prov{new TTestProvider};

  std::vector<std::string> Lines() { return ReadAllLines(*Prov); }
  std::string Rest() { return ReadPending(*Prov); }
};

}  // namespace green::test
