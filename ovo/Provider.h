// Byte-stream providers: a stream over an operating-system handle whose
// reads and writes are overlapped operations completed by the calling
// thread's hub, while the caller (a greenlet or a plain thread) waits on a
// gevent. On top of the raw transfer: full and pending reads and writes,
// typed values (little-endian), text in an encoding, lines, line and match
// generators and a stream adapter.
//
// Transfers never raise: they return counts or Booleans, and an operation
// error leaves its code in the thread's last error. The sign of a size
// chooses the transfer: positive reads or writes all of it (short only at
// the end of the stream or on an error), negative does one pending
// operation, 0 asks how much can be moved without waiting.
//
// A derived provider supplies the handle (GetFd) and may override the
// pending transfers and the size queries; every other operation goes
// through them.
//
// Reads and writes go through buffers of the provider's own, so that an
// operation whose wait is abandoned (its greenlet killed) never writes
// into memory its caller has given up: the next read first collects that
// read's bytes and delivers them, the next write waits for that write.
// A derived provider must cancel its handle's operations before the
// provider's buffers go: its destructor calls CancelPending.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "gevent/Gevent.h"
#include "greenlets/Greenlets.h"
#include "ovo/Encoding.h"
#include "ovo/PushBack.h"
#include "ovo/RegEx.h"
#include "ovo/Search.h"
#include "ovo/Stream.h"

namespace green {

using TBytes = std::vector<uint8_t>;
using TStringGenerator = TGenerator<std::string>;

class IOvoProvider : public virtual IInterface {
 public:
  virtual uint32_t Read(void* Buf, int32_t Size) = 0;
  virtual uint32_t Write(const void* Buf, int32_t Size) = 0;
  virtual TStream* AsStream() = 0;
  virtual TStream* AsFile(uint32_t Size) = 0;
  virtual TEncoding* GetEncoding() = 0;
  virtual void SetEncoding(const TEncoding& Value) = 0;
  virtual std::string GetEOL() = 0;
  virtual void SetEOL(const std::string& Value) = 0;
  // Raises TOvoProvider::AEOF ("EOF") when there is no further line.
  virtual std::string ReadLn() = 0;
  virtual bool ReadLn(std::string& S) = 0;
  virtual TStringGenerator ReadLns() = 0;
  // Raises EArgumentException when EOLs is empty.
  virtual TStringGenerator ReadLns(const std::vector<std::string>& EOLs) = 0;
  // The next match of RegEx in the decoded input; text in front of it is
  // dropped. A complete match is taken even where more input could make it
  // longer. An empty match also consumes the character after it, so that
  // repeated reads make progress; at the end of the input it waits for
  // more, and at the end of the stream there is none.
  virtual bool ReadRegEx(const TRegEx& RegEx, std::string& S) = 0;
  // Raises ERegExError for a pattern that does not compile.
  virtual bool ReadRegEx(const std::string& Pattern, std::string& S) = 0;
  virtual TStringGenerator ReadRegEx(const TRegEx& RegEx) = 0;
  // The pattern is compiled when the generator starts.
  virtual TStringGenerator ReadRegEx(const std::string& Pattern) = 0;
  virtual bool ReadString(const TEncoding& Enc, std::string& Buf, const std::string& EOL) = 0;
  virtual void WriteLn(const std::string& S) = 0;
  virtual void WriteLn(const std::vector<std::string>& S) = 0;
  virtual bool WriteString(const TEncoding& Enc, const std::string& Buf,
                           const std::string& EOL) = 0;
  virtual bool ReadBytes(TBytes& Buf) = 0;
  virtual bool ReadByte(uint8_t& Buf) = 0;
  virtual bool ReadInteger(int32_t& Buf) = 0;
  virtual bool ReadSmallInt(int16_t& Buf) = 0;
  virtual bool ReadSingle(float& Buf) = 0;
  virtual bool ReadDouble(double& Buf) = 0;
  virtual bool WriteBytes(const TBytes& Bytes) = 0;
  virtual bool WriteByte(uint8_t Value) = 0;
  virtual bool WriteInteger(int32_t Value) = 0;
  virtual bool WriteSmallInt(int16_t Value) = 0;
  virtual bool WriteSingle(float Value) = 0;
  virtual bool WriteDouble(double Value) = 0;

  // Open arrays written in place: {"a", "b"}.
  TStringGenerator ReadLns(std::initializer_list<std::string> EOLs) {
    return ReadLns(std::vector<std::string>(EOLs));
  }
  void WriteLn(std::initializer_list<std::string> S) { WriteLn(std::vector<std::string>(S)); }
};

class TOvoProvider : public TInterfacedObject, public virtual IOvoProvider {
 public:
  // The result of the last completed read or write.
  struct TIO {
    uint32_t NumOfBytes = 0;
    uint32_t LastError = 0;
    TIOOperation OpCode = ioNotSet;
  };
  // Failures of providers, console applications and named pipes.
  GREEN_EXCEPTION(EIOError, Exception);
  // The end of the stream where a line was asked for.
  GREEN_EXCEPTION(AEOF, EAbort);

  TOvoProvider();
  ~TOvoProvider() override;
  TOvoProvider(const TOvoProvider&) = delete;
  TOvoProvider& operator=(const TOvoProvider&) = delete;

  using IOvoProvider::ReadLns;
  using IOvoProvider::WriteLn;

  // ---- overridable, in slot order ----------------------------------------
  // Datagram mode only; the base has no peer addresses.
  virtual TAnyAddress GetDgramReadAddress();
  virtual TAnyAddress GetDgramWriteAddress();
  virtual THandle GetFd() = 0;
  // Bytes readable without waiting: 0 during assembly, else what is pushed
  // back.
  virtual uint32_t GetDriverRcvBufSize();
  virtual uint32_t GetDriverSndBufSize() { return 0; }
  // One overlapped transfer; at most Size bytes.
  virtual uint32_t ReadPending(void* Buf, uint32_t Size);
  virtual uint32_t WritePending(const void* Buf, uint32_t Size);
  virtual void OperationComplete(TIOOperation Op);
  virtual void OperationAborted() {}
  virtual void DoError(uint32_t ErrorCode, TIOOperation Operation) {}
  uint32_t Read(void* Buf, int32_t Size) override;
  uint32_t Write(const void* Buf, int32_t Size) override;
  virtual void SetPosition(int64_t Value);
  virtual int64_t GetPosition() { return FPosition; }

  // ---- IOvoProvider ----------------------------------------------------------
  TStream* AsStream() override { return FAsStream.get(); }
  TStream* AsFile(uint32_t Size) override;
  TEncoding* GetEncoding() override { return FEncoding.get(); }
  void SetEncoding(const TEncoding& Value) override;
  std::string GetEOL() override { return FEOL; }
  void SetEOL(const std::string& Value) override { FEOL = Value; }
  std::string ReadLn() override;
  bool ReadLn(std::string& S) override;
  TStringGenerator ReadLns() override;
  TStringGenerator ReadLns(const std::vector<std::string>& EOLs) override;
  bool ReadRegEx(const TRegEx& RegEx, std::string& S) override;
  bool ReadRegEx(const std::string& Pattern, std::string& S) override;
  TStringGenerator ReadRegEx(const TRegEx& RegEx) override;
  TStringGenerator ReadRegEx(const std::string& Pattern) override;
  bool ReadString(const TEncoding& Enc, std::string& Buf, const std::string& EOL) override;
  void WriteLn(const std::string& S) override;
  void WriteLn(const std::vector<std::string>& S) override;
  bool WriteString(const TEncoding& Enc, const std::string& Buf, const std::string& EOL) override;
  bool ReadBytes(TBytes& Buf) override;
  bool ReadByte(uint8_t& Buf) override { return ReadValue(Buf); }
  bool ReadInteger(int32_t& Buf) override { return ReadValue(Buf); }
  bool ReadSmallInt(int16_t& Buf) override { return ReadValue(Buf); }
  bool ReadSingle(float& Buf) override { return ReadValue(Buf); }
  bool ReadDouble(double& Buf) override { return ReadValue(Buf); }
  bool WriteBytes(const TBytes& Bytes) override { return WriteAll(Bytes.data(), Bytes.size()); }
  bool WriteByte(uint8_t Value) override { return WriteAll(&Value, sizeof Value); }
  bool WriteInteger(int32_t Value) override { return WriteAll(&Value, sizeof Value); }
  bool WriteSmallInt(int16_t Value) override { return WriteAll(&Value, sizeof Value); }
  bool WriteSingle(float Value) override { return WriteAll(&Value, sizeof Value); }
  bool WriteDouble(double Value) override { return WriteAll(&Value, sizeof Value); }

  // ---- the rest ----------------------------------------------------------------
  // The hub's completion routine; Data is the provider.
  static void Cb(THandle Fd, TIOOperation Op, void* Data, int32_t ErrorCode, uint32_t NumOfBytes);
  uint32_t ReadFull(void* Buf, uint32_t Size);
  uint32_t WriteFull(const void* Buf, uint32_t Size);
  // The engine behind every line operation: the next line that ends in
  // any of EOLs, without its end-of-line.
  bool _ReadString(const TEncoding& Enc, std::string& Buf, const std::vector<std::string>& EOLs);
  // The adapters' hooks.
  int32_t OnStreamRead(void* Buffer, int32_t Count);
  int32_t OnStreamWrite(const void* Buffer, int32_t Count);

  TGevent* OnAfterRead() const { return FRead.OnAfter.get(); }
  TGevent* OnAfterWrite() const { return FWrite.OnAfter.get(); }
  const TIO& ReadIO() const { return FRead.IO; }
  const TIO& WriteIO() const { return FWrite.IO; }
  bool EncCopied() const { return FEncoding.Owned(); }
  bool IgnoreInternalBuf() const { return FIgnoreInternalBuf; }
  // Bytes received and not yet delivered (pushed back).
  size_t PendingBytes() const;
  // Line and match assembly stop reading (and fail) once this many bytes
  // wait in the push-back buffer; unlimited by default.
  void SetAssemblyLimit(size_t Bytes) { FInternalBuf.SetLimit(Bytes); }

 protected:
  // Cancels the operations still in flight on the handle, on the hubs that
  // started them; their completions never come. For a derived destructor,
  // while GetFd still answers.
  void CancelPending();

  // Datagram mode: reads and writes carry a peer address.
  bool FUseDgramApi = false;

 private:
  // Bytes of one operation, in memory the provider owns.
  struct TChunk {
    std::vector<char> Data;
    size_t Pos = 0;
    size_t Len = 0;
    size_t Available() const { return Len - Pos; }
    size_t Take(void* Buf, size_t Size);
  };
  // What reads and writes each keep: at most one operation per direction
  // is in flight.
  struct TDirection {
    // Set by the completion routine; auto-reset.
    RefPtr<TGevent> OnAfter{MakeRef<TGevent>(false, false)};
    // The result of the last completed operation.
    TIO IO;
    TChunk Chunk;
    // A started operation whose completion no wait has taken yet, and the
    // hub that started it: a hub that has gone since cancelled it, and its
    // completion never comes.
    bool Owed = false;
    TCustomHub* Hub = nullptr;
    uint64_t HubSerial = 0;
  };
  enum TChunkRead : uint8_t { ckData, ckEnd, ckNoRoom };
  // What one assembly reads its chunks into: left as it was allocated.
  struct TChunkBuffer {
    std::unique_ptr<char[]> Data;
    uint32_t Size = 0;
  };
  class TAssemblyScope;

  template <class T>
  bool ReadValue(T& Buf);
  bool WriteAll(const void* Buf, size_t Size);
  static bool PrepareChunk(TChunk& Chunk, uint32_t Size);
  TDirection& Direction(TIOOperation Op) { return Op == ioRead ? FRead : FWrite; }
  // Starts the overlapped operation of Op's direction on Hub.
  bool Start(TCustomHub& Hub, TIOOperation Op, char* Data, uint32_t Size);
  uint32_t Transfer(TIOOperation Op, uint32_t Size);
  uint32_t Await(TIOOperation Op);
  // Line and match assembly over the push-back buffer.
  template <class TSearch>
  bool Assemble(const TEncoding& Enc, TSearch& Search, std::string& Out);
  bool ReadLine(const TEncoding& Enc, TLineSearch& Search, std::string& Buf);
  template <class TSearch>
  TSearchResult SearchPending(const TEncoding& Enc, TSearch& Search, std::string& Out, bool AtEnd);
  TChunkRead ReadChunk(TChunkBuffer& Chunk);
  // Forgets an owed operation whose hub has gone; true when one is still owed.
  bool StillOwed(TIOOperation Op);

  TDirection FRead;
  TDirection FWrite;
  int64_t FPosition = -1;
  std::string FEOL = "\r\n";
  THeldEncoding FEncoding;
  std::vector<std::string> FEOLs;
  std::unique_ptr<TStreamProxy> FAsStream;
  std::unique_ptr<TStreamProxy> FAsFile;
  TRegEx FRegEx;
  TPushBackBuffer FInternalBuf;
  bool FIgnoreInternalBuf = false;
  // The chunk line and match assembly asks for when nothing is known to be
  // readable: it grows while reads come back full and shrinks again when
  // they come back short (ProviderAssembly.cpp).
  uint32_t FAssemblyChunk = 1024;
  TAnyAddress FDgramAddr;
};

}  // namespace green
