// One HTTP GET, for reading the server's metrics endpoint (ztcli \status
// and the tests): connect, send the request, read the response until the
// server closes the connection (it answers one request per connection).
#ifndef ZT_CLIENT_HTTP_GET_H_
#define ZT_CLIENT_HTTP_GET_H_

#include <cstdint>
#include <string>

namespace zt {

struct HttpResult {
  int status = 0;     // from the status line
  std::string body;   // everything after the header block
};

// False with *error set when the server cannot be reached, does not answer
// within timeout_ms, or answers something that is not an HTTP response.
bool HttpGet(const std::string& host, uint16_t port, const std::string& path, int timeout_ms,
             HttpResult& result, std::string* error);

// Parses a whole response (status line, headers, body); false when it is
// not one.
bool ParseHttpResponse(const std::string& bytes, HttpResult& result);

}  // namespace zt

#endif  // ZT_CLIENT_HTTP_GET_H_
