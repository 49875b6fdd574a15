#include "engine/codec.h"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace zt {

int CompareNoCase(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  size_t i = 0;
  // Bytes equal as they stand are equal folded too: keys share long
  // prefixes (table and column names), skipped eight bytes at a time.
  while (i + sizeof(uint64_t) <= n) {
    uint64_t x;
    uint64_t y;
    std::memcpy(&x, a.data() + i, sizeof x);
    std::memcpy(&y, b.data() + i, sizeof y);
    if (x != y) break;
    i += sizeof x;
  }
  for (; i < n; ++i) {
    if (a[i] == b[i]) continue;  // most bytes of two keys match as they stand
    const auto ca = static_cast<unsigned char>(FoldCase(a[i]));
    const auto cb = static_cast<unsigned char>(FoldCase(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string PadLeft(std::string_view s, size_t width) {
  std::string out;
  if (s.size() < width) out.assign(width - s.size(), ' ');
  out.append(s);
  if (out.size() > width) out.resize(width);
  return out;
}

std::string PadRight(std::string_view s, size_t width) {
  std::string out(s.substr(0, width));
  if (out.size() < width) out.append(width - out.size(), ' ');
  return out;
}

std::string_view TrimBlanks(std::string_view s) {
  size_t begin = 0;
  size_t end = s.size();
  while (begin < end && s[begin] == ' ') ++begin;
  while (end > begin && s[end - 1] == ' ') --end;
  return s.substr(begin, end - begin);
}

std::string IdToText(int64_t n) { return std::to_string(n); }

bool IsNumberText(std::string_view s) {
  if (s.empty()) return false;
  bool seen_point = false;
  for (size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    if (c >= '0' && c <= '9') continue;
    if (c == '.' && !seen_point) {
      seen_point = true;
      continue;
    }
    if ((c == '+' || c == '-') && i == 0) continue;
    return false;
  }
  return true;
}

int32_t TextToInt(std::string_view s) {
  if (!IsNumberText(s)) return 0;
  // atoi semantics: optional sign, then leading digits; the rest is ignored.
  size_t i = 0;
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    i = 1;
  }
  int64_t value = 0;
  constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    value = value * 10 + (s[i] - '0');
    if (value > kLimit) value = kLimit;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int32_t>::max()) value = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(value);
}

double TextToDouble(std::string_view s) {
  if (!IsNumberText(s)) return 0.0;
  // A whole number of up to 15 digits is exact in a double, as strtod
  // would give it; most numbers are such, and this path costs far less.
  const size_t sign = s[0] == '+' || s[0] == '-' ? 1 : 0;
  if (s.size() > sign && s.size() - sign <= 15) {
    int64_t whole = 0;
    size_t i = sign;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') whole = whole * 10 + (s[i++] - '0');
    if (i == s.size()) {
      const double value = static_cast<double>(whole);
      return s[0] == '-' ? -value : value;
    }
  }
  const std::string copy(s);  // strtod needs a terminated text
  return std::strtod(copy.c_str(), nullptr);
}

void PutTextField(char* field, size_t width, std::string_view text) {
  if (width == 0) return;
  const size_t n = text.size() < width - 1 ? text.size() : width - 1;
  std::memcpy(field, text.data(), n);
  std::memset(field + n, 0, width - n);
}

std::string_view GetTextField(const char* field, size_t width) {
  const void* nul = std::memchr(field, '\0', width);
  const size_t n = nul ? static_cast<size_t>(static_cast<const char*>(nul) - field) : width;
  return std::string_view(field, n);
}

void PutNumberField(char* field, size_t width, int64_t value) {
  // Ten digits and a sign fill an 11-byte field exactly; the NUL is then
  // left out rather than the last digit (readers stop at the field's end).
  const std::string text = IdToText(value);
  if (text.size() == width) {
    std::memcpy(field, text.data(), width);
    return;
  }
  PutTextField(field, width, text);
}

int32_t GetNumberField(const char* field, size_t width) {
  return TextToInt(GetTextField(field, width));
}

void EncodeFixed32(char* dst, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  for (int i = 0; i < 4; ++i) dst[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

void EncodeFixed64(char* dst, int64_t value) {
  const auto v = static_cast<uint64_t>(value);
  for (int i = 0; i < 8; ++i) dst[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

int32_t DecodeFixed32(const char* src) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= uint32_t{static_cast<unsigned char>(src[i])} << (8 * i);
  return static_cast<int32_t>(v);
}

int64_t DecodeFixed64(const char* src) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t{static_cast<unsigned char>(src[i])} << (8 * i);
  return static_cast<int64_t>(v);
}

namespace {

// Slicing-by-8 tables of the reflected Castagnoli polynomial.
struct Crc32cTables {
  uint32_t t[8][256];
  Crc32cTables() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t crc = i;
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
      t[0][i] = crc;
    }
    for (uint32_t i = 0; i < 256; ++i) {
      for (int s = 1; s < 8; ++s) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
  }
};

#if defined(__x86_64__)
// The processor's CRC-32C instruction (SSE 4.2), where it has one: the log
// sums every unit it changes twice, and this is several times faster than
// the tables.
__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(const unsigned char* p, size_t n,
                                                          uint32_t crc) {
  uint64_t c = ~crc;
  while (n >= 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    c = __builtin_ia32_crc32di(c, word);
    p += 8;
    n -= 8;
  }
  auto c32 = static_cast<uint32_t>(c);
  while (n-- > 0) c32 = __builtin_ia32_crc32qi(c32, *p++);
  return ~c32;
}

bool HasCrc32cInstruction() {
  static const bool has = __builtin_cpu_supports("sse4.2") != 0;
  return has;
}
#endif

}  // namespace

uint32_t Crc32c(const void* data, size_t n, uint32_t crc) {
  const auto* p = static_cast<const unsigned char*>(data);
#if defined(__x86_64__)
  if (HasCrc32cInstruction()) return Crc32cHardware(p, n, crc);
#endif
  static const Crc32cTables tables;
  crc = ~crc;
  while (n >= 8) {
    const uint32_t lo = crc ^ (uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 |
                               uint32_t{p[3]} << 24);
    crc = tables.t[7][lo & 0xFF] ^ tables.t[6][(lo >> 8) & 0xFF] ^ tables.t[5][(lo >> 16) & 0xFF] ^
          tables.t[4][lo >> 24] ^ tables.t[3][p[4]] ^ tables.t[2][p[5]] ^ tables.t[1][p[6]] ^
          tables.t[0][p[7]];
    p += 8;
    n -= 8;
  }
  while (n-- > 0) crc = (crc >> 8) ^ tables.t[0][(crc ^ *p++) & 0xFF];
  return ~crc;
}

}  // namespace zt
