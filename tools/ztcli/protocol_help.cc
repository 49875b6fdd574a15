#include "ztcli/protocol_help.h"

#include <strings.h>

#include <vector>

namespace ztcli {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The cells of a table row "| a | b | c |" (a '|' inside `code` too splits:
// the command tables have none).
std::vector<std::string_view> Cells(std::string_view row) {
  std::vector<std::string_view> cells;
  row = Trim(row);
  if (row.size() < 2 || row.front() != '|') return cells;
  row.remove_prefix(1);
  if (row.back() == '|') row.remove_suffix(1);
  for (size_t at = 0;;) {
    const size_t bar = row.find('|', at);
    cells.push_back(Trim(row.substr(at, bar - at)));
    if (bar == std::string_view::npos) break;
    at = bar + 1;
  }
  return cells;
}

// Markdown's ` and ** dropped.
std::string Plain(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '`') continue;
    if (text[i] == '*' && i + 1 < text.size() && text[i + 1] == '*') {
      ++i;
      continue;
    }
    out += text[i];
  }
  return out;
}

// The requests a first cell names: `A~h`, `...B` (B after A's prefix:
// "RECORDSETMOVEFIRST~h", "...MOVENEXT" is RECORDSETMOVENEXT~h).
std::vector<std::string> Requests(std::string_view cell) {
  std::vector<std::string> requests;
  std::string first_name, first_fields;
  for (size_t at = cell.find('`'); at != std::string_view::npos; at = cell.find('`', at)) {
    const size_t end = cell.find('`', at + 1);
    if (end == std::string_view::npos) break;
    std::string request(cell.substr(at + 1, end - at - 1));
    at = end + 1;
    if (request.rfind("...", 0) == 0 && !first_name.empty()) {
      // The short form takes the place of the first name's tail from where
      // its longest prefix occurs: MOVE of MOVENEXT in RECORDSETMOVEFIRST.
      const std::string tail = request.substr(3);
      const size_t tilde = tail.find('~');
      const std::string tail_name = tail.substr(0, tilde);
      size_t from = first_name.size();
      for (size_t k = tail_name.size(); k > 0; --k) {
        const size_t found = first_name.rfind(tail_name.substr(0, k));
        if (found != std::string::npos) {
          from = found;
          break;
        }
      }
      request = first_name.substr(0, from) + tail_name +
                (tilde == std::string::npos ? first_fields : tail.substr(tilde));
    } else if (first_name.empty()) {
      first_name = request.substr(0, request.find('~'));
      first_fields = request.find('~') == std::string::npos ? "" : request.substr(request.find('~'));
    }
    requests.push_back(request);
  }
  return requests;
}

}  // namespace

std::string ProtocolHelp(std::string_view command, std::string_view document) {
  std::string help;
  std::string section;
  std::vector<std::string_view> header;
  size_t at = 0;
  while (at < document.size()) {
    size_t end = document.find('\n', at);
    if (end == std::string_view::npos) end = document.size();
    const std::string_view line = document.substr(at, end - at);
    at = end + 1;
    if (line.rfind("#", 0) == 0) {
      section = std::string(Trim(line.substr(line.find_first_not_of('#'))));
      header.clear();
      continue;
    }
    const std::vector<std::string_view> cells = Cells(line);
    if (cells.empty()) {
      header.clear();
      continue;
    }
    if (header.empty()) {
      header = cells;  // the first row of a table names its columns
      continue;
    }
    for (const std::string& request : Requests(cells[0])) {
      const std::string name = request.substr(0, request.find_first_of("~["));  // NAME[~OPTION]
      if (name.size() != command.size() ||
          strncasecmp(name.c_str(), command.data(), command.size()) != 0) {
        continue;
      }
      help += request + "\n";
      for (size_t i = 1; i < cells.size(); ++i) {
        if (cells[i].empty()) continue;
        const std::string title = i < header.size() ? Plain(header[i]) : "";
        help += "  " + (title.empty() ? "" : title + ": ") + Plain(cells[i]) + "\n";
      }
      help += "  (docs/protocol.md, " + section + ")\n";
      break;
    }
  }
  return help;
}

}  // namespace ztcli
