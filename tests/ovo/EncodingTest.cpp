// Encodings: conversions, shared and private instances, and the piecewise
// decoding that line assembly relies on.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "ovo/Encoding.h"

namespace green {
namespace {

const std::string kPrivet = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82";  // "Привет"
const std::string kPrivet1251 = "\xCF\xF0\xE8\xE2\xE5\xF2";

TEST(Encoding, Cp1251RoundTripsCyrillicText) {
  TEncoding* enc = TEncoding::Cp1251();
  EXPECT_EQ(enc->GetBytes(kPrivet), kPrivet1251);
  EXPECT_EQ(enc->GetString(kPrivet1251), kPrivet);
  EXPECT_EQ(enc->GetBytes("\xE2\x82\xAC?"), "\x88?") << "the euro sign is 0x88 in 1251";
  EXPECT_EQ(enc->GetBytes("\xE4\xB8\xAD"), "?") << "a character the page lacks";
}

TEST(Encoding, Utf8ReplacesEachIllFormedPartOnce) {
  TEncoding* enc = TEncoding::UTF8();
  EXPECT_EQ(enc->GetString("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(enc->GetString("\xE2\x82" "A"), "\xEF\xBF\xBD" "A") << "a truncated sequence is one unit";
  EXPECT_EQ(enc->GetString("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD")
      << "an encoded surrogate is three ill-formed bytes";
  EXPECT_EQ(enc->GetString(kPrivet), kPrivet);
}

TEST(Encoding, SharedInstancesCloneToThemselvesPrivateOnesToCopies) {
  EXPECT_TRUE(TEncoding::Default()->IsStandard());
  EXPECT_EQ(TEncoding::UTF8()->Clone(), TEncoding::UTF8());
  TEncoding mine(1251);
  EXPECT_FALSE(mine.IsStandard());
  std::unique_ptr<TEncoding> copy(mine.Clone());
  EXPECT_NE(copy.get(), &mine);
  EXPECT_FALSE(copy->IsStandard());
  EXPECT_EQ(copy->GetBytes(kPrivet), kPrivet1251);
  EXPECT_TRUE(copy->SameCodec(*TEncoding::Cp1251()));
  EXPECT_FALSE(copy->SameCodec(*TEncoding::UTF8()));
}

TEST(Encoding, UnsupportedCodePageRaises) {
  EXPECT_THROW(TEncoding(4242), EEncodingError);
}

TEST(Encoding, Utf8HoldsBackOnlyACharacterThatMayStillComplete) {
  TEncoding* enc = TEncoding::UTF8();
  EXPECT_EQ(enc->CompletePrefix("ab"), 2u);
  EXPECT_EQ(enc->CompletePrefix("a\xD0"), 1u);
  EXPECT_EQ(enc->CompletePrefix("a\xE2\x82"), 1u);
  EXPECT_EQ(enc->CompletePrefix("a\xF0\x9F\x98"), 1u);
  EXPECT_EQ(enc->CompletePrefix("a\xF0\x9F\x98\x80"), 5u);
  EXPECT_EQ(enc->CompletePrefix("\xE2" "A"), 2u) << "an ASCII byte ends the sequence for good";
  EXPECT_EQ(enc->CompletePrefix("a\xC0"), 2u) << "never a lead byte";
  EXPECT_EQ(enc->CompletePrefix("a\x80\x80\x80"), 4u) << "stray continuation bytes";
  EXPECT_EQ(enc->CompletePrefix("a\xE0\x80"), 3u) << "0x80 cannot follow 0xE0: no character to wait for";
  EXPECT_EQ(enc->CompletePrefix("a\xE0\xA0"), 1u);
  EXPECT_EQ(TEncoding::Cp1251()->CompletePrefix("\xCF\xF0"), 2u);
}

TEST(Encoding, CountBytesMapsDecodedTextBackToItsBytes) {
  size_t n = 0;
  const std::string bytes = "a\xFF\xD0\x9F" "b";
  const std::string text = TEncoding::UTF8()->GetString(bytes);
  ASSERT_TRUE(TEncoding::UTF8()->CountBytes(bytes, text.substr(0, 4), n));  // "a" + U+FFFD
  EXPECT_EQ(n, 2u);
  ASSERT_TRUE(TEncoding::UTF8()->CountBytes(bytes, text.substr(0, 6), n));
  EXPECT_EQ(n, 4u);
  ASSERT_TRUE(TEncoding::Cp1251()->CountBytes(kPrivet1251, kPrivet.substr(0, 4), n));
  EXPECT_EQ(n, 2u) << "two Cyrillic letters, one byte each";
  EXPECT_FALSE(TEncoding::UTF8()->CountBytes("ab", "abc", n)) << "more text than the bytes hold";
}

TEST(Encoding, PiecesDecodeAsTheWholeDoes) {
  const std::string bytes = "x\xF0\x9F\x98\x80y\xE2\x82\xAC\xFFz";
  TEncoding* enc = TEncoding::UTF8();
  for (size_t cut = 0; cut <= bytes.size(); ++cut) {
    const std::string head = bytes.substr(0, cut);
    const size_t n = enc->CompletePrefix(head);
    EXPECT_EQ(enc->GetString(head.substr(0, n)) + enc->GetString(bytes.substr(n)),
              enc->GetString(bytes))
        << "cut at " << cut;
  }
}

}  // namespace
}  // namespace green
