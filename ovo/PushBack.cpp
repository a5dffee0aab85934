#include "ovo/PushBack.h"

#include <algorithm>
#include <cstring>

namespace green {

namespace {
// Consumed text is dropped from the front once it is the larger part, so
// each character is moved at most once on average.
constexpr size_t kCompactFrom = 4096;
// A value at least this long is handed over in its storage, not copied.
constexpr size_t kHandOverFrom = 64 * 1024;
}  // namespace

size_t TPushBackBuffer::Take(void* Buf, size_t Count) {
  const size_t N = std::min(Count, Size());
  if (N > 0) std::memcpy(Buf, FBytes.Data() + FHead, N);
  FHead += N;
  DropText();
  CompactText();
  return N;
}

void TPushBackBuffer::Append(std::string_view Bytes) {
  if (Empty() && Text().empty() && FProvisionalBytes == kNone) {
    // Nothing pending: start over at the front, keeping the text positions.
    Rejoin();
    FBytes.Clear();
    FHead = FDecoded = 0;
  }
  Reserve(Bytes.size());
  FBytes.Append(Bytes);
}

void TPushBackBuffer::Prepend(std::string_view Bytes) {
  if (Bytes.empty()) return;
  if (FHead >= Bytes.size()) {
    std::memcpy(FBytes.Data() + FHead - Bytes.size(), Bytes.data(), Bytes.size());
  } else {
    FBytes.Reserve(Bytes.size());
    FBytes.EraseFront(FHead);
    FHead = 0;
    FBytes.Insert(Bytes);
    FHead = Bytes.size();
  }
  DropText();
  FHead -= Bytes.size();
  FDecoded = FHead;
}

// Consumed bytes are dropped only when room is needed and they are at
// least as many as the bytes that stay: each move is paid for by as many
// bytes consumed, so a byte is moved at most once on average, and the
// buffer grows only when what it holds is more than half of it.
void TPushBackBuffer::Reserve(size_t Count) {
  if (FBytes.Capacity() - FBytes.Size() >= Count) return;
  if (FHead > 0 && FHead >= Size() && FProvisionalBytes == kNone) {
    FBytes.EraseFront(FHead);
    FDecoded -= FHead;
    FHead = 0;
    if (FBytes.Capacity() - FBytes.Size() >= Count) return;
  }
  FBytes.Reserve(Count);
}

void TPushBackBuffer::Clear() {
  FBytes.Clear();
  FHead = FDecoded = 0;
  DropText();
}

// Bytes that decode to themselves stay their own text until the first
// that does not.
void TPushBackBuffer::Decode(const TEncoding& Enc) {
  const uint32_t Page = Enc.CodePage();
  if (FHasText && FTextPage != Page) DropText();
  FMemo.Over(false);
  FTextPage = Page;
  FHasText = true;
  // Nothing new since the last search: the common case between matches.
  if (FDecoded == FBytes.Size()) return;
  std::string_view Rest = FBytes.View().substr(FDecoded);
  size_t N = Enc.CompletePrefix(Rest);
  if (N == 0) return;
  if (FSame) {
    const size_t Same = Enc.SamePrefix(Rest.substr(0, N));
    FDecoded += Same;
    if (Same == N) return;
    Separate();
    Rest = Rest.substr(Same);
    N -= Same;
  }
  Enc.AppendString(Rest.substr(0, N), FText);
  FDecoded += N;
}

void TPushBackBuffer::DecodeAll(const TEncoding& Enc) {
  Decode(Enc);
  if (FDecoded == FBytes.Size()) return;
  const std::string Tail = Enc.GetString(FBytes.View().substr(FDecoded));
  Separate();
  FProvisionalBytes = FDecoded;
  FProvisionalText = FText.size();
  FText.append(Tail);
  FDecoded = FBytes.Size();
}

// The memo may have looked at text that is gone now: it starts over.
void TPushBackBuffer::Settle() {
  if (FProvisionalBytes == kNone) return;
  if (FTextHead <= FProvisionalText) {
    FText.resize(FProvisionalText);
    FDecoded = FProvisionalBytes;
  } else {
    FText.resize(FTextHead);
    FDecoded = FHead;
  }
  FProvisionalBytes = FProvisionalText = kNone;
  FMemo.Reset();
  if (Text().empty()) Rejoin();
}

void TPushBackBuffer::Cut(size_t Count, const TEncoding& Enc) {
  if (FSame) {
    FHead += Count;
    FBase += Count;
    CompactText();
    return;
  }
  const std::string_view Decoded = Text();
  const std::string_view Bytes = FBytes.View().substr(FHead, FDecoded - FHead);
  size_t Used;
  if (Enc.CountBytes(Bytes, Decoded.substr(0, Count), Used)) {
    FHead += Used;
    FTextHead += Count;
    FBase += Count;
    if (Text().empty() && FProvisionalBytes == kNone) Rejoin();
    CompactText();
    return;
  }
  // The page cannot map ill-formed text back to its bytes: what follows
  // the cut is encoded again from its text.
  std::string Rest = Enc.GetBytes(Decoded.substr(Count));
  Rest.append(FBytes.View().substr(FDecoded));
  FBytes.Assign(Rest);
  FHead = FDecoded = 0;
  FBase += Count;
  DropText();
}

void TPushBackBuffer::CutValue(size_t Pos, size_t Len, size_t Consumed, const TEncoding& Enc,
                               std::string& Out) {
  size_t Used;
  if (FSame || FTextHead != 0 || Pos != 0 || Len < kHandOverFrom ||
      FProvisionalBytes != kNone ||
      !Enc.CountBytes(FBytes.View().substr(FHead, FDecoded - FHead),
                      std::string_view(FText).substr(0, Consumed), Used)) {
    Out.assign(Text().substr(Pos, Len));
    Cut(Consumed, Enc);
    return;
  }
  std::string Rest = std::move(Out);
  Rest.assign(FText, Consumed);
  FText.resize(Len);
  Out = std::move(FText);
  FText = std::move(Rest);
  FHead += Used;
  FBase += Consumed;
  if (Text().empty()) Rejoin();
  CompactText();
}

// Bytes searched need no text: separate text is dropped (the bytes stay),
// and a memo of text positions starts over.
void TPushBackBuffer::Prepare(bool OverBytes, bool AtEnd, const TEncoding& Enc) {
  FOverBytes = OverBytes;
  if (!OverBytes) {
    if (AtEnd)
      DecodeAll(Enc);
    else
      Decode(Enc);
    return;
  }
  if (!FSame || FProvisionalBytes != kNone) DropText();
  FMemo.Over(true);
}

void TPushBackBuffer::CutFound(size_t Pos, size_t Len, size_t Consumed, const TEncoding& Enc,
                               std::string& Out) {
  if (FOverBytes)
    CutBytes(Pos, Len, Consumed, Enc, Out);
  else
    CutValue(Pos, Len, Consumed, Enc, Out);
}

// Decoded first, so that a failed decode consumes nothing.
void TPushBackBuffer::CutBytes(size_t Pos, size_t Len, size_t Consumed, const TEncoding& Enc,
                               std::string& Out) {
  Out.clear();
  Enc.AppendString(Bytes().substr(Pos, Len), Out);
  FHead += Consumed;
  FBase += Consumed;
  FDecoded = std::max(FDecoded, FHead);
  CompactText();
}

void TPushBackBuffer::DropText() {
  FBase += Text().size();
  Rejoin();
  FDecoded = FHead;
  FHasText = false;
  FProvisionalBytes = FProvisionalText = kNone;
  FMemo.Reset();
}

void TPushBackBuffer::Separate() {
  if (!FSame) return;
  FText.assign(FBytes.View().substr(FHead, FDecoded - FHead));
  FTextHead = 0;
  FSame = false;
}

// Only with no text pending: its positions go on from FBase.
void TPushBackBuffer::Rejoin() {
  FText.clear();
  FTextHead = 0;
  FSame = true;
}

void TPushBackBuffer::CompactText() {
  if (FProvisionalBytes != kNone) return;
  if (!FSame && FTextHead >= kCompactFrom && FTextHead * 2 > FText.size()) {
    FText.erase(0, FTextHead);
    FTextHead = 0;
  }
}

}  // namespace green
