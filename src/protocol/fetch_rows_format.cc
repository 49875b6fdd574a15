#include "protocol/fetch_rows_format.h"

namespace zt {
namespace {

constexpr char kEscape = 0x10;  // DLE
constexpr char kEscapeFlip = 0x40;
constexpr char kSeparator = '~';
// Rows and columns of one reply stay far below this; more is no reply.
constexpr int64_t kMaxCount = 100000000;

// A whole number of at most nine digits; -1 otherwise.
int64_t Count(std::string_view text) {
  if (text.empty() || text.size() > 9) return -1;
  int64_t n = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace

void AppendFetchedValue(std::string& out, std::string_view value) {
  static constexpr char kSpecial[] = {0x02, 0x03, kEscape, kSeparator};
  static constexpr std::string_view kSpecials(kSpecial, sizeof kSpecial);
  while (!value.empty()) {
    const size_t at = value.find_first_of(kSpecials);
    out.append(value.substr(0, at));
    if (at == std::string_view::npos) return;
    out += kEscape;
    out += static_cast<char>(value[at] ^ kEscapeFlip);
    value.remove_prefix(at + 1);
  }
}

bool ParseFetchRowsReply(std::string_view reply, FetchedRows& out) {
  out = FetchedRows{};
  std::vector<std::string_view> fields;
  size_t from = 0;
  for (;;) {
    const size_t at = reply.find(kSeparator, from);
    fields.push_back(reply.substr(from, at == std::string_view::npos ? at : at - from));
    if (at == std::string_view::npos) break;
    from = at + 1;
  }
  // Name, handle, k, c, end, then the values.
  if (fields.size() < 5 || fields[0] != "RECORDSETFETCHROWS") return false;
  out.rows = Count(fields[2]);
  out.columns = Count(fields[3]);
  if (out.rows < 0 || out.columns < 0 || out.rows * out.columns > kMaxCount) return false;
  if (fields[4] != "0" && fields[4] != "1") return false;
  out.end = fields[4] == "1";
  if (fields.size() - 5 != static_cast<size_t>(out.rows * out.columns)) return false;
  out.values.reserve(fields.size() - 5);
  for (size_t i = 5; i < fields.size(); ++i) {
    const std::string_view field = fields[i];
    std::string value;
    value.reserve(field.size());
    for (size_t c = 0; c < field.size(); ++c) {
      if (field[c] != kEscape) {
        value += field[c];
      } else if (c + 1 < field.size()) {
        value += static_cast<char>(field[++c] ^ kEscapeFlip);
      } else {
        return false;  // an escape with nothing after it
      }
    }
    out.values.push_back(std::move(value));
  }
  return true;
}

}  // namespace zt
