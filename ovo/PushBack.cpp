#include "ovo/PushBack.h"

#include <algorithm>
#include <cstring>

namespace green {

namespace {
// Consumed bytes are dropped from the front once they are the larger part,
// so each byte is moved at most once on average.
constexpr size_t kCompactFrom = 4096;
}  // namespace

size_t TPushBackBuffer::Take(void* Buf, size_t Count) {
  const size_t n = std::min(Count, Size());
  std::memcpy(Buf, FBytes.data() + FHead, n);
  FHead += n;
  DropText();
  Compact();
  return n;
}

void TPushBackBuffer::Append(std::string_view Bytes) {
  if (Empty() && Text().empty() && FProvisionalBytes == kNone) {
    // Nothing pending: start over at the front, keeping the text positions.
    FTextOrigin += FText.size();
    FText.clear();
    FTextHead = 0;
    FBytes.clear();
    FHead = FDecoded = 0;
  }
  FBytes.append(Bytes);
}

void TPushBackBuffer::Prepend(std::string_view Bytes) {
  if (Bytes.empty()) return;
  if (FHead >= Bytes.size()) {
    FHead -= Bytes.size();
    std::memcpy(FBytes.data() + FHead, Bytes.data(), Bytes.size());
  } else {
    FBytes.insert(FHead, Bytes);
  }
  DropText();
}

void TPushBackBuffer::Reserve(size_t Count) {
  if (FBytes.capacity() - FBytes.size() >= Count) return;
  if (FHead > 0 && FProvisionalBytes == kNone) {
    FBytes.erase(0, FHead);
    FDecoded -= FHead;
    FHead = 0;
    if (FBytes.capacity() - FBytes.size() >= Count) return;
  }
  FBytes.reserve(std::max(FBytes.size() + Count, FBytes.capacity() * 2));
}

void TPushBackBuffer::Clear() {
  FBytes.clear();
  FHead = FDecoded = 0;
  DropText();
}

void TPushBackBuffer::Decode(const TEncoding& Enc) {
  if (FHasText && FTextPage != Enc.CodePage()) DropText();
  FTextPage = Enc.CodePage();
  FHasText = true;
  const std::string_view rest = std::string_view(FBytes).substr(FDecoded);
  const size_t n = Enc.CompletePrefix(rest);
  if (n == 0) return;
  FText.append(Enc.GetString(rest.substr(0, n)));
  FDecoded += n;
}

void TPushBackBuffer::DecodeAll(const TEncoding& Enc) {
  Decode(Enc);
  if (FDecoded == FBytes.size()) return;
  const std::string tail = Enc.GetString(std::string_view(FBytes).substr(FDecoded));
  FProvisionalBytes = FDecoded;
  FProvisionalText = FText.size();
  FText.append(tail);
  FDecoded = FBytes.size();
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
}

void TPushBackBuffer::Cut(size_t Count, const TEncoding& Enc) {
  const std::string_view text = Text();
  const std::string_view bytes = std::string_view(FBytes).substr(FHead, FDecoded - FHead);
  size_t used;
  if (Enc.CountBytes(bytes, text.substr(0, Count), used)) {
    FHead += used;
    FTextHead += Count;
    Compact();
    return;
  }
  // The page cannot map ill-formed text back to its bytes: what follows
  // the cut is encoded again from its text.
  std::string rest = Enc.GetBytes(text.substr(Count));
  rest.append(std::string_view(FBytes).substr(FDecoded));
  FBytes = std::move(rest);
  FHead = FDecoded = 0;
  DropText();
}

void TPushBackBuffer::DropText() {
  FTextOrigin += FText.size();
  FText.clear();
  FTextHead = 0;
  FDecoded = FHead;
  FHasText = false;
  FProvisionalBytes = FProvisionalText = kNone;
  FMemo.Reset();
}

void TPushBackBuffer::Compact() {
  if (FProvisionalBytes != kNone) return;
  if (FHead >= kCompactFrom && FHead * 2 > FBytes.size()) {
    FBytes.erase(0, FHead);
    FDecoded -= FHead;
    FHead = 0;
  }
  if (FTextHead >= kCompactFrom && FTextHead * 2 > FText.size()) {
    FText.erase(0, FTextHead);
    FTextOrigin += FTextHead;
    FTextHead = 0;
  }
}

}  // namespace green
