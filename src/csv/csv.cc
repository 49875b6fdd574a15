#include "csv/csv.h"

namespace zt {

std::string CsvField(const std::string& value) {
  if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
  std::string quoted = "\"";
  for (const char c : value) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

bool CsvReader::Next(std::vector<std::string>& fields) {
  fields.clear();
  error_.clear();
  if (pos_ >= text_.size()) return false;
  record_line_ = next_line_;
  std::string field;
  for (;;) {
    field.clear();
    if (pos_ < text_.size() && text_[pos_] == '"') {
      ++pos_;
      for (;;) {
        if (pos_ >= text_.size()) {
          error_ = "a quoted field is not closed";
          return false;
        }
        const char c = text_[pos_++];
        if (c == '"') {
          if (pos_ < text_.size() && text_[pos_] == '"') {
            field += '"';
            ++pos_;
            continue;
          }
          break;
        }
        if (c == '\n') ++next_line_;
        field += c;
      }
      if (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '\n' &&
          !(text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n')) {
        error_ = "text after the closing quote of a field";
        return false;
      }
    } else {
      while (pos_ < text_.size() && text_[pos_] != ',' && text_[pos_] != '\n') {
        if (text_[pos_] == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n') break;
        if (text_[pos_] == '"') {
          error_ = "a quote inside an unquoted field";
          return false;
        }
        field += text_[pos_++];
      }
    }
    fields.push_back(field);
    if (pos_ >= text_.size()) return true;
    if (text_[pos_] == ',') {
      ++pos_;
      continue;
    }
    if (text_[pos_] == '\r') ++pos_;
    ++pos_;  // the '\n'
    ++next_line_;
    return true;
  }
}

}  // namespace zt
