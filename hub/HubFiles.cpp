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
  auto* Record = static_cast<TFileTuple*>(Overlapped->Event);
  if (Record->InFlight > 0) --Record->InFlight;
  if (Record->Orphaned) {
    if (Record->InFlight == 0) delete Record;
    return;
  }
  // Given up meanwhile: a late completion keeps it in the trash longer.
  if (!Record->Active) {
    Record->RecalcCleanTime();
    return;
  }
  Record->Hub->SetTriggerFlag(false, true);
  Record->Trigger(static_cast<int32_t>(ErrorCode), NumOfBytes, Op);
}

}  // namespace

void TFileTuple::RecalcCleanTime() { CleanTime = Now() + kTrashGrace; }

void TFileTuple::Trigger(int32_t ErrorCode, uint32_t NumOfBytes, TIOOperation Op) {
  TCurrentHubScope Scope(Hub);
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
  auto It = FMap->find(Fd);
  return It == FMap->end() ? nullptr : It->second.get();
}

// The offset fields are left as they are: 0 for a new record, the last
// explicit offset otherwise.
TFileTuple* TFiles::Enqueue(THandle Fd, TIOOperation Op, TIOCallback Cb, void* Data,
                            TSingleThreadHub* Hub) {
  TFileTuple* Tuple = Record(Fd);
  if (!Tuple) Tuple = FMap->emplace(Fd, std::make_unique<TFileTuple>()).first->second.get();
  Tuple->Fd = Fd;
  if (Op == ioRead) {
    Tuple->ReadCb = Cb;
    Tuple->ReadData = Data;
  } else {
    Tuple->WriteCb = Cb;
    Tuple->WriteData = Data;
  }
  Tuple->Hub = Hub;
  Tuple->Active = true;
  Tuple->Overlap.Event = Tuple;
  SweepIfTimeMoved();
  return Tuple;
}

void TFiles::Dequeue(THandle Fd) {
  if (FMap) {
    auto It = FMap->find(Fd);
    if (It != FMap->end()) {
      It->second->Active = false;
      It->second->RecalcCleanTime();
      FTrash->push_back(std::move(It->second));
      FMap->erase(It);
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
  const TDateTime Time = Now();
  if (OnlyByTimeout) {
    std::erase_if(*FTrash, [Time](const std::unique_ptr<TFileTuple>& Record) {
      return Record->InFlight == 0 && Time > Record->CleanTime;
    });
  } else {
    for (std::unique_ptr<TFileTuple>& Record : *FTrash) {
      if (Record->InFlight == 0 || os::ThreadIoDropped(Record->Thread)) continue;
      Record->Orphaned = true;
      Record.release();  // the routine of its operation frees it
    }
    FTrash->clear();
  }
  FTrashLAstClean = Time;
}

void TFiles::CancelAll() {
  if (!FMap) return;
  while (!FMap->empty()) {
    const THandle Fd = FMap->begin()->first;
    os::CancelIo(Fd);
    Dequeue(Fd);
  }
}

bool TFiles::HasOutstanding(uint32_t Thread) const {
  if (!FTrash) return false;
  return std::any_of(FTrash->begin(), FTrash->end(), [Thread](const auto& Record) {
    return Record->InFlight > 0 && Record->Thread == Thread;
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
                     [Thread](const TFiles* T) { return T && T->HasOutstanding(Thread); });
}

}  // namespace

// Non-blocking alertable waits while routines run; once one finds nothing
// to run, the system is still ending a cancel, and the next waits pause a
// millisecond (still returning as soon as a routine ran).
void DrainCancelled(std::initializer_list<TFiles*> Tables) {
  const uint32_t Me = os::CurrentThreadId();
  if (!Outstanding(Tables, Me)) return;
  const uint32_t Bound = HubInfrasctuctureEnable ? kDrainBoundMs : kExitDrainBoundMs;
  const TDeadline Deadline = TDeadline::After(Bound);
  std::exception_ptr Failure;
  uint32_t Pause = 0;
  while (Outstanding(Tables, Me) && !Deadline.Passed()) {
    try {
      const uint32_t Answer = os::SleepEx(Pause, true);
      if (Answer == os::kWaitFailed) break;  // no wait can run the routines
      Pause = Answer == os::kWaitIoCompletion ? 0 : 1;
    } catch (...) {
      if (!Failure) Failure = std::current_exception();
      Pause = 0;
    }
  }
  if (Outstanding(Tables, Me))
    DebugLog(Format("a hub's drain of cancelled operations reached its bound (%u ms); "
                    "their records are left to their routines", Bound));
  if (Failure) os::detail::KeepCallbackFailure(Failure);
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
