#include "ovo/Encoding.h"

#include <map>
#include <memory>
#include <mutex>

#include "ovo/Codec.h"
#include "platform/CodePage.h"

namespace green {

namespace {

// A code page's codec is made once and kept for the process, like the
// shared encodings: an encoding is then copied as a pointer, as a line
// read does with every line.
const TCodec* CodecOf(uint32_t CodePage) {
  static std::mutex lock;
  static auto* const Codecs = new std::map<uint32_t, std::shared_ptr<const TCodec>>;
  {
    std::lock_guard<std::mutex> Guard(lock);
    const auto Known = Codecs->find(CodePage);
    if (Known != Codecs->end()) return Known->second.get();
  }
  std::shared_ptr<const TCodec> Made = TCodec::Make(CodePage);
  if (!Made) throw EEncodingError(Format("Code page %u is not supported", CodePage));
  std::lock_guard<std::mutex> Guard(lock);
  return Codecs->emplace(CodePage, std::move(Made)).first->second.get();
}

}  // namespace

TEncoding::TEncoding(uint32_t CodePage) : FCodec(CodecOf(CodePage)) {}

TEncoding::TEncoding(uint32_t CodePage, TShared) : FCodec(CodecOf(CodePage)), FStandard(true) {}

TEncoding::TEncoding(const TEncoding& Other) : TObject(Other), FCodec(Other.FCodec) {}

TEncoding& TEncoding::operator=(const TEncoding& Other) {
  FCodec = Other.FCodec;
  return *this;
}

TEncoding::~TEncoding() = default;

// Never destroyed: providers that outlive static destruction still use them.
TEncoding* TEncoding::Default() {
  static TEncoding* const Shared = new TEncoding(os::kCpAcp, TShared{});
  return Shared;
}

TEncoding* TEncoding::Cp1251() {
  static TEncoding* const Shared = new TEncoding(os::kCp1251, TShared{});
  return Shared;
}

TEncoding* TEncoding::UTF8() {
  static TEncoding* const Shared = new TEncoding(os::kCpUtf8, TShared{});
  return Shared;
}

std::string TEncoding::GetBytes(std::string_view Text) const { return FCodec->Encode(Text); }

std::string TEncoding::GetString(std::string_view Bytes) const { return FCodec->Decode(Bytes); }

void TEncoding::AppendString(std::string_view Bytes, std::string& Text) const {
  FCodec->DecodeTo(Bytes, Text);
}

size_t TEncoding::SamePrefix(std::string_view Bytes) const { return FCodec->SamePrefix(Bytes); }

bool TEncoding::AsciiTransparent() const { return FCodec->AsciiTransparent(); }

TEncoding* TEncoding::Clone() const {
  return FStandard ? const_cast<TEncoding*>(this) : new TEncoding(*this);
}

uint32_t TEncoding::CodePage() const { return FCodec->CodePage(); }

size_t TEncoding::CompletePrefix(std::string_view Bytes) const {
  return FCodec->CompletePrefix(Bytes);
}

bool TEncoding::CountBytes(std::string_view Bytes, std::string_view Text, size_t& Count) const {
  return FCodec->CountBytes(Bytes, Text, Count);
}

}  // namespace green
