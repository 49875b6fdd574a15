#include "net/http_endpoint.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace zt {
namespace {

// Bytes read per event; a TLS read needs room for a whole record.
constexpr size_t kHttpReadChunk = kMaxRecordPlaintext;

}  // namespace

HttpEndpoint::~HttpEndpoint() {
  *self_ = nullptr;
  Close();
}

bool HttpEndpoint::Open(const std::string& address, uint16_t port) {
  ListenStep step = ListenStep::kNone;
  SocketHandle listener = OpenListener(address, port, step);
  if (listener == kNoSocket || !loop_.Add(listener, EPOLLIN, [this](uint32_t) {
        OnListenerEvent();
      })) {
    char line[160];
    std::snprintf(line, sizeof line, "Metrics: cannot listen on %s:%u - socket error(%d)",
                  address.c_str(), static_cast<unsigned>(port), errno);
    CloseSocket(listener);
    log_(line);
    return false;
  }
  listener_ = listener;
  port_ = LocalPort(listener_);
  sweep_timer_ = loop_.AddInterval(kHttpSweepMs, [this] { Sweep(); });
  return true;
}

void HttpEndpoint::Close() {
  while (!connections_.empty()) CloseConnection(connections_.back().socket);
  if (sweep_timer_ >= 0) loop_.RemoveInterval(sweep_timer_);
  sweep_timer_ = -1;
  if (listener_ != kNoSocket) loop_.Remove(listener_);
  CloseSocket(listener_);
}

void HttpEndpoint::OnListenerEvent() {
  for (;;) {
    std::string peer;
    SocketHandle client = AcceptClient(listener_, peer);
    if (client == kNoSocket) {
      if (errno == EMFILE || errno == ENFILE) {
        // The waiting connection would wake the loop at once again; wait
        // for the next sweep (the protocol listener keeps its own spare
        // descriptor for this, the endpoint simply pauses).
        if (loop_.Modify(listener_, 0)) listener_paused_ = true;
      }
      return;
    }
    if (!allow_from_.Allows(peer)) {
      ++stats_.not_allowed;
      log_("Metrics: connection refused, peer not in MetricsAllowFrom");
      CloseSocket(client);
      continue;
    }
    if (connections_.size() >= kMaxHttpConnections) Evict();
    if (!loop_.Add(client, EPOLLIN,
                   [this, client](uint32_t events) { OnConnectionEvent(client, events); })) {
      CloseSocket(client);
      continue;
    }
    ++stats_.accepted;
    Connection connection;
    connection.socket = client;
    connection.serial = next_serial_++;
    connection.peer = std::move(peer);
    connection.accepted = std::chrono::steady_clock::now();
    if (tls_context_ != nullptr) {
      connection.tls_context = tls_context_;
      connection.tls = std::make_unique<TlsStream>(*tls_context_, client);
    }
    connections_.push_back(std::move(connection));
  }
}

HttpEndpoint::Connection* HttpEndpoint::Find(SocketHandle socket) {
  for (Connection& connection : connections_) {
    if (connection.socket == socket) return &connection;
  }
  return nullptr;
}

void HttpEndpoint::OnConnectionEvent(SocketHandle socket, uint32_t events) {
  Connection* connection = Find(socket);
  if (connection == nullptr) return;
  if (connection->state == State::kAnswering) {
    // Nothing is read while the answer is being made; a hang-up ends it.
    if (events & (EPOLLERR | EPOLLHUP)) CloseConnection(socket);
    return;
  }
  if (connection->state == State::kWriting) {
    if (events & (EPOLLERR | EPOLLHUP)) {
      CloseConnection(socket);
      return;
    }
    Write(*connection);
    return;
  }
  if (connection->tls != nullptr) {
    // A TLS stream may wait for writability while reading, so any event
    // moves it on. Application data may come with the handshake's last
    // flight: read once it is done.
    if (!connection->tls->established() &&
        (!Handshake(*connection) || !connection->tls->established())) {
      return;
    }
  } else if (!(events & (EPOLLIN | EPOLLERR | EPOLLHUP))) {
    return;
  }
  Read(*connection);
}

bool HttpEndpoint::Handshake(Connection& connection) {
  switch (connection.tls->Handshake()) {
    case TlsStream::Step::kDone:
      loop_.Modify(connection.socket, EPOLLIN);
      return true;
    case TlsStream::Step::kWantRead:
      loop_.Modify(connection.socket, EPOLLIN);
      return true;
    case TlsStream::Step::kWantWrite:
      loop_.Modify(connection.socket, EPOLLOUT);
      return true;
    case TlsStream::Step::kFailed:
      break;
  }
  ++stats_.tls_handshake_failures;
  log_("Metrics: TLS handshake failed, connection closed: " + connection.tls->error());
  CloseConnection(connection.socket);
  return false;
}

bool HttpEndpoint::Read(Connection& connection) {
  char buffer[kHttpReadChunk];
  if (connection.state == State::kDraining) {
    // Whatever comes now (the peer's close_notify among it) is dropped
    // unread: nothing is answered any more.
    const ssize_t got = ReceiveFromClient(connection.socket, buffer, sizeof buffer);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (got <= 0) {
      CloseConnection(connection.socket);
      return false;
    }
    return true;  // dropped
  }
  // Never more than the limits (plus one byte to see them passed) is held;
  // a TLS record comes whole and is cut after it is read.
  const size_t room = kMaxHttpRequestBytes + kMaxHttpBodyBytes + 1 - connection.input.size();
  const ssize_t got =
      connection.tls != nullptr
          ? connection.tls->Read(buffer, sizeof buffer)
          : ReceiveFromClient(connection.socket, buffer, room < sizeof buffer ? room : sizeof buffer);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    if (connection.tls != nullptr) {
      loop_.Modify(connection.socket, connection.tls->wants_write() ? EPOLLOUT : EPOLLIN);
    }
    return true;
  }
  if (got <= 0) {
    // Closed (or reset) before the request was complete: nobody to answer.
    CloseConnection(connection.socket);
    return false;
  }
  connection.input.append(buffer, std::min(static_cast<size_t>(got), room));
  HttpRequest request;
  const HttpParse parsed = ParseHttpRequest(connection.input, request);
  if (parsed == HttpParse::kNeedMore) return true;
  if (!Answer(connection, parsed, request)) return true;
  return Write(connection);
}

bool HttpEndpoint::Answer(Connection& connection, HttpParse parsed, HttpRequest& request) {
  connection.input = std::string();
  connection.state = State::kWriting;
  if (parsed == HttpParse::kBad) {
    ++stats_.bad_requests;
    connection.output = HttpResponse(400, "text/plain; charset=utf-8", "bad request\n");
    return true;
  }
  request.peer = connection.peer;
  request.tls = connection.tls != nullptr;
  if (deferred_) {
    connection.state = State::kAnswering;
    // The handler may answer at once, from inside this call: the state
    // tells whether it did.
    const uint64_t serial = connection.serial;
    const bool head = request.method == "HEAD";
    std::weak_ptr<HttpEndpoint*> self = self_;
    answering_inline_ = serial;
    const bool taken = deferred_(request, [self, serial, head](HttpReply reply) {
      const std::shared_ptr<HttpEndpoint*> endpoint = self.lock();
      if (endpoint && *endpoint != nullptr) (*endpoint)->Respond(serial, std::move(reply), head);
    });
    answering_inline_ = 0;
    // The handler adds and removes no connection, so connection is still
    // this one.
    if (taken) return connection.state == State::kWriting;
    connection.state = State::kWriting;
  }
  HttpReply reply;
  if (handler_) {
    reply = handler_(request);
  } else {
    reply.status = 404;
    reply.body = "not found\n";
  }
  connection.output = HttpResponse(reply.status, reply.content_type, reply.body,
                                   request.method == "HEAD", reply.headers);
  return true;
}

void HttpEndpoint::Respond(uint64_t serial, HttpReply reply, bool head) {
  for (Connection& connection : connections_) {
    if (connection.serial != serial || connection.state != State::kAnswering) continue;
    connection.state = State::kWriting;
    connection.output =
        HttpResponse(reply.status, reply.content_type, reply.body, head, reply.headers);
    // Answered from inside the deferred handler: Read writes it.
    if (answering_inline_ == serial) return;
    Write(connection);
    return;
  }
}

bool HttpEndpoint::Write(Connection& connection) {
  while (connection.sent < connection.output.size()) {
    const char* data = connection.output.data() + connection.sent;
    const size_t size = connection.output.size() - connection.sent;
    const ssize_t n = connection.tls != nullptr ? connection.tls->Write(data, size)
                                                : SendSome(connection.socket, data, size);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Renegotiation is off, so a TLS write only ever waits for room.
      loop_.Modify(connection.socket, EPOLLOUT);
      return true;
    }
    if (n <= 0) {
      CloseConnection(connection.socket);
      return false;
    }
    connection.sent += static_cast<size_t>(n);
  }
  connection.output = std::string();
  connection.sent = 0;
  connection.state = State::kDraining;
  if (connection.tls != nullptr) connection.tls->Shutdown();
  ShutdownSend(connection.socket);
  loop_.Modify(connection.socket, EPOLLIN);
  return true;
}

void HttpEndpoint::CloseConnection(SocketHandle socket) {
  for (size_t i = 0; i < connections_.size(); ++i) {
    if (connections_[i].socket != socket) continue;
    loop_.Remove(socket);
    CloseSocket(connections_[i].socket);
    connections_.erase(connections_.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

void HttpEndpoint::Evict() {
  // In order of preference: one already answered (its client has what it
  // asked for and only has not closed yet), then the oldest whose head is
  // still incomplete (a scraper sends it at once, so this is a slow or
  // idle client), then the oldest still being written to (a reader that
  // stalled). connections_ is in the order of acceptance, so the first
  // found in a state is its oldest.
  for (const State state :
       {State::kDraining, State::kReading, State::kWriting, State::kAnswering}) {
    for (const Connection& connection : connections_) {
      if (connection.state != state) continue;
      ++stats_.evicted;
      CloseConnection(connection.socket);
      return;
    }
  }
}

void HttpEndpoint::Sweep() {
  const auto now = std::chrono::steady_clock::now();
  const auto oldest = now - std::chrono::seconds(kHttpConnectionSeconds);
  const auto oldest_head = now - std::chrono::seconds(kHttpHeadSeconds);
  for (size_t i = connections_.size(); i-- > 0;) {
    const Connection& connection = connections_[i];
    const bool head_late =
        connection.state == State::kReading && connection.accepted <= oldest_head;
    if (connection.accepted > oldest && !head_late) continue;
    if (connection.state != State::kDraining) ++stats_.timed_out;
    CloseConnection(connection.socket);
  }
  if (listener_paused_ && loop_.Modify(listener_, EPOLLIN)) listener_paused_ = false;
}

}  // namespace zt
