#include "ovo/Search.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "ovo/Codec.h"
#include "ovo/Encoding.h"

namespace green {

namespace {

bool IsAscii(std::string_view Text) {
  for (const char C : Text)
    if (static_cast<unsigned char>(C) >= 0x80) return false;
  return true;
}

std::string AsText(const std::string& EOL) {
  return IsAscii(EOL) || ValidUtf8Prefix(EOL) == EOL.size() ? EOL
                                                            : TEncoding::UTF8()->GetString(EOL);
}

// string_view::find compares through memcmp at every candidate, a call per
// line: an end-of-line is a byte or two, so memchr finds its first byte and
// the rest is compared in place.
size_t FindEOL(std::string_view Text, size_t From, std::string_view EOL) {
  if (Text.size() < EOL.size()) return std::string_view::npos;
  const size_t Last = Text.size() - EOL.size();
  for (size_t At = From; At <= Last; ++At) {
    const void* Hit = std::memchr(Text.data() + At, EOL[0], Last - At + 1);
    if (!Hit) break;
    At = static_cast<size_t>(static_cast<const char*>(Hit) - Text.data());
    size_t Same = 1;
    while (Same < EOL.size() && Text[At + Same] == EOL[Same]) ++Same;
    if (Same == EOL.size()) return At;
  }
  return std::string_view::npos;
}

bool SameEOLs(const std::vector<std::string>& Known, std::span<const std::string> EOLs) {
  return std::equal(Known.begin(), Known.end(), EOLs.begin(), EOLs.end());
}

}  // namespace

namespace {
std::atomic<uint64_t> LastLineSearch{0};
}  // namespace

TLineSearch::TLineSearch(std::span<const std::string> EOLs)
    : FSerial(LastLineSearch.fetch_add(1, std::memory_order_relaxed) + 1) {
  if (EOLs.size() == 1) {
    FOne = AsText(EOLs[0]);
    FEOLs = std::span(&FOne, 1);
  } else {
    FMany.reserve(EOLs.size());
    for (const std::string& Eol : EOLs) FMany.push_back(AsText(Eol));
    FEOLs = FMany;
  }
  for (const std::string& Eol : FEOLs) FAscii = FAscii && IsAscii(Eol);
}

TSearchResult TLineSearch::Find(std::string_view Text, uint64_t Base, TSearchMemo& Memo,
                                TSearchHit& Hit) {
  if (Memo.LineSearch != FSerial) {
    if (!SameEOLs(Memo.EOLs, FEOLs)) {
      Memo.Reset();
      Memo.EOLs.assign(FEOLs.begin(), FEOLs.end());
      Memo.Scanned.assign(FEOLs.size(), 0);
      Memo.At.assign(FEOLs.size(), TSearchMemo::kUnknown);
    }
    Memo.LineSearch = FSerial;
  }
  const uint64_t End = Base + Text.size();
  for (size_t I = 0; I < FEOLs.size(); ++I) {
    const std::string& Eol = FEOLs[I];
    if (Eol.empty()) continue;
    uint64_t& At = Memo.At[I];
    uint64_t& Scanned = Memo.Scanned[I];
    if (At == TSearchMemo::kUnknown || At < Base) {
      const uint64_t From = std::max(Scanned, Base);
      const size_t P = FindEOL(Text, static_cast<size_t>(From - Base), Eol);
      if (P == std::string_view::npos) {
        // An occurrence may still begin in the last Size - 1 characters.
        At = TSearchMemo::kUnknown;
        Scanned = std::max<uint64_t>(From, End + 1 > Eol.size() ? End + 1 - Eol.size() : 0);
        continue;
      }
      At = Scanned = Base + P;
    }
    Hit.ValuePos = 0;
    Hit.ValueLen = static_cast<size_t>(At - Base);
    Hit.Consumed = Hit.ValueLen + Eol.size();
    return srFound;
  }
  return srMore;
}

TSearchResult TMatchSearch::Find(std::string_view Text, uint64_t Base, TSearchMemo& Memo,
                                 TSearchHit& Hit) {
  if (FRegEx.IsEmpty()) return srFailed;
  if (Memo.RegEx != FRegEx.Identity() || Memo.Resume < Base) {
    Memo.RegEx = FRegEx.Identity();
    Memo.Resume = Base;
  }
  const size_t Start = FRegEx.Resumable() ? static_cast<size_t>(Memo.Resume - Base) : 0;
  size_t Pos, Len;
  // Decoded text is always well-formed UTF-8 (Codec.h): the engine need not
  // check it again at every search.
  switch (FRegEx.Find(Text, Start, Pos, Len, true)) {
    case TRegEx::fdMatch:
      break;
    case TRegEx::fdNone:
      Memo.Resume = Base + Text.size();
      return srMore;
    case TRegEx::fdPartial:
      Memo.Resume = Base + Pos;
      return srMore;
    default:
      return srFailed;
  }
  size_t Consumed = Pos + Len;
  if (Len == 0) {
    if (Pos == Text.size()) {
      Memo.Resume = Base + Pos;
      return srMore;
    }
    bool Valid;
    Consumed += Utf8Unit(Text.substr(Pos), Valid);
  }
  // What follows the match is searched without the text in front of it,
  // which lookbehinds saw: the next search starts afresh.
  Memo.RegEx = 0;
  Hit.ValuePos = Pos;
  Hit.ValueLen = Len;
  Hit.Consumed = Consumed;
  return srFound;
}

}  // namespace green
