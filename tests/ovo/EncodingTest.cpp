// Encodings: conversions, shared and private instances, and the piecewise
// decoding that line assembly relies on.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ovo/Codec.h"
#include "ovo/Encoding.h"
#include "platform/CodePage.h"

namespace green {
namespace {

const std::string kPrivet = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // "Привет"
const std::string kPrivet1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";

TEST(Encoding, Cp1251RoundTripsCyrillicText) {
  TEncoding* Enc = TEncoding::Cp1251();
  EXPECT_EQ(Enc->GetBytes(kPrivet), kPrivet1251);
  EXPECT_EQ(Enc->GetString(kPrivet1251), kPrivet);
  EXPECT_EQ(Enc->GetBytes("\xE2\x82\xAC?"), "\x88?") << "the euro sign is 0x88 in 1251";
  EXPECT_EQ(Enc->GetBytes("\xE4\xB8\xAD"), "?") << "a character the page lacks";
}

// The codec of a single-byte page decodes every byte, alone and among
// others, as the platform does.
TEST(Encoding, SingleBytePagesDecodeEveryByteAsThePlatform) {
  for (const uint32_t Page : {os::kCp1251, os::AnsiCodePage()}) {
    const TEncoding Enc(Page);
    std::string All, Expected;
    for (int B = 0; B < 256; ++B) {
      const std::string Byte(1, static_cast<char>(B));
      All += Byte;
      Expected += os::DecodeToUtf8(Page, Byte);
      EXPECT_EQ(Enc.GetString(Byte), os::DecodeToUtf8(Page, Byte)) << Page << " " << B;
    }
    EXPECT_EQ(Enc.GetString(All), Expected) << Page;
  }
}

TEST(Encoding, Utf8ReplacesEachIllFormedPartOnce) {
  TEncoding* Enc = TEncoding::UTF8();
  EXPECT_EQ(Enc->GetString("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(Enc->GetString("\xE2\x82" "A"), "\xEF\xBF\xBD" "A") << "a truncated sequence is one unit";
  EXPECT_EQ(Enc->GetString("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD")
      << "an encoded surrogate is three ill-formed bytes";
  EXPECT_EQ(Enc->GetString(kPrivet), kPrivet);
}

TEST(Encoding, SharedInstancesCloneToThemselvesPrivateOnesToCopies) {
  EXPECT_TRUE(TEncoding::Default()->IsStandard());
  EXPECT_EQ(TEncoding::UTF8()->Clone(), TEncoding::UTF8());
  TEncoding Mine(1251);
  EXPECT_FALSE(Mine.IsStandard());
  std::unique_ptr<TEncoding> Copy(Mine.Clone());
  EXPECT_NE(Copy.get(), &Mine);
  EXPECT_FALSE(Copy->IsStandard());
  EXPECT_EQ(Copy->GetBytes(kPrivet), kPrivet1251);
  EXPECT_TRUE(Copy->SameCodec(*TEncoding::Cp1251()));
  EXPECT_FALSE(Copy->SameCodec(*TEncoding::UTF8()));
}

TEST(Encoding, UnsupportedCodePageRaises) {
  EXPECT_THROW(TEncoding(4242), EEncodingError);
}

TEST(Encoding, Utf8HoldsBackOnlyACharacterThatMayStillComplete) {
  TEncoding* Enc = TEncoding::UTF8();
  EXPECT_EQ(Enc->CompletePrefix("ab"), 2u);
  EXPECT_EQ(Enc->CompletePrefix("a\xD0"), 1u);
  EXPECT_EQ(Enc->CompletePrefix("a\xE2\x82"), 1u);
  EXPECT_EQ(Enc->CompletePrefix("a\xF0\x9F\x98"), 1u);
  EXPECT_EQ(Enc->CompletePrefix("a\xF0\x9F\x98\x80"), 5u);
  EXPECT_EQ(Enc->CompletePrefix("\xE2" "A"), 2u) << "an ASCII byte ends the sequence for good";
  EXPECT_EQ(Enc->CompletePrefix("a\xC0"), 2u) << "never a lead byte";
  EXPECT_EQ(Enc->CompletePrefix("a\x80\x80\x80"), 4u) << "stray continuation bytes";
  EXPECT_EQ(Enc->CompletePrefix("a\xE0\x80"), 3u) << "0x80 cannot follow 0xE0: no character to wait for";
  EXPECT_EQ(Enc->CompletePrefix("a\xE0\xA0"), 1u);
  EXPECT_EQ(TEncoding::Cp1251()->CompletePrefix("\xCF\xF0"), 2u);
}

TEST(Encoding, CountBytesMapsDecodedTextBackToItsBytes) {
  size_t N = 0;
  const std::string Bytes = "a\xFF\xD0\x9F" "b";
  const std::string Text = TEncoding::UTF8()->GetString(Bytes);
  ASSERT_TRUE(TEncoding::UTF8()->CountBytes(Bytes, Text.substr(0, 4), N));  // "a" + U+FFFD
  EXPECT_EQ(N, 2u);
  ASSERT_TRUE(TEncoding::UTF8()->CountBytes(Bytes, Text.substr(0, 6), N));
  EXPECT_EQ(N, 4u);
  ASSERT_TRUE(TEncoding::Cp1251()->CountBytes(kPrivet1251, kPrivet.substr(0, 4), N));
  EXPECT_EQ(N, 2u) << "two Cyrillic letters, one byte each";
  EXPECT_FALSE(TEncoding::UTF8()->CountBytes("ab", "abc", N)) << "more text than the bytes hold";
}

TEST(Encoding, PiecesDecodeAsTheWholeDoes) {
  const std::string Bytes = "x\xF0\x9F\x98\x80y\xE2\x82\xAC\xFFz";
  TEncoding* Enc = TEncoding::UTF8();
  for (size_t Cut = 0; Cut <= Bytes.size(); ++Cut) {
    const std::string Head = Bytes.substr(0, Cut);
    const size_t N = Enc->CompletePrefix(Head);
    EXPECT_EQ(Enc->GetString(Head.substr(0, N)) + Enc->GetString(Bytes.substr(N)),
              Enc->GetString(Bytes))
        << "cut at " << Cut;
  }
}

// The well-formed start ends exactly at the first bad part, wherever that
// falls against the eight-byte steps and the runs of two-byte characters.
TEST(Encoding, ValidUtf8PrefixStopsAtTheFirstIllFormedPart) {
  const std::string Good[] = {"a", "\xD0\x9F", "bc", "\xE2\x82\xAC", "\xD1\x80", "\xF0\x9F\x98\x80"};
  const std::string Bad[] = {"\xFF", "\xC0\x80", "\xD0", "\xD0" "a", "\xED\xA0\x80", "\xE2\x82", "\x80"};
  for (const std::string& B : Bad)
    for (size_t K = 0; K < 24; ++K) {
      std::string Text;
      for (size_t I = 0; I < K; ++I) Text += Good[(I * 7 + K) % std::size(Good)];
      const size_t Valid = Text.size();
      EXPECT_EQ(ValidUtf8Prefix(Text), Valid);
      Text += B + "abcdefghij";
      EXPECT_EQ(ValidUtf8Prefix(Text), Valid) << "after " << K << " pieces";
    }
}

}  // namespace
}  // namespace green
