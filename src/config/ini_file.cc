#include "config/ini_file.h"

#include "engine/codec.h"
#include "engine/file.h"

namespace zt {
namespace {

std::string_view TrimSpace(std::string_view s) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

// The section name of a header line "[name]", or false.
bool SectionName(std::string_view line, std::string_view& name) {
  line = TrimSpace(line);
  if (line.size() < 2 || line.front() != '[') return false;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return false;
  name = TrimSpace(line.substr(1, close - 1));
  return true;
}

bool IsComment(std::string_view line) {
  line = TrimSpace(line);
  return !line.empty() && (line.front() == ';' || line.front() == '#');
}

}  // namespace

bool IniFile::Load(const std::string& path) {
  std::string text;
  if (!ReadWholeFile(path, text)) {
    Parse({});
    return false;
  }
  Parse(text);
  return true;
}

void IniFile::Parse(std::string_view text) {
  lines_.clear();
  newline_ = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  final_newline_ = text.empty() || text.back() == '\n';
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines_.emplace_back(line);
    at = end + 1;
  }
}

int IniFile::FindSection(std::string_view section) const {
  for (size_t i = 0; i < lines_.size(); ++i) {
    std::string_view name;
    if (SectionName(lines_[i], name) && EqualNoCase(name, TrimSpace(section))) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int IniFile::SectionEnd(int header) const {
  for (size_t i = static_cast<size_t>(header) + 1; i < lines_.size(); ++i) {
    std::string_view name;
    if (SectionName(lines_[i], name)) return static_cast<int>(i);
  }
  return static_cast<int>(lines_.size());
}

int IniFile::FindKey(std::string_view key, int begin, int end) const {
  for (int i = begin; i < end; ++i) {
    const std::string& line = lines_[static_cast<size_t>(i)];
    if (IsComment(line)) continue;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    if (EqualNoCase(TrimSpace(std::string_view(line).substr(0, equals)), TrimSpace(key))) return i;
  }
  return -1;
}

std::string IniFile::Get(std::string_view section, std::string_view key,
                         std::string_view default_value, size_t room) const {
  std::string value(default_value);
  const int header = FindSection(section);
  if (header >= 0) {
    const int line = FindKey(key, header + 1, SectionEnd(header));
    if (line >= 0) {
      const std::string& text = lines_[static_cast<size_t>(line)];
      std::string_view found = TrimSpace(std::string_view(text).substr(text.find('=') + 1));
      if (found.size() >= 2 && found.front() == '"' && found.back() == '"') {
        found = found.substr(1, found.size() - 2);
      }
      value = found;
    }
  }
  if (value.size() > room) value.resize(room);
  return value;
}

int IniFile::LineOf(std::string_view section, std::string_view key) const {
  const int header = FindSection(section);
  if (header < 0) return 0;
  const int line = FindKey(key, header + 1, SectionEnd(header));
  return line < 0 ? 0 : line + 1;
}

std::vector<IniFile::Line> IniFile::Lines() const {
  std::vector<Line> found;
  int header = -1;  // the header of the section the lines are in
  for (size_t i = 0; i < lines_.size(); ++i) {
    const std::string_view text = TrimSpace(lines_[i]);
    std::string_view name;
    if (SectionName(text, name)) {
      header = static_cast<int>(i);
      continue;
    }
    if (text.empty() || IsComment(text)) continue;
    Line line;
    line.number = static_cast<int>(i) + 1;
    const size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
      found.push_back(std::move(line));
      continue;
    }
    if (header >= 0) {
      SectionName(lines_[static_cast<size_t>(header)], name);
      line.section = name;
    }
    line.key = TrimSpace(text.substr(0, equals));
    line.read = header >= 0 && FindSection(line.section) == header &&
                FindKey(line.key, header + 1, SectionEnd(header)) == static_cast<int>(i);
    found.push_back(std::move(line));
  }
  return found;
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  const std::string entry = std::string(key) + "=" + std::string(value);
  int header = FindSection(section);
  if (header < 0) {
    if (!lines_.empty() && !lines_.back().empty()) lines_.emplace_back();
    std::string line = "[";
    line.append(section);
    line += ']';
    lines_.push_back(std::move(line));
    lines_.push_back(entry);
    final_newline_ = true;
    return;
  }
  const int end = SectionEnd(header);
  const int line = FindKey(key, header + 1, end);
  if (line >= 0) {
    lines_[static_cast<size_t>(line)] = entry;
    return;
  }
  // After the section's last non-empty line, so blank separators stay where
  // they are.
  int insert = end;
  while (insert > header + 1 && TrimSpace(lines_[static_cast<size_t>(insert - 1)]).empty()) {
    --insert;
  }
  lines_.insert(lines_.begin() + insert, entry);
  if (insert == static_cast<int>(lines_.size()) - 1) final_newline_ = true;
}

std::string IniFile::Text() const {
  std::string text;
  for (size_t i = 0; i < lines_.size(); ++i) {
    text += lines_[i];
    if (i + 1 < lines_.size() || final_newline_) text += newline_;
  }
  return text;
}

int IniFile::Save(const std::string& path) const { return ReplaceFileContent(path, Text()); }

}  // namespace zt
