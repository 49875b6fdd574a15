#include "client/http_get.h"

#include <cstdlib>

#include "ztserver/client.h"

namespace zt {

bool ParseHttpResponse(const std::string& bytes, HttpResult& result) {
  // "HTTP/1.x NNN reason" CRLF ... CRLF CRLF body
  if (bytes.compare(0, 7, "HTTP/1.") != 0 || bytes.size() < 12 || bytes[8] != ' ') return false;
  const size_t head_end = bytes.find("\r\n\r\n");
  if (head_end == std::string::npos) return false;
  result.status = std::atoi(bytes.c_str() + 9);
  result.body = bytes.substr(head_end + 4);
  return result.status >= 100 && result.status <= 999;
}

bool HttpGet(const std::string& host, uint16_t port, const std::string& path, int timeout_ms,
             HttpResult& result, std::string* error) {
  ztserver::Connection client;
  ztserver::Options where;
  where.host = host;
  where.port = port;
  where.connect_timeout_ms = where.reply_timeout_ms = timeout_ms;
  if (const ztserver::Status status = client.Connect(where); !status.ok()) {
    if (error) *error = status.message();
    return false;
  }
  const std::string request =
      "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n";
  std::string response;
  if (!client.SendRaw(request, timeout_ms) || !client.ReadToClose(&response, timeout_ms)) {
    if (error) *error = "no answer from " + host + ":" + std::to_string(port);
    return false;
  }
  if (!ParseHttpResponse(response, result)) {
    if (error) *error = "not an HTTP response from " + host + ":" + std::to_string(port);
    return false;
  }
  return true;
}

}  // namespace zt
