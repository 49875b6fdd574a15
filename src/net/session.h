// ClientSession: what the server keeps for one accepted connection, and
// SessionList, all sessions in the order their connections were accepted.
//
// A session owns its receive state (the frame parser), its queue of
// complete requests not yet answered, the replies the socket has not yet
// taken, the DeferralCounter of the request at the head of its queue, and
// whatever the request layer keeps for the client (SessionState: its
// handles, row locks and transaction context), which this layer never looks
// into.
// The socket is the key by which events find the session; a socket is in at
// most one session. Sessions are held by value and move when an earlier one
// is removed: code keeps sockets or positions, never references, across
// anything that adds or removes sessions.
#ifndef ZT_NET_SESSION_H_
#define ZT_NET_SESSION_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/frame.h"
#include "net/request_queue.h"
#include "net/socket.h"
#include "net/tls.h"

namespace zt {

// The request layer's state of one client; owned by its session, released
// when the session ends (after RequestProcessor::SessionClosed).
class SessionState {
 public:
  virtual ~SessionState() = default;
};

// Who the client is: what this layer learnt (the listener it came through,
// its certificate) and what the request layer decided (authentication and
// rights), kept with the session so that both go when it does.
struct SessionIdentity {
  bool tls = false;                 // accepted on the TLS listener
  std::string certificate_name;     // common name of a verified client certificate
  // False until the request layer admits the session (authentication);
  // an unadmitted one is closed at NetLimits::admission_timeout_seconds.
  bool admitted = true;
  // The request layer's own: set once the client authenticated.
  bool authenticated = false;
  bool certificate_checked = false;  // certificate_name was looked up
  std::string user;
  bool may_write = true;  // kEdit and kWrite commands
  bool may_lock = true;   // commands that take row locks
};

class ClientSession {
 public:
  ClientSession() = default;
  ClientSession(SocketHandle s, std::string peer) : socket(s), peer_address(std::move(peer)) {}
  virtual ~ClientSession() = default;
  ClientSession(const ClientSession&) = delete;
  ClientSession& operator=(const ClientSession&) = delete;
  ClientSession(ClientSession&&) = default;
  ClientSession& operator=(ClientSession&&) = default;

  SocketHandle socket = kNoSocket;
  std::string peer_address;             // dotted IPv4; empty when unknown
  RequestQueue requests;                // complete messages, oldest first
  FrameParser receive;                  // bytes not yet cut into messages
  std::unique_ptr<SessionState> state;  // the request layer's; may be null
  int32_t deferral_counter = 0;
  SessionIdentity identity;
  // The TLS layer of a connection accepted on the TLS listener; null on
  // the plain one. Reads and writes go through it once established.
  std::unique_ptr<TlsStream> tls;
  bool received_any = false;  // a byte arrived (the plain port's TLS check)

  // Reply bytes the socket has not accepted yet, in order; [output_sent,
  // end) is still to go. Replies are appended whole and never reordered.
  std::string output;
  size_t output_sent = 0;
  bool send_failed = false;  // a send failed; later replies are dropped
  bool draining = false;     // the peer closed; delivering the last replies
  uint32_t interest = 0;     // epoll events currently asked for
  // Steady-clock times (NowMs) for the timeouts: the session's accept or
  // latest reply (a request that is dropped unanswered, or still waits, is
  // no sign of a live client), and when the frame now arriving began (0:
  // none is open).
  int64_t last_answer_ms = 0;
  int64_t frame_started_ms = 0;
  int64_t accepted_ms = 0;  // for the handshake and admission deadlines

  uint64_t requests_received = 0;  // complete requests queued since accept

  size_t pending_output() const { return output.size() - output_sent; }

  void QueueRequest(std::string_view text) {
    requests.push_back(text);
    ++requests_received;
  }
  void PopRequest() {
    requests.pop_front();
    deferral_counter = 0;
  }
};

using SessionList = std::vector<ClientSession>;

// Milliseconds of the steady clock: for the session timeouts.
int64_t NowMs();

// Position of the session of a socket, or -1.
int FindSession(const SessionList& sessions, SocketHandle socket);

}  // namespace zt

#endif  // ZT_NET_SESSION_H_
