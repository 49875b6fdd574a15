// HttpEndpoint: a small HTTP/1.1 server on the event loop, for the metrics
// and health pages. What it serves comes from above through a handler; this
// layer knows only requests and responses (http.h).
//
// One request per connection: a connection is read until its request head
// is complete (or bad), answered, and closed. The answer is written without
// blocking; the rest waits for writability. After the answer is out the
// sending side is shut and whatever the client still sends is read and
// dropped until it closes, so that a close with unread input (which makes
// the kernel send a reset) cannot destroy the answer on its way.
//
// Bounds, so that a stalled or hostile scraper costs little and never
// delays the protocol clients on the same loop:
//   - at most kMaxHttpConnections at once. A connection that arrives when
//     they are all taken is kept and the one least likely to be a working
//     scraper is closed to make room (see Evict): slow or idle clients can
//     hold slots, but they cannot keep /health from being answered, since
//     a real probe sends its head at once and is answered in the same
//     event;
//   - a request head must be complete kHttpHeadSeconds after the accept
//     (a scraper sends it in one packet), or the connection is closed;
//   - at most kMaxHttpRequestBytes of request head, and kMaxHttpBodyBytes
//     of POST body, held per connection;
//   - one response per connection, made once, never grown (a deferred one
//     is made when its handler answers; the connection's time limit runs
//     meanwhile, and an answer for a connection already closed is dropped);
//   - every connection is closed kHttpConnectionSeconds after it was
//     accepted, whatever state it is in (checked every kHttpSweepMs);
//   - when accept fails for want of descriptors the listener is paused
//     until the next check instead of waking the loop in a spin.
//
// With a TLS context ([SERVER] MetricsTls) every connection is TLS: the
// handshake counts against kHttpHeadSeconds like a slow head, a failed one
// closes the connection (counted, one log line), and the answer ends with
// close_notify before the TCP shutdown. A TLS read takes a whole record
// (net/tls.h), so a head may pass kMaxHttpRequestBytes by less than one
// record before it is refused.
#ifndef ZT_NET_HTTP_ENDPOINT_H_
#define ZT_NET_HTTP_ENDPOINT_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/allow_list.h"
#include "net/event_loop.h"
#include "net/http.h"
#include "net/net_server.h"
#include "net/socket.h"
#include "net/tls.h"

namespace zt {

inline constexpr size_t kMaxHttpConnections = 8;
inline constexpr int kHttpHeadSeconds = 2;
inline constexpr int kHttpConnectionSeconds = 10;
// How often the endpoint checks its connections' age.
inline constexpr int kHttpSweepMs = 1000;

struct HttpReply {
  int status = 200;
  std::string content_type = "text/plain; charset=utf-8";
  std::string body;
  // Whole header lines, each ending in CRLF (Set-Cookie, ...).
  std::string headers;
};

// Answers one well-formed request (any method, any path).
using HttpHandler = std::function<HttpReply(const HttpRequest& request)>;
// Gives the answer of a deferred request, once; a no-op when its
// connection has gone (closed by a limit, or the endpoint closed).
using HttpResponder = std::function<void(HttpReply reply)>;
// Offered every request first: returns true when it has taken it and will
// answer through the responder (at once or later, from the event loop's
// thread); false leaves the request to the HttpHandler.
using HttpDeferredHandler =
    std::function<bool(const HttpRequest& request, const HttpResponder& respond)>;

struct HttpStats {
  uint64_t accepted = 0;
  uint64_t evicted = 0;       // closed to make room for a newer connection
  uint64_t bad_requests = 0;  // answered 400
  uint64_t timed_out = 0;     // closed by a time limit before they were done
  uint64_t not_allowed = 0;   // peers outside MetricsAllowFrom, closed on accept
  uint64_t tls_handshake_failures = 0;  // TLS connections whose handshake failed
};

class HttpEndpoint {
 public:
  HttpEndpoint(EventLoop& loop, NetLogFunction log) : loop_(loop), log_(log) {}
  HttpEndpoint(const HttpEndpoint&) = delete;
  HttpEndpoint& operator=(const HttpEndpoint&) = delete;
  virtual ~HttpEndpoint();

  void set_handler(HttpHandler handler) { handler_ = std::move(handler); }
  void set_deferred_handler(HttpDeferredHandler handler) { deferred_ = std::move(handler); }
  // Peers outside these networks are closed on accept ([SERVER]
  // MetricsAllowFrom); empty: everyone.
  void set_allow_from(AllowList allow) { allow_from_ = std::move(allow); }
  // Speak TLS with this context from the next accepted connection on
  // (null: plain HTTP). Connections made before keep the one they had.
  void set_tls_context(std::shared_ptr<const TlsContext> context) {
    tls_context_ = std::move(context);
  }
  bool uses_tls() const { return tls_context_ != nullptr; }

  // Listens on address:port (port 0: any free port, see port()). Failures
  // are written to the log; returns false.
  bool Open(const std::string& address, uint16_t port);
  uint16_t port() const { return port_; }
  bool is_open() const { return listener_ != kNoSocket; }
  size_t connection_count() const { return connections_.size(); }
  const HttpStats& stats() const { return stats_; }

  // Closes every connection and the listener.
  void Close();

 private:
  // kAnswering: the request went to the deferred handler, whose answer
  // has not come yet.
  enum class State { kReading, kAnswering, kWriting, kDraining };
  struct Connection {
    SocketHandle socket = kNoSocket;
    uint64_t serial = 0;  // names the connection to a deferred answer
    std::string peer;
    State state = State::kReading;
    std::string input;   // the request head so far
    std::string output;  // the response; [sent, end) still to go
    size_t sent = 0;
    std::chrono::steady_clock::time_point accepted;
    std::unique_ptr<TlsStream> tls;  // null: plain HTTP
    // Keeps the context alive while the stream uses it (a reload may
    // replace the endpoint's).
    std::shared_ptr<const TlsContext> tls_context;
  };

  void OnListenerEvent();
  void OnConnectionEvent(SocketHandle socket, uint32_t events);
  // Each returns false when it closed the connection.
  bool Handshake(Connection& connection);
  bool Read(Connection& connection);
  bool Write(Connection& connection);
  // False when the answer was deferred.
  bool Answer(Connection& connection, HttpParse parsed, HttpRequest& request);
  // The deferred answer of the connection with this serial.
  void Respond(uint64_t serial, HttpReply reply, bool head);
  void CloseConnection(SocketHandle socket);
  // Closes one connection when all kMaxHttpConnections are taken.
  void Evict();
  void Sweep();
  Connection* Find(SocketHandle socket);

  EventLoop& loop_;
  NetLogFunction log_;
  HttpHandler handler_;
  HttpDeferredHandler deferred_;
  uint64_t next_serial_ = 1;
  uint64_t answering_inline_ = 0;  // the serial whose handler runs now
  // Shared with every responder handed out: lets a late answer see that
  // the endpoint is gone.
  std::shared_ptr<HttpEndpoint*> self_ = std::make_shared<HttpEndpoint*>(this);
  SocketHandle listener_ = kNoSocket;
  bool listener_paused_ = false;
  int sweep_timer_ = -1;
  uint16_t port_ = 0;
  std::vector<Connection> connections_;
  HttpStats stats_;
  AllowList allow_from_;
  std::shared_ptr<const TlsContext> tls_context_;
};

}  // namespace zt

#endif  // ZT_NET_HTTP_ENDPOINT_H_
