// Fixed-width fields, number text and little-endian integers.
//
// Every on-disk structure of the database is fixed-width. Numbers in the
// definition file, record headers and resultset rows are decimal text,
// NUL-terminated inside their field; names fill 33-byte fields (at most 32
// characters and the NUL). Index pages hold binary little-endian integers.
// This file is the one place that turns values into those bytes and back;
// the layouts themselves are described beside the structs that use them.
//
// Nothing here allocates based on file content beyond the field width, and
// no decoder reads past the field it is given.
#ifndef ZT_ENGINE_CODEC_H_
#define ZT_ENGINE_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zt {

// Width of a decimal number field (10 characters and a NUL: any 32-bit value).
inline constexpr size_t kNumberFieldWidth = 11;
// Width of a name field (table or column name: 32 characters and a NUL).
inline constexpr size_t kNameFieldWidth = 33;
inline constexpr size_t kMaxNameLength = kNameFieldWidth - 1;

// ---- Case-insensitive comparison -------------------------------------------
// ASCII letters are folded to lower case, then bytes compare as unsigned
// values. Locale-independent on purpose: the index order on disk depends on
// it, so '_' (0x5F) sorts before every letter.
inline char FoldCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}
// The text with its ASCII letters folded to lower case.
inline std::string FoldText(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = FoldCase(c);
  return out;
}
int CompareNoCase(std::string_view a, std::string_view b);
inline bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CompareNoCase(a, b) == 0;
}

// 'Y'/'N' flags are compared without regard to case.
inline bool FlagIs(char flag, char upper) { return (flag & ~0x20) == upper; }

// ---- Text utilities for fixed-width values ----------------------------------
// Right-justifies s in width characters (blanks in front), then cuts it at
// width characters: PadLeft("42", 5) == "   42", PadLeft("abcdef", 3) == "abc".
std::string PadLeft(std::string_view s, size_t width);
// Left-justifies s in width characters (blanks behind), then cuts it.
std::string PadRight(std::string_view s, size_t width);
// Removes leading and trailing blanks (the space character only).
std::string_view TrimBlanks(std::string_view s);

// A C string as a view; a null pointer is the empty text.
inline std::string_view ViewOf(const char* text) {
  return text == nullptr ? std::string_view() : std::string_view(text);
}

// ---- Number text -------------------------------------------------------------
// Decimal text of a signed 32-bit value ("-" in front when negative).
std::string IdToText(int64_t n);

// Validating conversions. An empty (or null) text yields 0. Otherwise every
// character must be a decimal digit, a '.' (at most one), or a '+'/'-' in
// the first position; anything else (a blank included) yields 0. A valid
// text converts like atoi/atof: "12.9" gives 12. Values beyond the 32-bit
// range saturate instead of wrapping.
int32_t TextToInt(std::string_view s);
double TextToDouble(std::string_view s);
// True when s passes the validation above (so that 0 can be told apart).
bool IsNumberText(std::string_view s);

// ---- Fixed-width NUL-terminated fields ---------------------------------------
// Writes text into a field of width bytes: at most width-1 characters, then
// NUL, the rest of the field zero. A longer text is cut; nothing is ever
// written outside the field.
void PutTextField(char* field, size_t width, std::string_view text);
// The text of a field: its bytes up to the first NUL, or all width bytes.
std::string_view GetTextField(const char* field, size_t width);

// Decimal text of value, NUL-terminated when it leaves room; a text that
// fills the field exactly ("-2147483648" in 11 bytes) goes in without the
// NUL instead of losing a digit.
void PutNumberField(char* field, size_t width, int64_t value);
int32_t GetNumberField(const char* field, size_t width);

// ---- Little-endian integers (index pages) -----------------------------------
void EncodeFixed32(char* dst, int32_t value);
void EncodeFixed64(char* dst, int64_t value);
int32_t DecodeFixed32(const char* src);
int64_t DecodeFixed64(const char* src);

// ---- Checksums (the write-ahead log) -------------------------------------------
// CRC-32C (Castagnoli) of n bytes, continuing from crc (0 to start).
uint32_t Crc32c(const void* data, size_t n, uint32_t crc = 0);

}  // namespace zt

#endif  // ZT_ENGINE_CODEC_H_
