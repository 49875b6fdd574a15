#include "service/console_json.h"

#include <cstdio>

namespace zt {
namespace {

// The length of the well-formed UTF-8 sequence at s[i] (2 to 4), or 0.
size_t Utf8Sequence(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xbf;
  if (lead >= 0xc2 && lead <= 0xdf) {
    length = 2;
  } else if (lead >= 0xe0 && lead <= 0xef) {
    length = 3;
    if (lead == 0xe0) low = 0xa0;   // over-long
    if (lead == 0xed) high = 0x9f;  // surrogates
  } else if (lead >= 0xf0 && lead <= 0xf4) {
    length = 4;
    if (lead == 0xf0) low = 0x90;   // over-long
    if (lead == 0xf4) high = 0x8f;  // past U+10FFFF
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (size_t k = 2; k < length; ++k) {
    if (byte(i + k) < 0x80 || byte(i + k) > 0xbf) return 0;
  }
  return length;
}

void AppendEscape(std::string& out, unsigned char c) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
  out += escape;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string Decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < text.size() &&
               HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view s) {
  out += '"';
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      const size_t length = Utf8Sequence(s, i);
      if (length == 0) {
        AppendEscape(out, c);
        ++i;
      } else {
        out.append(s.substr(i, length));
        i += length;
      }
      continue;
    }
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '<':
      case '>':
      case '&':
        AppendEscape(out, c);
        break;
      default:
        if (c < 0x20 || c == 0x7f) {
          AppendEscape(out, c);
        } else {
          out += static_cast<char>(c);
        }
    }
    ++i;
  }
  out += '"';
}

void JsonWriter::Separate() {
  if (!first_) out_ += ',';
  first_ = false;
}

JsonWriter& JsonWriter::BeginObject() {
  Separate();
  out_ += '{';
  first_ = true;
  return *this;
}

JsonWriter& JsonWriter::EndObject() {
  out_ += '}';
  first_ = false;
  return *this;
}

JsonWriter& JsonWriter::BeginArray() {
  Separate();
  out_ += '[';
  first_ = true;
  return *this;
}

JsonWriter& JsonWriter::EndArray() {
  out_ += ']';
  first_ = false;
  return *this;
}

JsonWriter& JsonWriter::Key(std::string_view name) {
  Separate();
  AppendJsonString(out_, name);
  out_ += ':';
  first_ = true;  // the value that follows takes no comma
  return *this;
}

JsonWriter& JsonWriter::String(std::string_view value) {
  Separate();
  AppendJsonString(out_, value);
  return *this;
}

JsonWriter& JsonWriter::Number(int64_t value) {
  Separate();
  out_ += std::to_string(value);
  return *this;
}

JsonWriter& JsonWriter::Double(double value) {
  Separate();
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  out_ += text;
  return *this;
}

JsonWriter& JsonWriter::Bool(bool value) {
  Separate();
  out_ += value ? "true" : "false";
  return *this;
}

JsonWriter& JsonWriter::Null() {
  Separate();
  out_ += "null";
  return *this;
}

std::vector<std::pair<std::string, std::string>> ParseForm(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> form;
  while (!text.empty()) {
    const size_t amp = text.find('&');
    const std::string_view pair = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view() : text.substr(amp + 1);
    if (pair.empty()) continue;
    const size_t equals = pair.find('=');
    form.emplace_back(Decode(pair.substr(0, equals)),
                      equals == std::string_view::npos ? std::string()
                                                       : Decode(pair.substr(equals + 1)));
  }
  return form;
}

std::string FormValue(const std::vector<std::pair<std::string, std::string>>& form,
                      std::string_view name) {
  for (const auto& [key, value] : form) {
    if (key == name) return value;
  }
  return {};
}

}  // namespace zt
