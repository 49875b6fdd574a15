#include "engine/codec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace zt {
namespace {

TEST(TextToInt, FollowsTheValidationRules) {
  struct Case {
    const char* text;
    int32_t expected;
  } cases[] = {
      {"", 0},
      {"-5", -5},
      {"5-", 0},
      {"1.2.3", 0},
      {" 7", 0},
      {"7 ", 0},
      {"12.9", 12},
      {"+42", 42},
      {"0012", 12},
      {"-", 0},
      {".", 0},
      {"abc", 0},
      {"1e5", 0},
      {"2147483647", 2147483647},
      {"-2147483648", -2147483647 - 1},
      {"99999999999", 2147483647},
      {"-99999999999", -2147483647 - 1},
  };
  for (const Case& c : cases) EXPECT_EQ(TextToInt(c.text), c.expected) << "'" << c.text << "'";
}

TEST(TextToDouble, SharesTheValidationRules) {
  EXPECT_DOUBLE_EQ(TextToDouble("12.5"), 12.5);
  EXPECT_DOUBLE_EQ(TextToDouble("-0.25"), -0.25);
  EXPECT_DOUBLE_EQ(TextToDouble("1.2.3"), 0.0);
  EXPECT_DOUBLE_EQ(TextToDouble(" 1"), 0.0);
  EXPECT_DOUBLE_EQ(TextToDouble("1e3"), 0.0);  // no exponents: 'e' is not allowed
}

TEST(Padding, JustifiesAndCuts) {
  EXPECT_EQ(PadLeft("42", 5), "   42");
  EXPECT_EQ(PadRight("ab", 4), "ab  ");
  EXPECT_EQ(PadLeft("abcdef", 3), "abc");
  EXPECT_EQ(PadRight("abcdef", 3), "abc");
  EXPECT_EQ(PadLeft("", 2), "  ");
  EXPECT_EQ(TrimBlanks("  a b  "), "a b");
  EXPECT_EQ(TrimBlanks("    "), "");
  EXPECT_EQ(TrimBlanks("\tx\t"), "\tx\t");  // only the space character is a blank
}

TEST(CompareNoCase, FoldsAsciiLettersOnly) {
  EXPECT_EQ(CompareNoCase("Orders", "ORDERS"), 0);
  EXPECT_LT(CompareNoCase("a_b", "aab"), 0);  // '_' sorts before letters
  EXPECT_LT(CompareNoCase("A_B", "aab"), 0);
  EXPECT_LT(CompareNoCase("abc", "abcd"), 0);
  EXPECT_GT(CompareNoCase("\xC3\xA9", "z"), 0);  // bytes above 0x7F compare unsigned
  EXPECT_TRUE(EqualNoCase("MiXeD", "mixed"));
  EXPECT_FALSE(EqualNoCase("abc", "abcd"));
  // Keys longer than a machine word: a case difference inside the first
  // eight bytes, a real difference after them, equal words then a shorter
  // key, and a high byte past the first word.
  EXPECT_EQ(CompareNoCase("PeopleID     12", "peopleid     12"), 0);
  EXPECT_LT(CompareNoCase("peopleid     12", "PEOPLEID     13"), 0);
  EXPECT_GT(CompareNoCase("peopleid    100", "PEOPLEID     99"), 0);
  EXPECT_LT(CompareNoCase("peopleid", "peopleid "), 0);
  EXPECT_LT(CompareNoCase("peopleid_x", "PEOPLEIDax"), 0);
  EXPECT_GT(CompareNoCase("peopleid\xC3", "PEOPLEIDz"), 0);
}

TEST(TextField, WritesExactBytesAndNeverOverruns) {
  char field[8];
  std::memset(field, 'X', sizeof field);
  char guard = 'G';
  PutTextField(field, 6, "abc");
  EXPECT_EQ(std::memcmp(field, "abc\0\0\0XX", 8), 0);
  PutTextField(field, 6, "abcdefgh");  // cut to width - 1, NUL kept inside
  EXPECT_EQ(std::memcmp(field, "abcde\0XX", 8), 0);
  EXPECT_EQ(guard, 'G');
  EXPECT_EQ(GetTextField(field, 6), "abcde");
  const char unterminated[4] = {'w', 'x', 'y', 'z'};
  EXPECT_EQ(GetTextField(unterminated, 4), "wxyz");  // stops at the field's end
}

TEST(NumberField, RoundTripsThroughDecimalText) {
  char field[kNumberFieldWidth];
  PutNumberField(field, sizeof field, -2147483647 - 1);
  EXPECT_EQ(GetTextField(field, sizeof field), "-2147483648");
  EXPECT_EQ(GetNumberField(field, sizeof field), -2147483647 - 1);
  PutNumberField(field, sizeof field, 8906);
  EXPECT_EQ(std::memcmp(field, "8906\0\0\0\0\0\0\0", sizeof field), 0);
}

TEST(FixedIntegers, AreLittleEndian) {
  char bytes[8];
  EncodeFixed32(bytes, 0x01020304);
  EXPECT_EQ(std::memcmp(bytes, "\x04\x03\x02\x01", 4), 0);
  EXPECT_EQ(DecodeFixed32(bytes), 0x01020304);
  EncodeFixed64(bytes, -1);
  EXPECT_EQ(std::memcmp(bytes, "\xff\xff\xff\xff\xff\xff\xff\xff", 8), 0);
  EXPECT_EQ(DecodeFixed64(bytes), -1);
  EncodeFixed64(bytes, 2720LL * 3);
  EXPECT_EQ(std::memcmp(bytes, "\xe0\x1f\0\0\0\0\0\0", 8), 0);
  EXPECT_EQ(DecodeFixed64(bytes), 8160);
}

}  // namespace
TEST(Crc32c, KnownAnswersAndChainingAtEveryLength) {
  // The iSCSI test vectors (RFC 3720, B.4) and the common check value.
  std::string zeros(32, '\0'), ones(32, '\xff'), ascending(32, '\0');
  for (int i = 0; i < 32; ++i) ascending[static_cast<size_t>(i)] = static_cast<char>(i);
  EXPECT_EQ(Crc32c(zeros.data(), zeros.size()), 0x8A9136AAu);
  EXPECT_EQ(Crc32c(ones.data(), ones.size()), 0x62A8AB43u);
  EXPECT_EQ(Crc32c(ascending.data(), ascending.size()), 0x46DD794Eu);
  EXPECT_EQ(Crc32c("123456789", 9), 0xE3069283u);
  // A sum carried across a split equals the sum of the whole, wherever the
  // split falls (the eight-byte steps and the tail alike).
  std::string text;
  for (int i = 0; i < 100; ++i) text += static_cast<char>((i * 37 + 11) & 0xff);
  for (size_t split = 0; split <= text.size(); ++split) {
    EXPECT_EQ(Crc32c(text.data() + split, text.size() - split, Crc32c(text.data(), split)),
              Crc32c(text.data(), text.size()))
        << split;
  }
}

}  // namespace zt
