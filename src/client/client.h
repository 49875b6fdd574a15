// A small blocking client for the server's protocol, used by ztcli and by
// the integration tests.
//
// Connect, check the 28-byte greeting, send framed requests and read reply
// frames, each with a time limit. Replies are cut out of the byte stream
// like the server cuts requests: bytes outside STX ... ETX are dropped.
#ifndef ZT_CLIENT_CLIENT_H_
#define ZT_CLIENT_CLIENT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace zt {

class Client {
 public:
  Client() = default;
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  virtual ~Client();

  // Connects to host:port (a name or an IPv4 address) within timeout_ms.
  bool Connect(const std::string& host, uint16_t port, int timeout_ms, std::string* error);
  // Reads exactly the greeting bytes and checks them.
  bool ReadGreeting(int timeout_ms, std::string* error);
  // Connect and ReadGreeting.
  bool Open(const std::string& host, uint16_t port, int timeout_ms, std::string* error);

  // Sends STX text ETX.
  bool SendRequest(std::string_view text);
  // Sends bytes as they are (for tests of broken frames); false when the
  // server has not taken them all within timeout_ms.
  bool SendRaw(std::string_view bytes, int timeout_ms = 10000);
  // Reads the next reply frame's text; false on timeout or closed connection.
  bool ReadReply(std::string& text, int timeout_ms);
  // SendRequest then ReadReply.
  bool Call(std::string_view request, std::string& reply, int timeout_ms);
  // Reads exactly n bytes (bypassing frame extraction).
  bool ReadExactly(size_t n, std::string& bytes, int timeout_ms);
  // True when the server closes the connection within timeout_ms (data
  // arriving meanwhile is discarded).
  bool WaitForClose(int timeout_ms);
  // Reads until the server closes the connection (or resets it) within
  // timeout_ms; *bytes receives everything not yet read as replies (null:
  // dropped). False on timeout.
  bool ReadToClose(std::string* bytes, int timeout_ms);

  void Close();
  // Tells the server no more requests will come (replies can still be read).
  void ShutdownWrite();
  // Ends the connection with a reset instead of an orderly close (tests).
  void Abort();
  bool connected() const { return fd_ >= 0; }

 private:
  // Waits for and appends more bytes to buffer_; false on timeout/close/error.
  bool Fill(int timeout_ms);

  // Drops the bytes before read_ from buffer_.
  void Compact();

  int fd_ = -1;
  // Received bytes; those before read_ are consumed. Replies advance read_
  // instead of erasing, so a pipelined burst of small replies costs one
  // erase per receive, not one per reply.
  std::string buffer_;
  size_t read_ = 0;
};

}  // namespace zt

#endif  // ZT_CLIENT_CLIENT_H_
