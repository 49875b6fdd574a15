#include "net/http.h"

#include <cstdio>

namespace zt {
namespace {

constexpr size_t kMaxMethod = 16;

bool IsUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool IsVisible(char c) { return c > 0x20 && c < 0x7f; }

// RFC 9110 token characters.
bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || IsUpper(c) || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

}  // namespace

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// The method so far: only upper-case letters, at most kMaxMethod of them,
// before the first space. Lets garbage be refused before its line ends.
bool MethodPrefixValid(std::string_view line) {
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == ' ') return i > 0;
    if (!IsUpper(line[i]) || i >= kMaxMethod) return false;
  }
  return true;
}

bool ParseRequestLine(std::string_view line, HttpRequest& request) {
  const size_t first = line.find(' ');
  if (first == std::string_view::npos || !MethodPrefixValid(line)) return false;
  const size_t second = line.find(' ', first + 1);
  if (second == std::string_view::npos) return false;
  const std::string_view target = line.substr(first + 1, second - first - 1);
  const std::string_view version = line.substr(second + 1);
  if (version != "HTTP/1.1" && version != "HTTP/1.0") return false;
  if (target.empty() || target.front() != '/' || target.size() > kMaxHttpTarget) return false;
  for (const char c : target) {
    if (!IsVisible(c)) return false;
  }
  request.method.assign(line.substr(0, first));
  const size_t question = target.find('?');
  request.path.assign(target.substr(0, question));
  request.query.assign(question == std::string_view::npos ? std::string_view()
                                                          : target.substr(question + 1));
  return true;
}

// One header line, kept in request; false when malformed or when it
// announces a body other than a POST's Content-Length within the bound.
bool CheckHeader(std::string_view line, HttpRequest& request, size_t& content_length) {
  const size_t colon = line.find(':');
  if (colon == 0 || colon == std::string_view::npos) return false;  // folding starts with a blank
  const std::string_view name = line.substr(0, colon);
  for (const char c : name) {
    if (!IsTokenChar(c)) return false;
  }
  const std::string_view value = Trim(line.substr(colon + 1));
  for (const char c : value) {
    if (!IsVisible(c) && c != ' ' && c != '\t' && static_cast<unsigned char>(c) < 0x80) {
      return false;
    }
  }
  if (EqualsNoCase(name, "Transfer-Encoding")) return false;
  if (EqualsNoCase(name, "Content-Length") && value != "0") {
    if (request.method != "POST" || content_length != 0 || value.empty() || value.size() > 6) {
      return false;
    }
    size_t length = 0;
    for (const char c : value) {
      if (c < '0' || c > '9') return false;
      length = length * 10 + static_cast<size_t>(c - '0');
    }
    if (length > kMaxHttpBodyBytes) return false;
    content_length = length;
  }
  request.headers.emplace_back(name, value);
  return true;
}

}  // namespace

std::string_view HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (EqualsNoCase(key, name)) return value;
  }
  return {};
}

HttpParse ParseHttpRequest(std::string_view bytes, HttpRequest& request) {
  size_t at = 0;
  bool first_line = true;
  size_t content_length = 0;
  request.headers.clear();
  request.body.clear();
  for (;;) {
    const size_t end = bytes.find('\n', at);
    if (end == std::string_view::npos) {
      if (first_line && !MethodPrefixValid(bytes.substr(at))) return HttpParse::kBad;
      return bytes.size() >= kMaxHttpRequestBytes ? HttpParse::kBad : HttpParse::kNeedMore;
    }
    if (end >= kMaxHttpRequestBytes) return HttpParse::kBad;
    std::string_view line = bytes.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    at = end + 1;
    if (first_line) {
      if (!ParseRequestLine(line, request)) return HttpParse::kBad;
      first_line = false;
      continue;
    }
    if (line.empty()) {
      if (bytes.size() - at < content_length) return HttpParse::kNeedMore;
      request.body.assign(bytes.substr(at, content_length));
      return HttpParse::kRequest;
    }
    if (!CheckHeader(line, request, content_length)) return HttpParse::kBad;
  }
}

const char* HttpReason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 429:
      return "Too Many Requests";
    case 500:
      return "Internal Server Error";
    case 503:
      return "Service Unavailable";
    default:
      return "Unknown";
  }
}

std::string HttpResponse(int status, std::string_view content_type, std::string_view body,
                         bool head, std::string_view extra_headers) {
  char line[160];
  std::snprintf(line, sizeof line, "HTTP/1.1 %d %s\r\nContent-Length: %zu\r\n", status,
                HttpReason(status), body.size());
  std::string out = line;
  out += "Content-Type: ";
  out += content_type;
  out += "\r\nCache-Control: no-store\r\nConnection: close\r\n";
  out += extra_headers;
  out += "\r\n";
  if (!head) out += body;
  return out;
}

}  // namespace zt
