// Line and match assembly: the pending text is searched first; then chunks
// are read into the push-back buffer, each followed by a search of what is
// new, until a piece is found or the stream ends.
#include <memory>

#include "ovo/Provider.h"

namespace green {

namespace {
// The chunk asked for when nothing is known to be readable, at first and
// at least; and the most it grows to. A read completes with what is there,
// so a larger chunk never waits longer; it only saves the round trips
// through the hub that a fast writer would otherwise cost per KiB.
constexpr uint32_t kDefaultChunk = 1024;
constexpr uint32_t kLargestChunk = 64 * 1024;
}  // namespace

// While a piece is assembled, reads bypass the push-back buffer; they see
// it again on every way out.
class TOvoProvider::TAssemblyScope {
 public:
  explicit TAssemblyScope(bool& Flag) : FFlag(Flag) { FFlag = true; }
  ~TAssemblyScope() { FFlag = false; }
  TAssemblyScope(const TAssemblyScope&) = delete;
  TAssemblyScope& operator=(const TAssemblyScope&) = delete;

 private:
  bool& FFlag;
};

template <class TSearch>
bool TOvoProvider::Assemble(const TEncoding& Enc, TSearch& Search, std::string& Out) {
  Out.clear();
  if (!FInternalBuf.Empty()) {
    const TSearchResult R = SearchPending(Enc, Search, Out, false);
    if (R != srMore) return R == srFound;
  }
  TAssemblyScope Scope(FIgnoreInternalBuf);
  TChunkBuffer Chunk;
  for (;;) {
    switch (ReadChunk(Chunk)) {
      case ckData:
        break;
      case ckNoRoom:
        return false;
      case ckEnd:
        return SearchPending(Enc, Search, Out, true) == srFound;
    }
    const TSearchResult R = SearchPending(Enc, Search, Out, false);
    if (R != srMore) return R == srFound;
  }
}

// At the end of the stream a character left unfinished counts as what it
// decodes to, as the whole text would.
template <class TSearch>
TSearchResult TOvoProvider::SearchPending(const TEncoding& Enc, TSearch& Search, std::string& Out,
                                          bool AtEnd) {
  struct TSettle {
    TPushBackBuffer& Buf;
    ~TSettle() { Buf.Settle(); }
  } Settle{FInternalBuf};
  try {
    FInternalBuf.Prepare(Search.OverBytes(Enc), AtEnd, Enc);
    TSearchHit Hit;
    const TSearchResult R =
        Search.Find(FInternalBuf.Searched(), FInternalBuf.TextBase(), FInternalBuf.Memo(), Hit);
    if (R != srFound) return R;
    FInternalBuf.CutFound(Hit.ValuePos, Hit.ValueLen, Hit.Consumed, Enc, Out);
    return srFound;
  } catch (const std::bad_alloc&) {
    // The bytes stay; only the text goes.
    FInternalBuf.DropText();
    Out.clear();
    return srFailed;
  }
}

// A chunk is the grown guess, never what is readable: a named pipe counts
// the push-back buffer as readable, and a chunk of that size per read would
// cost memory and time quadratic in a line that does not end. Room for the
// chunk is made before it is read, so that a chunk once read is never lost
// to a failed growth; the read goes to a buffer of its own, since another
// greenlet may change the push-back buffer while this one waits.
TOvoProvider::TChunkRead TOvoProvider::ReadChunk(TChunkBuffer& Chunk) {
  if (FInternalBuf.Full()) return ckNoRoom;
  const uint32_t Size = FAssemblyChunk;
  try {
    FInternalBuf.Reserve(Size);
    if (Chunk.Size < Size) {
      Chunk.Data.reset(new char[Size]);
      Chunk.Size = Size;
    }
  } catch (const std::bad_alloc&) {
    return ckNoRoom;
  }
  const uint32_t N = Read(Chunk.Data.get(), -static_cast<int32_t>(Size));
  if (N == Size)
    FAssemblyChunk = std::min(Size * 2, kLargestChunk);
  else if (N < Size / 2)
    FAssemblyChunk = std::max(Size / 2, kDefaultChunk);
  if (N == 0) return ckEnd;
  FInternalBuf.Append(std::string_view(Chunk.Data.get(), N));
  return ckData;
}

template bool TOvoProvider::Assemble(const TEncoding&, TLineSearch&, std::string&);
template bool TOvoProvider::Assemble(const TEncoding&, TMatchSearch&, std::string&);

}  // namespace green
