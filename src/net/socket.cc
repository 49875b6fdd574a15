#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace zt {

SocketHandle OpenListener(const std::string& address, uint16_t port, ListenStep& step) {
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_port = htons(port);
  if (::inet_pton(AF_INET, address.c_str(), &where.sin_addr) != 1) {
    step = ListenStep::kAddress;
    errno = EINVAL;
    return kNoSocket;
  }
  SocketHandle listener = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    step = ListenStep::kSocket;
    return kNoSocket;
  }
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0) {
    const int saved = errno;
    ::close(listener);
    errno = saved;
    step = ListenStep::kBind;
    return kNoSocket;
  }
  if (::listen(listener, SOMAXCONN) != 0) {
    const int saved = errno;
    ::close(listener);
    errno = saved;
    step = ListenStep::kListen;
    return kNoSocket;
  }
  step = ListenStep::kNone;
  return listener;
}

SocketHandle AcceptClient(SocketHandle listener, std::string& peer_address) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const SocketHandle client = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length,
                                        SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (client < 0) return kNoSocket;
  const int on = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // A peer that vanished (power loss, a dropped route) never sends a reset:
  // probes find it after kKeepaliveIdleSeconds of silence plus
  // kKeepaliveProbes unanswered probes kKeepaliveIntervalSeconds apart.
  ::setsockopt(client, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  ::setsockopt(client, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepaliveIdleSeconds,
               sizeof kKeepaliveIdleSeconds);
  ::setsockopt(client, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepaliveIntervalSeconds,
               sizeof kKeepaliveIntervalSeconds);
  ::setsockopt(client, IPPROTO_TCP, TCP_KEEPCNT, &kKeepaliveProbes, sizeof kKeepaliveProbes);
  char text[INET_ADDRSTRLEN] = {};
  if (peer.sin_family == AF_INET && ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text)) {
    peer_address = text;
  } else {
    peer_address.clear();
  }
  return client;
}

ssize_t ReceiveFromClient(SocketHandle socket, char* buffer, size_t n) {
  ssize_t got;
  do {
    got = ::recv(socket, buffer, n, 0);
  } while (got < 0 && errno == EINTR);
  return got;
}

ssize_t SendSome(SocketHandle socket, const char* data, size_t n) {
  ssize_t sent;
  do {
    sent = ::send(socket, data, n, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent;
}

void CloseSocket(SocketHandle& socket) {
  if (socket >= 0) ::close(socket);
  socket = kNoSocket;
}

void ShutdownSend(SocketHandle socket) {
  if (socket >= 0) ::shutdown(socket, SHUT_WR);
}

SocketHandle ReserveDescriptor(SocketHandle socket) { return ::fcntl(socket, F_DUPFD_CLOEXEC, 0); }

size_t DescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1u << 20;
  return static_cast<size_t>(limit.rlim_cur);
}

size_t RaiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  return DescriptorLimit();
}

std::string HostAddressText() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) return {};
  std::string text;
  char dotted[INET_ADDRSTRLEN] = {};
  const auto* address = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
  if (::inet_ntop(AF_INET, &address->sin_addr, dotted, sizeof dotted)) text = dotted;
  ::freeaddrinfo(found);
  return text;
}

uint16_t LocalPort(SocketHandle socket) {
  sockaddr_in where{};
  socklen_t length = sizeof where;
  if (::getsockname(socket, reinterpret_cast<sockaddr*>(&where), &length) != 0) return 0;
  return ntohs(where.sin_port);
}

int SendLocalDatagram(const std::string& path, const std::string& text) {
  sockaddr_un where{};
  where.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof where.sun_path) return 0;
  std::memcpy(where.sun_path, path.data(), path.size());
  if (where.sun_path[0] == '@') where.sun_path[0] = '\0';
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  const ssize_t sent = ::sendto(fd, text.data(), text.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&where), length);
  ::close(fd);
  return sent == static_cast<ssize_t>(text.size()) ? 1 : 0;
}

}  // namespace zt
