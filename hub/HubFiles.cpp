#include "hub/HubFiles.h"

#include <algorithm>
#include <exception>

#include "base/DebugLog.h"
#include "hub/Deadline.h"
#include "hub/Hub.h"
#include "platform/Callback.h"
#include "platform/Io.h"
#include "platform/Kernel.h"
#include "platform/Thread.h"

namespace green {

namespace {

constexpr TDateTime kTrashGrace = 30.0 / (24 * 60);  // 30 minutes, in days
// How long a hub that goes waits for the routines of its cancelled
// operations: a cancel normally ends at once, but under Wine it passes
// through the server, so the bound is generous. A process that is ending
// waits briefly: nothing outlives it to be written by a late cancel, and
// what the bound leaves in flight is kept, not freed.
constexpr uint32_t kDrainBoundMs = 5000;
constexpr uint32_t kExitDrainBoundMs = 200;

// One record per direction: the routine knows which callback to call.
void Complete(uint32_t ErrorCode, uint32_t NumOfBytes, os::Overlapped* Overlapped,
              TIOOperation Op) {
  auto* record = static_cast<TFileTuple*>(Overlapped->Event);
  if (record->InFlight > 0) --record->InFlight;
  if (record->Orphaned) {
    if (record->InFlight == 0) delete record;
    return;
  }
  // Given up meanwhile: a late completion keeps it in the trash longer.
  if (!record->Active) {
    record->RecalcCleanTime();
    return;
  }
  record->Hub->SetTriggerFlag(false, true);
  record->Trigger(static_cast<int32_t>(ErrorCode), NumOfBytes, Op);
}

}  // namespace

void TFileTuple::RecalcCleanTime() { CleanTime = Now() + kTrashGrace; }

void TFileTuple::Trigger(int32_t ErrorCode, uint32_t NumOfBytes, TIOOperation Op) {
  TCurrentHubScope scope(Hub);
  if (Op == ioRead) {
    if (ReadCb) ReadCb(Fd, ioRead, ReadData, ErrorCode, NumOfBytes);
  } else if (WriteCb) {
    WriteCb(Fd, ioWrite, WriteData, ErrorCode, NumOfBytes);
  }
}

void TFiles::Initialize() {
  if (!FMap) FMap = std::make_unique<decltype(FMap)::element_type>();
  if (!FTrash) FTrash = std::make_unique<std::vector<std::unique_ptr<TFileTuple>>>();
}

bool TFiles::Find(THandle Fd) const { return Record(Fd) != nullptr; }

TFileTuple* TFiles::Record(THandle Fd) const {
  if (!FMap) return nullptr;
  auto it = FMap->find(Fd);
  return it == FMap->end() ? nullptr : it->second.get();
}

// The offset fields are left as they are: 0 for a new record, the last
// explicit offset otherwise.
TFileTuple* TFiles::Enqueue(THandle Fd, TIOOperation Op, TIOCallback Cb, void* Data,
                            TSingleThreadHub* Hub) {
  TFileTuple* record = Record(Fd);
  if (!record) record = FMap->emplace(Fd, std::make_unique<TFileTuple>()).first->second.get();
  record->Fd = Fd;
  if (Op == ioRead) {
    record->ReadCb = Cb;
    record->ReadData = Data;
  } else {
    record->WriteCb = Cb;
    record->WriteData = Data;
  }
  record->Hub = Hub;
  record->Active = true;
  record->Overlap.Event = record;
  SweepIfTimeMoved();
  return record;
}

void TFiles::Dequeue(THandle Fd) {
  if (FMap) {
    auto it = FMap->find(Fd);
    if (it != FMap->end()) {
      it->second->Active = false;
      it->second->RecalcCleanTime();
      FTrash->push_back(std::move(it->second));
      FMap->erase(it);
    }
  }
  SweepIfTimeMoved();
}

void TFiles::SweepIfTimeMoved() {
  if (Now() > FTrashLAstClean) TrashClean(true);
}

// A record whose operation is still in flight would be written by the
// system and read by the routine after being freed, however long its time
// has been up.
void TFiles::TrashClean(bool OnlyByTimeout) {
  if (!FTrash) return;
  const TDateTime now = Now();
  if (OnlyByTimeout) {
    std::erase_if(*FTrash, [now](const std::unique_ptr<TFileTuple>& record) {
      return record->InFlight == 0 && now > record->CleanTime;
    });
  } else {
    for (std::unique_ptr<TFileTuple>& record : *FTrash) {
      if (record->InFlight == 0 || os::ThreadIoDropped(record->Thread)) continue;
      record->Orphaned = true;
      record.release();  // the routine of its operation frees it
    }
    FTrash->clear();
  }
  FTrashLAstClean = now;
}

void TFiles::CancelAll() {
  if (!FMap) return;
  while (!FMap->empty()) {
    const THandle fd = FMap->begin()->first;
    os::CancelIo(fd);
    Dequeue(fd);
  }
}

bool TFiles::HasOutstanding(uint32_t Thread) const {
  if (!FTrash) return false;
  return std::any_of(FTrash->begin(), FTrash->end(), [Thread](const auto& record) {
    return record->InFlight > 0 && record->Thread == Thread;
  });
}

// The owner has cancelled and drained (DrainCancelled) the operations of
// the destroying thread, so their records are freed here, and so are those
// of threads that have ended, whose operations the system dropped.
// Operations of other threads that still run stay in flight, and their
// routines, run by their own thread, free the orphaned records.
void TFiles::Deinitialize() {
  if (!IsInitialized()) return;
  CancelAll();
  FMap.reset();
  TrashClean(false);
  FTrash.reset();
}

namespace {

bool Outstanding(std::initializer_list<TFiles*> Tables, uint32_t Thread) {
  return std::any_of(Tables.begin(), Tables.end(),
                     [Thread](const TFiles* t) { return t && t->HasOutstanding(Thread); });
}

}  // namespace

// Non-blocking alertable waits while routines run; once one finds nothing
// to run, the system is still ending a cancel, and the next waits pause a
// millisecond (still returning as soon as a routine ran).
void DrainCancelled(std::initializer_list<TFiles*> Tables) {
  const uint32_t me = os::CurrentThreadId();
  if (!Outstanding(Tables, me)) return;
  const uint32_t bound = HubInfrasctuctureEnable ? kDrainBoundMs : kExitDrainBoundMs;
  const TDeadline deadline = TDeadline::After(bound);
  std::exception_ptr failure;
  uint32_t pause = 0;
  while (Outstanding(Tables, me) && !deadline.Passed()) {
    try {
      const uint32_t answer = os::SleepEx(pause, true);
      if (answer == os::kWaitFailed) break;  // no wait can run the routines
      pause = answer == os::kWaitIoCompletion ? 0 : 1;
    } catch (...) {
      if (!failure) failure = std::current_exception();
      pause = 0;
    }
  }
  if (Outstanding(Tables, me))
    DebugLog(Format("a hub's drain of cancelled operations reached its bound (%u ms); "
                    "their records are left to their routines", bound));
  if (failure) os::detail::KeepCallbackFailure(failure);
}

void STFileIOCompletionReadRoutine(uint32_t ErrorCode, uint32_t NumberOfBytesTransfered,
                                   os::Overlapped* Overlapped) {
  Complete(ErrorCode, NumberOfBytesTransfered, Overlapped, ioRead);
}

void STFileIOCompletionWriteRoutine(uint32_t ErrorCode, uint32_t NumberOfBytesTransfered,
                                    os::Overlapped* Overlapped) {
  Complete(ErrorCode, NumberOfBytesTransfered, Overlapped, ioWrite);
}

void GREEN_WSAAPI STFlaggedFileIOCompletionReadRoutine(uint32_t ErrorCode,
                                                       uint32_t NumberOfBytesTransfered,
                                                       os::Overlapped* Overlapped, uint32_t) {
  os::RunSystemCallback(
      [=] { Complete(ErrorCode, NumberOfBytesTransfered, Overlapped, ioRead); });
}

void GREEN_WSAAPI STFlaggedFileIOCompletionWriteRoutine(uint32_t ErrorCode,
                                                        uint32_t NumberOfBytesTransfered,
                                                        os::Overlapped* Overlapped, uint32_t) {
  os::RunSystemCallback(
      [=] { Complete(ErrorCode, NumberOfBytesTransfered, Overlapped, ioWrite); });
}

}  // namespace green
