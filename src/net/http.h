// The little HTTP/1.1 the metrics endpoint speaks: requests parsed from
// bytes, responses made into bytes. Pure (no sockets), so every rule is
// tested on bytes; http_endpoint.h does the sockets.
//
// What is accepted (RFC 9112, cut down to what a scraper sends):
//   request line  METHOD SP TARGET SP HTTP/1.0|HTTP/1.1, METHOD 1 to 16
//                 upper-case letters, TARGET an origin form ("/" and up to
//                 kMaxHttpTarget visible characters; a "?query" is kept
//                 apart from the path);
//   header lines  NAME ":" VALUE, NAME a token, VALUE visible characters,
//                 spaces and tabs; obsolete line folding is refused;
//   end           an empty line. Lines end with CRLF or a bare LF.
// A body is taken only with POST, only as Content-Length (any
// Transfer-Encoding is refused), and only up to kMaxHttpBodyBytes: the
// console's changes are small forms. Any other method announcing a body is
// refused. A request is complete when its head and its whole body are in.
// Limits are applied as the bytes arrive, not at the end: a request line
// whose method or target goes wrong is refused at the first bad byte's
// line, and a request still unfinished after kMaxHttpRequestBytes is
// refused then. So the parser needs at most kMaxHttpRequestBytes of input.
#ifndef ZT_NET_HTTP_H_
#define ZT_NET_HTTP_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zt {

// The whole request head (request line and headers); more is refused.
inline constexpr size_t kMaxHttpRequestBytes = 8192;
inline constexpr size_t kMaxHttpTarget = 2048;
// The body of a POST; a longer one is refused before it is read.
inline constexpr size_t kMaxHttpBodyBytes = 16 * 1024;

struct HttpRequest {
  std::string method;  // as sent (upper case)
  std::string path;    // the target up to any '?'
  std::string query;   // after the '?', without it; empty when none
  // Header lines as sent (names as sent, values trimmed), in order.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  // POST only
  // Set by the endpoint, not the parser: the peer's address and whether the
  // connection is TLS.
  std::string peer;
  bool tls = false;

  // The first header of that name (without regard to case); empty if none.
  std::string_view Header(std::string_view name) const;
};

enum class HttpParse {
  kNeedMore,  // no complete request head yet, and nothing wrong so far
  kRequest,   // request holds the request
  kBad,       // malformed or over a limit: answer 400 and close
};

// Parses the request head at the front of bytes (everything received so far).
HttpParse ParseHttpRequest(std::string_view bytes, HttpRequest& request);

// A complete response with Content-Length and "Connection: close" (every
// connection carries one request). head: the headers without the body,
// for HEAD requests. extra_headers: whole header lines, each ending in
// CRLF, put after the fixed ones.
std::string HttpResponse(int status, std::string_view content_type, std::string_view body,
                         bool head = false, std::string_view extra_headers = {});

// Whether a and b are equal without regard to ASCII case.
bool EqualsNoCase(std::string_view a, std::string_view b);

// The reason phrase of the status codes used here ("Unknown" for others).
const char* HttpReason(int status);

}  // namespace zt

#endif  // ZT_NET_HTTP_H_
