// HttpGet (include/ztserver/client.h): the endpoint speaks HTTP/1.1 but
// answers one request per connection, so the response is everything read
// until the server closes; no chunking or Content-Length is needed.
#include <cstdlib>
#include <string>

#include "ztserver/client.h"

namespace ztserver {
namespace {

// Cuts a whole response into status and body; false when it is not one.
bool ParseHttpResponse(const std::string& bytes, HttpResponse& response) {
  // "HTTP/1.x NNN reason" CRLF ... CRLF CRLF body
  if (bytes.compare(0, 7, "HTTP/1.") != 0 || bytes.size() < 12 || bytes[8] != ' ') return false;
  const size_t head_end = bytes.find("\r\n\r\n");
  if (head_end == std::string::npos) return false;
  response.status = std::atoi(bytes.c_str() + 9);
  response.body = bytes.substr(head_end + 4);
  return response.status >= 100 && response.status <= 999;
}

}  // namespace

Result<HttpResponse> HttpGet(const std::string& host, uint16_t port, std::string_view path,
                             int timeout_ms) {
  Connection client;
  Options where;
  where.host = host;
  where.port = port;
  where.connect_timeout_ms = where.reply_timeout_ms = timeout_ms;
  if (Status status = client.Connect(where); !status.ok()) return status;
  const std::string request =
      "GET " + std::string(path) + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
  const std::string endpoint = host + ":" + std::to_string(port);
  if (const Status sent = client.SendRaw(request, timeout_ms); !sent.ok()) {
    return Status(sent.code(), "no answer from " + endpoint);
  }
  std::string bytes;
  if (!client.ReadToClose(&bytes, timeout_ms)) {
    return Status(ErrorCode::kTimeout, "no answer from " + endpoint);
  }
  HttpResponse response;
  if (!ParseHttpResponse(bytes, response)) {
    return Status(ErrorCode::kBadReply, "not an HTTP response from " + endpoint);
  }
  return response;
}

}  // namespace ztserver
