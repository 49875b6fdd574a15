// The socket calls of the server, and nothing else: a thin layer so that the
// event handling never sees raw syscalls. Every socket is non-blocking and
// close-on-exec. Functions return 1 on success and 0 on failure with errno
// left as the failing call set it (callers log the code).
#ifndef ZT_NET_SOCKET_H_
#define ZT_NET_SOCKET_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace zt {

using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;

// Which step of opening a listener failed (each has its own log line).
enum class ListenStep { kNone, kAddress, kSocket, kBind, kListen };

// Creates a non-blocking IPv4 listener on address:port with SO_REUSEADDR
// (a restart need not wait out TIME_WAIT; a second live listener on the same
// port still fails to bind). On failure, step tells where and errno why.
SocketHandle OpenListener(const std::string& address, uint16_t port, ListenStep& step);

// TCP keepalive of every accepted connection (see AcceptClient).
inline constexpr int kKeepaliveIdleSeconds = 60;
inline constexpr int kKeepaliveIntervalSeconds = 10;
inline constexpr int kKeepaliveProbes = 6;

// Accepts one pending connection as a non-blocking socket with TCP_NODELAY
// and TCP keepalive;
// kNoSocket when none is waiting or the accept failed (errno tells).
SocketHandle AcceptClient(SocketHandle listener, std::string& peer_address);

// One recv: > 0 bytes read, 0 peer closed, -1 error (errno; EAGAIN when
// nothing is waiting).
ssize_t ReceiveFromClient(SocketHandle socket, char* buffer, size_t n);

// One send without SIGPIPE: bytes accepted, or -1 with errno.
ssize_t SendSome(SocketHandle socket, const char* data, size_t n);

void CloseSocket(SocketHandle& socket);

// Shuts the sending side (the peer reads an end of stream); reading goes on.
void ShutdownSend(SocketHandle socket);

// A spare descriptor (a duplicate of socket), kept so that a connection can
// still be accepted and closed when the process runs out of descriptors.
SocketHandle ReserveDescriptor(SocketHandle socket);

// How many descriptors the process may have open.
size_t DescriptorLimit();
// Raises the soft descriptor limit to the hard one (start-up); returns the
// limit then in force.
size_t RaiseDescriptorLimit();

// The first IPv4 address of the local host name in dotted form; empty when
// it cannot be determined.
std::string HostAddressText();

// The port a socket is bound to (0 when unknown).
uint16_t LocalPort(SocketHandle socket);

// Sends one datagram to a local (AF_UNIX) socket; a path beginning with '@'
// names an abstract socket. Used for the service manager's notifications.
int SendLocalDatagram(const std::string& path, const std::string& text);

}  // namespace zt

#endif  // ZT_NET_SOCKET_H_
