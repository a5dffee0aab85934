// The hub's overlapped operations: per handle one record for reads and one
// for writes, each holding the overlapped structure of the operation in
// flight, its callback and its data. A completion may still come after the
// handle was given up, so records given up wait in a trash list for 30
// minutes (and for as long as an operation of theirs is in flight) before
// they are freed.
#pragma once

#include <initializer_list>
#include <memory>
#include <unordered_map>
#include <vector>

#include "hub/GInterfaces.h"
#include "hub/Sock.h"
#include "platform/Io.h"

namespace green {

class TSingleThreadHub;

struct TFileTuple {
  THandle Fd = os::kNoHandle;
  void* ReadData = nullptr;
  void* WriteData = nullptr;
  TIOCallback ReadCb = nullptr;
  TIOCallback WriteCb = nullptr;
  TSingleThreadHub* Hub = nullptr;
  bool Active = false;
  TDateTime CleanTime = 0;
  // Handed to the system; its Event word holds this record's address.
  os::Overlapped Overlap;
  // Started and whose routine has not run yet: 0 or 1, since a second
  // operation would share Overlap with the first.
  uint32_t InFlight = 0;
  // The thread that started the operation in flight: its routine runs
  // only in that thread's alertable waits.
  uint32_t Thread = 0;
  // Its hub is gone: no one owns it but the routine of its operation in
  // flight, which frees it.
  bool Orphaned = false;

  void RecalcCleanTime();
  // Runs the callback of Op with the thread's current hub set to Hub.
  void Trigger(int32_t ErrorCode, uint32_t NumOfBytes, TIOOperation Op);
};

struct TFiles {
  std::unique_ptr<std::unordered_map<THandle, std::unique_ptr<TFileTuple>, os::HandleHash>> FMap;
  std::unique_ptr<std::vector<std::unique_ptr<TFileTuple>>> FTrash;  // in the order given up
  TDateTime FTrashLAstClean = 0;

  TFiles() = default;
  TFiles(const TFiles&) = delete;
  TFiles& operator=(const TFiles&) = delete;
  ~TFiles() { Deinitialize(); }

  void Initialize();
  bool IsInitialized() const { return FMap != nullptr; }
  bool Find(THandle Fd) const;
  // The live record of Fd, or nullptr.
  TFileTuple* Record(THandle Fd) const;
  TFileTuple* Enqueue(THandle Fd, TIOOperation Op, TIOCallback Cb, void* Data,
                      TSingleThreadHub* Hub);
  // Gives the record of Fd up: into the trash.
  void Dequeue(THandle Fd);
  // OnlyByTimeout: frees the records whose time is up; otherwise all. A
  // record with an operation in flight is never freed here: the sweep keeps
  // it, the full clean leaves it to that operation's routine.
  void TrashClean(bool OnlyByTimeout);
  // Gives every live record up, cancelling its operations.
  void CancelAll();
  // Records given up whose operation, started by Thread, still awaits its
  // routine.
  bool HasOutstanding(uint32_t Thread) const;
  // Hub destruction: cancels the operations of every live record, drains
  // (DrainCancelled), then cleans the trash fully.
  void Deinitialize();

 private:
  void SweepIfTimeMoved();
};

// Runs the calling thread's alertable waits until no record of Tables has
// an operation of this thread awaiting its routine (or a generous bound has
// passed), so that cancelled operations end while their records are still
// owned. Waits for nothing when there is nothing to drain. An exception a
// routine raises meanwhile is kept for the thread's next alertable wait.
// Every record of Tables must be given up first: a live one would be
// called back.
void DrainCancelled(std::initializer_list<TFiles*> Tables);

// The completion routines. The first two run inside the platform's
// trampoline; the flagged ones are called by the socket library itself,
// so they keep any exception from its frames on their own (the flags are
// not used).
void STFileIOCompletionReadRoutine(uint32_t ErrorCode, uint32_t NumberOfBytesTransfered,
                                   os::Overlapped* Overlapped);
void STFileIOCompletionWriteRoutine(uint32_t ErrorCode, uint32_t NumberOfBytesTransfered,
                                    os::Overlapped* Overlapped);
void GREEN_WSAAPI STFlaggedFileIOCompletionReadRoutine(uint32_t ErrorCode,
                                                       uint32_t NumberOfBytesTransfered,
                                                       os::Overlapped* Overlapped, uint32_t Flags);
void GREEN_WSAAPI STFlaggedFileIOCompletionWriteRoutine(uint32_t ErrorCode,
                                                        uint32_t NumberOfBytesTransfered,
                                                        os::Overlapped* Overlapped, uint32_t Flags);

}  // namespace green
