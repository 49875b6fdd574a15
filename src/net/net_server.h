// NetServer: the listening socket, the accepted connections and their
// sessions, driven by the event loop.
//
// Events and what they do:
//   connection waiting  accept, append a session, send the 28-byte greeting;
//   socket readable     one read, cut every complete message onto the
//                       session's request queue, then a processing run;
//   peer closed / reset tell the request layer (SessionClosed), close the
//                       socket and remove the session (queued requests are
//                       dropped unanswered), then a processing run (what
//                       the client held may let others' requests through);
//                       after an orderly close, replies already made are
//                       delivered first;
//   socket writable     send the rest of the replies the socket did not take;
//   retry timer         a processing run.
// A processing run is ProcessRequests of the layer above (which plugs in
// through RequestProcessor and answers with SendToClient), then one send
// per session that earned replies in it. A run gives each session a slice
// of time; requests left over get a follow-up run once the loop has served
// the events that came in meanwhile, so a long queue (or a long request)
// of one client delays another's request by a slice per busy client, not
// by the whole queue: replies only queue up in the
// session's output during the run, so a read that carried many requests
// costs one read and one send. A session whose socket is full waits for
// writability instead, and its later replies queue behind, in order.
//
// Limits keep a hostile client from growing the server's memory or holding
// its connections (NetLimits, set from [SERVER]):
//   - reply back-pressure: a session whose unsent replies pass
//     kMaxPendingOutput is neither read from nor answered (its queue waits in
//     the run) until the socket has taken them below it;
//   - request queue: one whose unanswered requests hold
//     kMaxQueuedRequestBytes of queue (RequestQueue counts one byte beside
//     each text, so tiny requests cost what they hold) is not read from;
//   - MaxConnections, MaxConnectionsPerAddress and AllowFrom: connections
//     beyond the first, beyond the second from one peer address, or from
//     outside the third are closed as soon as they are accepted;
//   - IdleTimeout: a session that got no reply for that long, and has no
//     request waiting, is closed (requests dropped unanswered, such as
//     unknown names trickled in, keep no slot); FrameTimeout: one whose
//     started frame is not complete within it is closed (a client
//     trickling bytes holds its connection no longer);
//   - every connection has TCP keepalive, so a peer that vanished is found;
//   - TLS (ConnectTls, a second listener): the handshake must finish within
//     FrameTimeout of the accept, and the greeting is sent only after it;
//     a failed handshake (a plain-text client on the TLS port among them)
//     closes the connection with one log line. A TLS handshake arriving on
//     the plain port (its first byte is a TLS handshake record's, which no
//     protocol client sends first) is closed the same way;
//   - admission: with admission_timeout_seconds set, a session stays
//     unadmitted until the request layer admits it (it authenticated), and
//     is closed if that does not happen within the timeout.
// Each limit writes one log line when it bites (the error log folds
// repeats) and counts in NetStats, which the metrics read.
#ifndef ZT_NET_NET_SERVER_H_
#define ZT_NET_NET_SERVER_H_

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/allow_list.h"
#include "net/event_loop.h"
#include "net/session.h"
#include "net/socket.h"
#include "net/tls.h"

namespace zt {

// The greeting sent on every accepted connection. The ETX stands after
// CONNECTIONSTATUS on purpose: a client extracting frames gets the message
// CONNECTIONSTATUS and drops "~SUCCEEDED" as bytes outside a frame.
inline constexpr char kGreeting[] =
    "\x02"
    "CONNECTIONSTATUS"
    "\x03"
    "~SUCCEEDED";
inline constexpr size_t kGreetingLength = sizeof kGreeting - 1;
static_assert(kGreetingLength == 28);

// Bytes taken from a socket by one read.
inline constexpr size_t kReadChunk = 64 * 1024;
// A TLS read takes one record's plaintext whole (see net/tls.h).
static_assert(kReadChunk >= kMaxRecordPlaintext);
// A client that does not read its replies: stop reading its requests while
// this much output waits for it.
inline constexpr size_t kMaxPendingOutput = 1024 * 1024;
// A client whose head request is deferred can keep sending: stop reading
// while its queue holds this many bytes (RequestQueue::bytes). One read
// adds at most what it read, and the buffer at most doubles as it grows, so
// a session's queue holds at most about twice this.
inline constexpr size_t kMaxQueuedRequestBytes = 1024 * 1024;
// Connections served at once unless [SERVER] MaxConnections says otherwise;
// more are closed on accept so that descriptors (and the memory each session
// may hold) stay bounded. Lowered at start-up to leave kSpareDescriptors
// free under the process's descriptor limit.
inline constexpr size_t kDefaultMaxConnections = 1024;
// Connections one peer address may hold unless [SERVER]
// MaxConnectionsPerAddress says otherwise: a quarter of MaxConnections, so
// that one peer cannot take every slot, but never fewer than
// kMinDefaultConnectionsPerAddress (or MaxConnections, when that is fewer),
// so that a small server still lets one application pool in.
inline constexpr size_t kMinDefaultConnectionsPerAddress = 16;
constexpr size_t DefaultMaxConnectionsPerAddress(size_t max_connections) {
  const size_t floor = max_connections < kMinDefaultConnectionsPerAddress
                           ? max_connections
                           : kMinDefaultConnectionsPerAddress;
  return max_connections / 4 > floor ? max_connections / 4 : floor;
}
inline constexpr size_t kSpareDescriptors = 32;
// A frame that has begun must be complete within this many seconds unless
// [SERVER] FrameTimeout says otherwise (0: no deadline).
inline constexpr int kDefaultFrameTimeoutSeconds = 30;
// How often idle and stalled sessions are looked for.
inline constexpr int kHousekeepingIntervalMs = 250;
// An output buffer that a burst grew beyond this is given back once it is
// sent; smaller ones are kept so that steady traffic does not allocate.
inline constexpr size_t kRetainedOutputCapacity = 64 * 1024;
// The retry timer's delay unless the configuration sets one.
inline constexpr int kDefaultRetryDelayMs = 500;

// Why a connection was closed as soon as it was accepted.
enum class Refusal {
  kSessionLimit,  // MaxConnections (or the descriptor limit's share) reached
  kDescriptors,   // the process ran out of descriptors (EMFILE, ENFILE)
  kNotAllowed,    // the peer is outside every AllowFrom network
  kPerAddress,    // the peer address holds MaxConnectionsPerAddress already
};
inline constexpr size_t kRefusalKinds = 4;

// Why a session was closed by the server rather than by its client.
enum class Expiry {
  kIdle,       // IdleTimeout passed without a reply
  kFrame,      // FrameTimeout passed inside a frame
  kHandshake,  // FrameTimeout passed before the TLS handshake finished
  kAdmission,  // admission_timeout_seconds passed before the session was admitted
};
inline constexpr size_t kExpiryKinds = 4;
// The label the metrics give each expiry ("idle", "frame", "handshake",
// "authentication").
const char* ExpiryName(Expiry expiry);

// The operator's limits ([SERVER] settings); see the header comment.
struct NetLimits {
  size_t max_connections = kDefaultMaxConnections;
  size_t max_connections_per_address = DefaultMaxConnectionsPerAddress(kDefaultMaxConnections);
  AllowList allow_from;  // empty: everyone
  int idle_timeout_seconds = 0;  // 0: never
  int frame_timeout_seconds = kDefaultFrameTimeoutSeconds;  // 0: never
  int admission_timeout_seconds = 0;  // 0: every session is admitted on accept
};
// The label the metrics give each refusal ("session_limit", ...).
const char* RefusalName(Refusal refusal);

// What this layer has seen since start-up; read by the metrics. Counters
// only go up; they are plain integers because everything runs on one thread.
struct NetStats {
  uint64_t accepted = 0;  // connections that got a session
  std::array<uint64_t, kRefusalKinds> refused{};
  std::array<uint64_t, kExpiryKinds> expired{};  // sessions closed by a timeout
  uint64_t bytes_received = 0;  // request bytes read from clients
  uint64_t bytes_sent = 0;      // reply bytes the sockets took (greetings included)
  uint64_t processing_runs = 0;
  uint64_t tls_handshakes = 0;          // TLS handshakes that finished
  uint64_t tls_handshake_failures = 0;  // that failed (timeouts are expiries)
  uint64_t tls_on_plain_port = 0;       // TLS handshakes refused on the plain port

  void Refused(Refusal refusal) { ++refused[static_cast<size_t>(refusal)]; }
  void Expired(Expiry expiry) { ++expired[static_cast<size_t>(expiry)]; }
};

// Implemented by the request layer.
class RequestProcessor {
 public:
  virtual ~RequestProcessor() = default;
  // Answers queued requests of every session, each for a slice of time
  // (see NetServer); what is left waits for the next run. retry_due: the
  // retry timer fired, so requests waiting for their next try get it;
  // other runs pass them over.
  virtual void ProcessRequests(bool retry_due) = 0;
  // The session's connection is over: release what the client held. Called
  // once per session, before its state is dropped.
  virtual void SessionClosed(ClientSession& session) = 0;
  // Work of the processor's own that is not in any session of this layer
  // (in-process clients): while true, runs keep coming as for a session's
  // leftover requests.
  virtual bool HasOwnWork() const { return false; }
};

// Where this layer's failures are written (the server's error log).
using NetLogFunction = void (*)(std::string_view text);

class NetServer {
 public:
  // Takes over the loop's timer: its firing runs the request processor.
  // log receives every failure this layer reports.
  NetServer(EventLoop& loop, NetLogFunction log);
  NetServer(const NetServer&) = delete;
  NetServer& operator=(const NetServer&) = delete;
  virtual ~NetServer();

  void set_processor(RequestProcessor* processor) { processor_ = processor; }
  // Before Connect.
  void set_limits(NetLimits limits) { limits_ = std::move(limits); }

  // Opens the listener on address:port and starts accepting; port 0 takes
  // any free port, and port() tells which. Failures are written to the
  // error log with the socket error code; returns false.
  bool Connect(const std::string& address, uint16_t port);
  const std::string& host_address() const { return host_address_; }
  uint16_t port() const { return port_; }  // the bound port, once connected

  // Opens the TLS listener on address:port (port 0: any free port) with
  // the context; false, logged, when it cannot listen. Call after Connect.
  bool ConnectTls(const std::string& address, uint16_t port,
                  std::shared_ptr<const TlsContext> context);
  // Connections accepted from now on use context (a reload); established
  // ones keep theirs.
  void set_tls_context(std::shared_ptr<const TlsContext> context) {
    tls_context_ = std::move(context);
  }
  uint16_t tls_port() const { return tls_port_; }  // 0: no TLS listener

  // Frames text and queues it behind the session's earlier replies; it
  // leaves with them at the end of the processing run (or when the socket
  // becomes writable). False when the connection has failed: the reply is
  // dropped, like every later one.
  bool SendToClient(ClientSession& session, std::string_view text);
  // A processing run soon, after the events already waiting (for work that
  // came from elsewhere than a socket).
  void RequestRun() { RequestFollowUp(); }
  // Sends now what the run has queued so far (for a processor about to do
  // a long piece of work in the same run: the replies made before it need
  // not wait for it). A socket that takes less waits for writability as
  // usual.
  void SendQueuedReplies();

  // The retry timer (one-shot). Arm leaves an armed timer as it is, so a
  // deferred request is retried at least once per delay however many runs
  // come between; both are free when the timer is already as asked.
  void set_retry_delay(int milliseconds) { retry_delay_ms_ = milliseconds; }
  int retry_delay_ms() const { return retry_delay_ms_; }
  void ArmRetryTimer() {
    if (!loop_.timer_armed()) loop_.ArmTimer(retry_delay_ms_);
  }
  void StopRetryTimer() {
    if (loop_.timer_armed()) loop_.DisarmTimer();
  }

  SessionList& sessions() { return sessions_; }
  const SessionList& sessions() const { return sessions_; }
  const NetStats& stats() const { return stats_; }

  // Shutdown: closes every session's socket, front to back, then drops the
  // sessions (what their clients held is left to the request layer's own
  // shutdown), then closes the listener.
  void CloseAll();

 private:
  void OnListenerEvent(SocketHandle listener, bool tls);
  void OnClientEvent(SocketHandle socket, uint32_t events);
  // Advances a TLS session's handshake; greets the client once it is done.
  // Returns false when the session was closed.
  bool DriveHandshake(SocketHandle socket);
  // recv and send on the session's socket, through its TLS stream if any.
  static ssize_t Receive(ClientSession& session, char* buffer, size_t n);
  static ssize_t Send(ClientSession& session, const char* data, size_t n);
  // Returns false when the connection ended (the session is gone).
  bool ReadFrom(SocketHandle socket);  // one ReceiveFromClient and its messages
  // Sends the session's queued output until it is gone or the socket is
  // full. A broken connection drops the output and marks the session
  // (log_failure: with an error line naming the first reply lost).
  void FlushOutput(ClientSession& session, bool log_failure);
  // Tells the request layer once that the session's client is gone.
  void ReleaseState(ClientSession& session);
  void CloseSession(SocketHandle socket);
  // A processing run, then the sends it calls for.
  void RunProcessor(bool retry_due);
  // Requests that may be answered now: not waiting for a try, and output
  // under its bound (they were left by a slice or by output that drained).
  static bool HasRunnableRequests(const ClientSession& session);
  // A session whose peer closed and that has nothing left to answer or send.
  static bool Finished(const ClientSession& session);
  // A processing run after the loop has served the events that came in
  // (a step of the loop; see RunProcessor).
  void RequestFollowUp();
  // Closes the sessions that passed IdleTimeout or FrameTimeout.
  void CloseExpiredSessions();
  // Closes a connection on accept: a log line and a count.
  void Refuse(SocketHandle& client, Refusal refusal, std::string_view log_line);
  // Asks for reads only while the session's backlogs are under their
  // limits, and for writability only while output waits.
  void UpdateInterest(ClientSession& session);

  EventLoop& loop_;
  NetLogFunction log_;
  RequestProcessor* processor_ = nullptr;
  SocketHandle listener_ = kNoSocket;
  SocketHandle tls_listener_ = kNoSocket;
  uint16_t tls_port_ = 0;
  std::shared_ptr<const TlsContext> tls_context_;
  SocketHandle reserve_ = kNoSocket;  // see OnListenerEvent
  NetLimits limits_;
  size_t max_sessions_ = kDefaultMaxConnections;
  int housekeeping_ = -1;  // interval timer of CloseExpiredSessions
  bool follow_up_posted_ = false;  // the follow-up step is in the loop
  bool follow_up_wanted_ = false;  // the last run left work
  std::string host_address_;
  uint16_t port_ = 0;
  int retry_delay_ms_ = kDefaultRetryDelayMs;
  SessionList sessions_;
  // Sessions per peer address (MaxConnectionsPerAddress); an address with
  // none has no entry. Sessions of an unknown address are not counted.
  std::unordered_map<std::string, size_t> per_address_;
  NetStats stats_;
  std::vector<char> read_buffer_ = std::vector<char>(kReadChunk);
};

}  // namespace zt

#endif  // ZT_NET_NET_SERVER_H_
