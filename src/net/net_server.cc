#include "net/net_server.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace zt {
namespace {

// The send-error line is cut to this many characters.
constexpr size_t kMaxSendErrorText = 255;
// The first byte of a TLS handshake record (a ClientHello).
constexpr char kTlsHandshakeRecord = 0x16;

std::string WithCode(const char* text, int code) {
  char line[160];
  std::snprintf(line, sizeof line, "%s - socket error(%d)", text, code);
  return line;
}

// Empties a session's output; a buffer a burst made large is given back.
void ReleaseOutput(ClientSession& session) {
  if (session.output.capacity() > kRetainedOutputCapacity) {
    std::string().swap(session.output);
  } else {
    session.output.clear();
  }
  session.output_sent = 0;
}

}  // namespace

const char* RefusalName(Refusal refusal) {
  switch (refusal) {
    case Refusal::kSessionLimit:
      return "session_limit";
    case Refusal::kDescriptors:
      return "descriptors";
    case Refusal::kNotAllowed:
      return "allow_from";
    case Refusal::kPerAddress:
      return "per_address";
  }
  return "unknown";
}

const char* ExpiryName(Expiry expiry) {
  switch (expiry) {
    case Expiry::kIdle:
      return "idle";
    case Expiry::kFrame:
      return "frame";
    case Expiry::kHandshake:
      return "handshake";
    case Expiry::kAdmission:
      return "authentication";
  }
  return "unknown";
}

NetServer::NetServer(EventLoop& loop, NetLogFunction log) : loop_(loop), log_(log) {
  loop_.SetTimerHandler([this] { RunProcessor(/*retry_due=*/true); });
}

NetServer::~NetServer() { CloseAll(); }

bool NetServer::Connect(const std::string& address, uint16_t port) {
  ListenStep step = ListenStep::kNone;
  SocketHandle listener = OpenListener(address, port, step);
  const int code = errno;
  switch (step) {
    case ListenStep::kNone:
      break;
    case ListenStep::kAddress:
      log_("Connect: Invalid listen address " + address);
      return false;
    case ListenStep::kSocket:
      log_(WithCode("Connect: Error creating the server socket", code));
      return false;
    case ListenStep::kBind:
      log_(WithCode("Connect: error binding the server socket", code));
      return false;
    case ListenStep::kListen:
      log_(WithCode("Connect: Error creating a server socket", code));
      return false;
  }
  host_address_ = HostAddressText();
  if (!loop_.Add(listener, EPOLLIN, [this, listener](uint32_t) { OnListenerEvent(listener, false); })) {
    const int add_code = errno;
    CloseSocket(listener);
    log_(WithCode("Connect: Error creating an asynchronous server socket", add_code));
    return false;
  }
  listener_ = listener;
  port_ = LocalPort(listener_);
  reserve_ = ReserveDescriptor(listener_);
  const size_t limit = DescriptorLimit();
  max_sessions_ = limit > 2 * kSpareDescriptors
                      ? std::min(limits_.max_connections, limit - kSpareDescriptors)
                      : std::min(limits_.max_connections, kSpareDescriptors);
  if (limits_.idle_timeout_seconds > 0 || limits_.frame_timeout_seconds > 0 ||
      limits_.admission_timeout_seconds > 0) {
    housekeeping_ = loop_.AddInterval(kHousekeepingIntervalMs, [this] { CloseExpiredSessions(); });
    if (housekeeping_ < 0) log_(WithCode("Connect: cannot start the idle timer", errno));
  }
  char line[128];
  std::snprintf(line, sizeof line, "Started on IP %s and Port# %ld", host_address_.c_str(),
                static_cast<long>(port_));
  log_(line);
  return true;
}

bool NetServer::ConnectTls(const std::string& address, uint16_t port,
                           std::shared_ptr<const TlsContext> context) {
  ListenStep step = ListenStep::kNone;
  SocketHandle listener = OpenListener(address, port, step);
  if (step != ListenStep::kNone) {
    log_(WithCode(("TLS: cannot listen on " + address + ":" + std::to_string(port)).c_str(), errno));
    return false;
  }
  if (!loop_.Add(listener, EPOLLIN, [this, listener](uint32_t) { OnListenerEvent(listener, true); })) {
    const int add_code = errno;
    CloseSocket(listener);
    log_(WithCode("TLS: cannot watch the listener", add_code));
    return false;
  }
  tls_listener_ = listener;
  tls_port_ = LocalPort(listener);
  tls_context_ = std::move(context);
  if (housekeeping_ < 0 && limits_.frame_timeout_seconds > 0) {
    housekeeping_ = loop_.AddInterval(kHousekeepingIntervalMs, [this] { CloseExpiredSessions(); });
  }
  log_("TLS: listening on " + address + ":" + std::to_string(tls_port_));
  return true;
}

void NetServer::OnListenerEvent(SocketHandle listener, bool tls) {
  // Take every waiting connection; the listener is level-triggered, so any
  // left behind come back with the next wait.
  for (;;) {
    std::string peer;
    SocketHandle client = AcceptClient(listener, peer);
    if (client == kNoSocket) {
      if ((errno == EMFILE || errno == ENFILE) && reserve_ != kNoSocket) {
        // Out of descriptors: the waiting connection would wake the loop
        // forever. Free the spare, take the connection and close it.
        CloseSocket(reserve_);
        SocketHandle refused = AcceptClient(listener, peer);
        if (refused != kNoSocket) {
          Refuse(refused, Refusal::kDescriptors,
                 "Accept: connection refused, the server is out of descriptors");
        }
        reserve_ = ReserveDescriptor(listener_);
      }
      return;
    }
    if (!limits_.allow_from.Allows(peer)) {
      Refuse(client, Refusal::kNotAllowed, "Accept: connection refused, peer not in AllowFrom");
      continue;
    }
    if (sessions_.size() >= max_sessions_) {
      Refuse(client, Refusal::kSessionLimit,
             "Accept: connection refused, MaxConnections reached (or the descriptor limit)");
      continue;
    }
    if (const auto held = per_address_.find(peer);
        held != per_address_.end() && held->second >= limits_.max_connections_per_address) {
      Refuse(client, Refusal::kPerAddress,
             "Accept: connection refused, MaxConnectionsPerAddress reached for " + peer);
      continue;
    }
    if (!loop_.Add(client, EPOLLIN,
                   [this, client](uint32_t events) { OnClientEvent(client, events); })) {
      CloseSocket(client);
      continue;
    }
    ++stats_.accepted;
    if (!peer.empty()) ++per_address_[peer];
    sessions_.emplace_back(client, std::move(peer));
    ClientSession& session = sessions_.back();
    session.interest = EPOLLIN;
    session.last_answer_ms = NowMs();
    session.accepted_ms = session.last_answer_ms;
    session.identity.admitted = limits_.admission_timeout_seconds == 0;
    if (tls) {
      // The greeting waits for the handshake, which the client begins.
      session.identity.tls = true;
      session.tls = std::make_unique<TlsStream>(*tls_context_, client);
      continue;
    }
    session.output.assign(kGreeting, kGreetingLength);
    FlushOutput(session, /*log_failure=*/true);
  }
}

bool NetServer::DriveHandshake(SocketHandle socket) {
  const int at = FindSession(sessions_, socket);
  if (at < 0) return false;
  ClientSession& session = sessions_[static_cast<size_t>(at)];
  switch (session.tls->Handshake()) {
    case TlsStream::Step::kDone:
      ++stats_.tls_handshakes;
      session.identity.certificate_name = session.tls->PeerCommonName();
      session.output.assign(kGreeting, kGreetingLength);
      FlushOutput(session, /*log_failure=*/true);
      return true;
    case TlsStream::Step::kWantRead:
    case TlsStream::Step::kWantWrite:
      UpdateInterest(session);
      return true;
    case TlsStream::Step::kFailed:
      break;
  }
  ++stats_.tls_handshake_failures;
  // What the client sent past the point of failure is read and dropped,
  // so that the close is an orderly one (unread data would make it a reset).
  (void)ReceiveFromClient(socket, read_buffer_.data(), read_buffer_.size());
  log_("TLS: handshake with " + (session.peer_address.empty() ? "a client" : session.peer_address) +
       " failed, connection closed: " + session.tls->error());
  CloseSession(socket);
  return false;
}

ssize_t NetServer::Receive(ClientSession& session, char* buffer, size_t n) {
  return session.tls ? session.tls->Read(buffer, n) : ReceiveFromClient(session.socket, buffer, n);
}

ssize_t NetServer::Send(ClientSession& session, const char* data, size_t n) {
  return session.tls ? session.tls->Write(data, n) : SendSome(session.socket, data, n);
}

void NetServer::Refuse(SocketHandle& client, Refusal refusal, std::string_view log_line) {
  stats_.Refused(refusal);
  log_(log_line);
  CloseSocket(client);
}

void NetServer::OnClientEvent(SocketHandle socket, uint32_t events) {
  const int at = FindSession(sessions_, socket);
  if (at < 0) return;
  if (sessions_[static_cast<size_t>(at)].tls != nullptr &&
      !sessions_[static_cast<size_t>(at)].tls->established()) {
    // Errors and hang-ups surface as a failed step.
    DriveHandshake(socket);
    return;
  }
  if ((events & EPOLLOUT) && sessions_[static_cast<size_t>(at)].tls != nullptr &&
      sessions_[static_cast<size_t>(at)].tls->wants_write() &&
      sessions_[static_cast<size_t>(at)].pending_output() == 0) {
    // A read stopped on a full socket (a TLS key update, say): read again.
    ReadFrom(socket);
    return;
  }
  if (events & EPOLLOUT) {
    ClientSession& session = sessions_[static_cast<size_t>(at)];
    FlushOutput(session, /*log_failure=*/false);
    if (Finished(session)) {
      CloseSession(socket);  // the last reply is out: finish the close
      return;
    }
    // Its queue waited for the output to drain (see RunProcessor): go on.
    if (HasRunnableRequests(session)) RequestFollowUp();
  }
  if ((events & EPOLLIN) && !sessions_[static_cast<size_t>(at)].draining) {
    ReadFrom(socket);  // closes the session itself when the connection ended
    return;
  }
  if (events & (EPOLLERR | EPOLLHUP)) {
    // Reset, abort or hang-up with nothing left to read (or reads paused):
    // the connection is over either way.
    CloseSession(socket);
    return;
  }
  UpdateInterest(sessions_[static_cast<size_t>(at)]);
}

bool NetServer::ReadFrom(SocketHandle socket) {
  ssize_t got = -1;
  if (const int at = FindSession(sessions_, socket); at >= 0) {
    ClientSession& session = sessions_[static_cast<size_t>(at)];
    got = Receive(session, read_buffer_.data(), read_buffer_.size());
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      UpdateInterest(session);  // a TLS read may want writability
      return true;
    }
    if (got < 0 && session.tls != nullptr) {
      log_("TLS: connection with " + session.peer_address + " failed: " + session.tls->error());
    }
    // A TLS client on the plain port sends a handshake record first (byte
    // 0x16); left alone it would wait for a reply that never comes.
    if (got > 0 && session.tls == nullptr && !session.received_any &&
        read_buffer_[0] == kTlsHandshakeRecord) {
      ++stats_.tls_on_plain_port;
      log_("Connection closed: a TLS handshake on the plain port from " + session.peer_address);
      CloseSession(socket);
      return false;
    }
    if (got > 0) session.received_any = true;
  }
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
  if (got == 0) {
    // The peer will send nothing more. Requests already received are still
    // answered and replies the socket has not taken yet are still delivered
    // (a client may half-close and then read); the session closes once both
    // are done.
    const int at = FindSession(sessions_, socket);
    if (at >= 0) {
      ClientSession& session = sessions_[static_cast<size_t>(at)];
      if (!session.send_failed && (session.pending_output() > 0 || !session.requests.empty())) {
        session.draining = true;
        UpdateInterest(session);
        return false;
      }
    }
  }
  if (got <= 0) {
    // The peer closed. An error (reset, abort) ends the connection just the
    // same; leaving it would keep its recordsets open until shutdown.
    CloseSession(socket);
    return false;
  }
  const int at = FindSession(sessions_, socket);
  if (at < 0) {
    RequestFollowUp();
    return true;
  }
  stats_.bytes_received += static_cast<uint64_t>(got);
  ClientSession& session = sessions_[static_cast<size_t>(at)];
  session.receive.Append(std::string_view(read_buffer_.data(), static_cast<size_t>(got)));
  std::string message;
  const int64_t now = NowMs();
  for (;;) {
    const FrameParser::Result result = session.receive.ExtractMessage(message);
    if (result == FrameParser::Result::kNeedMore) break;
    if (result == FrameParser::Result::kRefused) {
      log_("ExtractMessage: Message longer than 4091 characters discarded");
      continue;
    }
    session.QueueRequest(message);
    session.frame_started_ms = 0;
  }
  // The deadline runs from the read that opened the frame, not the latest.
  if (!session.receive.mid_message()) {
    session.frame_started_ms = 0;
  } else if (session.frame_started_ms == 0) {
    session.frame_started_ms = now;
  }
  // The run comes after every read of this pass of the loop has queued its
  // requests: one run answers them all, and their changes share one log
  // sync.
  RequestFollowUp();
  return true;
}

void NetServer::CloseExpiredSessions() {
  const int64_t now = NowMs();
  const int64_t idle_ms = int64_t{limits_.idle_timeout_seconds} * 1000;
  const int64_t frame_ms = int64_t{limits_.frame_timeout_seconds} * 1000;
  // Collected first: closing moves the sessions behind.
  std::vector<std::pair<SocketHandle, Expiry>> expired;
  const int64_t admission_ms = int64_t{limits_.admission_timeout_seconds} * 1000;
  for (const ClientSession& session : sessions_) {
    if (session.draining) continue;  // closes itself once its replies are out
    if (frame_ms > 0 && session.tls != nullptr && !session.tls->established() &&
        now - session.accepted_ms >= frame_ms) {
      expired.emplace_back(session.socket, Expiry::kHandshake);
    } else if (admission_ms > 0 && !session.identity.admitted &&
               now - session.accepted_ms >= admission_ms) {
      expired.emplace_back(session.socket, Expiry::kAdmission);
    } else if (frame_ms > 0 && session.frame_started_ms != 0 && now - session.frame_started_ms >= frame_ms) {
      expired.emplace_back(session.socket, Expiry::kFrame);
    } else if (idle_ms > 0 && session.requests.empty() && now - session.last_answer_ms >= idle_ms) {
      expired.emplace_back(session.socket, Expiry::kIdle);
    }
  }
  for (const auto& [socket, expiry] : expired) {
    stats_.Expired(expiry);
    switch (expiry) {
      case Expiry::kIdle:
        log_("Connection closed: no reply within IdleTimeout");
        break;
      case Expiry::kFrame:
        log_("Connection closed: a message not completed within FrameTimeout");
        break;
      case Expiry::kHandshake:
        log_("Connection closed: the TLS handshake did not finish within FrameTimeout");
        break;
      case Expiry::kAdmission:
        log_("Connection closed: no authentication within AuthenticationTimeout");
        break;
    }
    CloseSession(socket);
  }
}

void NetServer::RunProcessor(bool retry_due) {
  ++stats_.processing_runs;
  if (processor_ != nullptr) processor_->ProcessRequests(retry_due);
  std::vector<SocketHandle> finished;
  bool more = processor_ != nullptr && processor_->HasOwnWork();
  for (ClientSession& session : sessions_) {
    // Output while writability is asked for waits for it: the socket was
    // full when last tried, and the new replies queue behind the old.
    if (session.pending_output() > 0 && !(session.interest & EPOLLOUT)) {
      FlushOutput(session, /*log_failure=*/true);
    } else {
      UpdateInterest(session);
    }
    more = more || HasRunnableRequests(session);
    if (Finished(session)) finished.push_back(session.socket);
  }
  // Requests left for want of time in the run (or for output that drained
  // meanwhile) get another run once the events that came in are served; so
  // do the waiters on what a finished session held (CloseSession asks).
  follow_up_wanted_ = more;
  for (const SocketHandle socket : finished) CloseSession(socket);
  if (follow_up_wanted_) RequestFollowUp();
}

void NetServer::RequestFollowUp() {
  follow_up_wanted_ = true;
  if (follow_up_posted_) return;
  follow_up_posted_ = true;
  // One step at a time, kept while runs leave work: a step never posts
  // another from inside itself.
  loop_.Post([this] {
    RunProcessor(/*retry_due=*/false);
    if (follow_up_wanted_) return true;
    follow_up_posted_ = false;
    return false;
  });
}

bool NetServer::HasRunnableRequests(const ClientSession& session) {
  return !session.requests.empty() && session.deferral_counter == 0 &&
         session.pending_output() < kMaxPendingOutput && !session.send_failed;
}

bool NetServer::Finished(const ClientSession& session) {
  return session.draining &&
         ((session.pending_output() == 0 && session.requests.empty()) || session.send_failed);
}

bool NetServer::SendToClient(ClientSession& session, std::string_view text) {
  if (session.send_failed) return false;
  // What the socket took is cut off the front once it is half the buffer,
  // so the copying stays linear in the bytes sent.
  if (session.output_sent > 0 && session.output_sent * 2 >= session.output.size()) {
    session.output.erase(0, session.output_sent);
    session.output_sent = 0;
  }
  AppendFrame(session.output, text);
  // A reply is the sign of a live client that IdleTimeout looks for;
  // requests dropped unanswered (an unknown name) never give one.
  session.last_answer_ms = NowMs();
  return true;
}

void NetServer::SendQueuedReplies() {
  for (ClientSession& session : sessions_) {
    if (session.pending_output() > 0 && !(session.interest & EPOLLOUT)) {
      FlushOutput(session, /*log_failure=*/true);
    }
  }
}

void NetServer::FlushOutput(ClientSession& session, bool log_failure) {
  while (session.pending_output() > 0) {
    const size_t pending = session.pending_output();
    const char* data = session.output.data() + session.output_sent;
    const ssize_t n = Send(session, data, pending);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      if (log_failure) {
        char head[64];
        std::snprintf(head, sizeof head, "Error sending data to client: (%ld)-",
                      static_cast<long>(errno));
        std::string line = head;
        const size_t room = kMaxSendErrorText > line.size() ? kMaxSendErrorText - line.size() : 0;
        line.append(data, std::min(pending, room));
        log_(line);
      }
      // Later replies to this connection are dropped without a log line
      // each; the hang-up that follows removes the session.
      session.send_failed = true;
      ReleaseOutput(session);
      break;
    }
    session.output_sent += static_cast<size_t>(n);
    stats_.bytes_sent += static_cast<uint64_t>(n);
    // A short send means the socket is full: writability says when to go on.
    if (static_cast<size_t>(n) < pending) break;
  }
  if (session.pending_output() == 0) ReleaseOutput(session);
  UpdateInterest(session);
}

void NetServer::UpdateInterest(ClientSession& session) {
  uint32_t wanted = 0;
  if (session.tls != nullptr && !session.tls->established()) {
    wanted = EPOLLIN | (session.tls->wants_write() ? EPOLLOUT : 0u);
  } else if (!session.draining && session.pending_output() < kMaxPendingOutput &&
      session.requests.bytes() < kMaxQueuedRequestBytes) {
    wanted |= EPOLLIN;
  }
  if (session.pending_output() > 0 || (session.tls != nullptr && session.tls->wants_write())) {
    wanted |= EPOLLOUT;
  }
  if (wanted == session.interest) return;
  if (loop_.Modify(session.socket, wanted)) session.interest = wanted;
}

void NetServer::ReleaseState(ClientSession& session) {
  if (session.state == nullptr) return;
  if (processor_ != nullptr) processor_->SessionClosed(session);
  session.state.reset();
  // What the client held (row locks) may let others' waiting requests
  // through: a run tries them without waiting for the retry timer.
  RequestFollowUp();
}

void NetServer::CloseSession(SocketHandle socket) {
  const int at = FindSession(sessions_, socket);
  if (at < 0) return;
  ClientSession& session = sessions_[static_cast<size_t>(at)];
  ReleaseState(session);
  if (const auto it = per_address_.find(session.peer_address); it != per_address_.end()) {
    if (--it->second == 0) per_address_.erase(it);
  }
  loop_.Remove(socket);
  CloseSocket(sessions_[static_cast<size_t>(at)].socket);
  sessions_.erase(sessions_.begin() + at);
}

void NetServer::CloseAll() {
  for (ClientSession& session : sessions_) {
    loop_.Remove(session.socket);
    CloseSocket(session.socket);
  }
  sessions_.clear();
  per_address_.clear();
  for (SocketHandle* listener : {&listener_, &tls_listener_}) {
    if (*listener != kNoSocket) {
      loop_.Remove(*listener);
      CloseSocket(*listener);
    }
  }
  CloseSocket(reserve_);
  if (housekeeping_ >= 0) {
    loop_.RemoveInterval(housekeeping_);
    housekeeping_ = -1;
  }
}

}  // namespace zt
