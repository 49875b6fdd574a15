// A small INI file reader and writer with the rules of the private-profile
// calls the configuration has always used: section and key names compare
// without regard to case, blanks around names and values are ignored, a
// value in double quotes loses them, lines starting with ';' or '#' are
// comments, and a missing file or key gives the caller's default.
//
// Writing changes one key's line (or adds the key, or the section and the
// key) and keeps every other line of the file byte for byte, comments and
// line ends included.
#ifndef ZT_CONFIG_INI_FILE_H_
#define ZT_CONFIG_INI_FILE_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zt {

class IniFile {
 public:
  // Reads the file; false (and an empty file) when it cannot be read.
  bool Load(const std::string& path);
  void Parse(std::string_view text);

  // The value of section/key cut to room characters, or default_value.
  std::string Get(std::string_view section, std::string_view key, std::string_view default_value,
                  size_t room) const;
  // Replaces the value of section/key, adding what is missing.
  void Set(std::string_view section, std::string_view key, std::string_view value);

  // Where section/key is read from: its 1-based line number, 0 when absent.
  int LineOf(std::string_view section, std::string_view key) const;

  // Every line that is neither blank, a comment nor a section header, for a
  // check of the file: a key line with its section (empty before the first
  // header) and whether Get reads it (false for a key given again, or in a
  // section whose name came earlier: Get reads only the first of each), or
  // a stray line that has no '='.
  struct Line {
    int number = 0;  // 1-based
    std::string section;
    std::string key;  // empty for a stray line
    bool read = false;
  };
  std::vector<Line> Lines() const;

  std::string Text() const;
  // Writes the text to path (replacing the file atomically).
  int Save(const std::string& path) const;

 private:
  // Line index of a section header, or -1; the section ends before the next
  // header (or at the end).
  int FindSection(std::string_view section) const;
  int SectionEnd(int header) const;
  // Line index of key inside [begin, end), or -1.
  int FindKey(std::string_view key, int begin, int end) const;

  std::vector<std::string> lines_;  // without their line ends
  std::string newline_ = "\n";
  bool final_newline_ = true;
};

}  // namespace zt

#endif  // ZT_CONFIG_INI_FILE_H_
