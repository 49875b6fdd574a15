#include "client/client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace zt {
namespace {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;
constexpr char kGreeting[] =
    "\x02"
    "CONNECTIONSTATUS"
    "\x03"
    "~SUCCEEDED";
constexpr size_t kGreetingLength = sizeof kGreeting - 1;

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

Client::~Client() { Close(); }

void Client::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
  read_ = 0;
}

void Client::ShutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void Client::Abort() {
  if (fd_ >= 0) {
    const linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  Close();
}

bool Client::Connect(const std::string& host, uint16_t port, int timeout_ms, std::string* error) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int status = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (status != 0 || found == nullptr) {
    if (error) *error = "cannot resolve " + host + ": " + ::gai_strerror(status);
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ::freeaddrinfo(found);
    if (error) *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  int result = ::connect(fd, found->ai_addr, found->ai_addrlen);
  ::freeaddrinfo(found);
  if (result != 0 && errno == EINPROGRESS) {
    pollfd waiting{fd, POLLOUT, 0};
    result = ::poll(&waiting, 1, timeout_ms);
    if (result == 1) {
      int code = 0;
      socklen_t length = sizeof code;
      ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length);
      errno = code;
      result = code == 0 ? 0 : -1;
    } else {
      errno = result == 0 ? ETIMEDOUT : errno;
      result = -1;
    }
  }
  if (result != 0) {
    if (error) {
      *error = "cannot connect to " + host + ":" + service + ": " + std::strerror(errno);
    }
    ::close(fd);
    return false;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  fd_ = fd;
  return true;
}

bool Client::ReadGreeting(int timeout_ms, std::string* error) {
  std::string greeting;
  if (!ReadExactly(kGreetingLength, greeting, timeout_ms)) {
    if (error) *error = "no greeting from the server";
    return false;
  }
  if (greeting != std::string_view(kGreeting, kGreetingLength)) {
    if (error) *error = "unexpected greeting from the server";
    return false;
  }
  return true;
}

bool Client::Open(const std::string& host, uint16_t port, int timeout_ms, std::string* error) {
  return Connect(host, port, timeout_ms, error) && ReadGreeting(timeout_ms, error);
}

bool Client::SendRaw(std::string_view bytes, int timeout_ms) {
  if (fd_ < 0) return false;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!bytes.empty()) {
    const ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd waiting{fd_, POLLOUT, 0};
      if (::poll(&waiting, 1, RemainingMs(deadline)) <= 0) return false;
      continue;
    }
    return false;
  }
  return true;
}

bool Client::SendRequest(std::string_view text) {
  std::string frame;
  frame.reserve(text.size() + 2);
  frame += kStx;
  frame += text;
  frame += kEtx;
  return SendRaw(frame);
}

bool Client::Fill(int timeout_ms) {
  if (fd_ < 0) return false;
  pollfd waiting{fd_, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&waiting, 1, timeout_ms);
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return false;
  char chunk[65536];
  ssize_t got;
  do {
    got = ::recv(fd_, chunk, sizeof chunk, 0);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  Compact();
  buffer_.append(chunk, static_cast<size_t>(got));
  return true;
}

bool Client::ReadReply(std::string& text, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const size_t start = buffer_.find(kStx, read_);
    if (start == std::string::npos) {
      buffer_.clear();
      read_ = 0;
    } else {
      // The last STX before the first ETX behind it opens the frame.
      const size_t end = buffer_.find(kEtx, start);
      if (end != std::string::npos) {
        const size_t open = buffer_.rfind(kStx, end);
        text.assign(buffer_, open + 1, end - open - 1);
        read_ = end + 1;
        if (!text.empty()) return true;
        continue;
      }
      read_ = start;
    }
    if (!Fill(RemainingMs(deadline))) return false;
  }
}

bool Client::Call(std::string_view request, std::string& reply, int timeout_ms) {
  return SendRequest(request) && ReadReply(reply, timeout_ms);
}

bool Client::ReadExactly(size_t n, std::string& bytes, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  Compact();
  while (buffer_.size() < n) {
    if (!Fill(RemainingMs(deadline))) return false;
  }
  bytes.assign(buffer_, 0, n);
  buffer_.erase(0, n);
  return true;
}

void Client::Compact() {
  buffer_.erase(0, read_);
  read_ = 0;
}

bool Client::WaitForClose(int timeout_ms) { return ReadToClose(nullptr, timeout_ms); }

bool Client::ReadToClose(std::string* bytes, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  if (bytes != nullptr) {
    Compact();
    bytes->swap(buffer_);
    buffer_.clear();
  }
  for (;;) {
    pollfd waiting{fd_, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[4096];
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got > 0 && bytes != nullptr) bytes->append(chunk, static_cast<size_t>(got));
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
}

}  // namespace zt
