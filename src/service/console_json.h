// The console's JSON: a writer that cannot make invalid JSON out of any
// bytes, and the form decoding of its requests (query strings and POST
// bodies).
//
// Strings: '"' and '\' are escaped; every control byte (below 0x20, and
// 0x7f) is written as \u00XX; '<', '>' and '&' too, so that no value can
// close a script or style element wherever the text ends up; a byte that
// is not part of well-formed UTF-8 (a stray continuation byte, an
// over-long form, a surrogate, a cut sequence) is written as \u00XX, its
// Latin-1 reading, so a stored value in another encoding still shows and
// the output stays valid UTF-8.
#ifndef ZT_SERVICE_CONSOLE_JSON_H_
#define ZT_SERVICE_CONSOLE_JSON_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zt {

// Appends s as a JSON string (with its quotes).
void AppendJsonString(std::string& out, std::string_view s);

// Builds one JSON text; the caller keeps the nesting right (Begin/End in
// pairs); commas are put in by the writer.
class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // A member's name; the next value is its value.
  JsonWriter& Key(std::string_view name);
  JsonWriter& String(std::string_view value);
  JsonWriter& Number(int64_t value);
  JsonWriter& Double(double value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  size_t size() const { return out_.size(); }
  const std::string& text() const { return out_; }
  std::string Take() { return std::move(out_); }

 private:
  void Separate();
  std::string out_;
  bool first_ = true;  // no value yet at this level
};

// application/x-www-form-urlencoded pairs ('+' is a space, %XX a byte; a
// malformed escape is kept as it stands).
std::vector<std::pair<std::string, std::string>> ParseForm(std::string_view text);
// The first value of name; empty if none.
std::string FormValue(const std::vector<std::pair<std::string, std::string>>& form,
                      std::string_view name);

}  // namespace zt

#endif  // ZT_SERVICE_CONSOLE_JSON_H_
