// The client library (include/ztserver/client.h): a blocking socket with
// deadlines, the frame reader, and the typed helpers.
//
// Replies are cut out of the byte stream the way the server cuts requests:
// bytes outside STX ... ETX are dropped, and the last STX before an ETX
// opens the frame.
#include "ztserver/client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <unordered_map>

namespace ztserver {
namespace {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;
constexpr char kSeparator = '~';
constexpr std::string_view kGreeting =
    "\x02"
    "CONNECTIONSTATUS"
    "\x03"
    "~SUCCEEDED";
constexpr std::string_view kFailed = "FAILED";
// RECORDSETFETCHROWS value framing (docs/protocol.md): DLE, then the byte
// XOR 0x40.
constexpr char kEscape = 0x10;
constexpr char kEscapeFlip = 0x40;

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// The command name of a request: its first field, trimmed of blanks.
std::string_view CommandName(std::string_view request) {
  const size_t start = request.find_first_not_of(" ~");
  if (start == std::string_view::npos) return {};
  request.remove_prefix(start);
  request = request.substr(0, request.find(kSeparator));
  const size_t end = request.find_last_not_of(' ');
  return request.substr(0, end + 1);
}

std::vector<std::string> SplitReply(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(kSeparator, start);
    fields.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return fields;
    start = end + 1;
  }
}

constexpr ErrorText kDb = ErrorText::kDatabase;
constexpr ErrorText kRs = ErrorText::kRecordset;
constexpr ErrorText kNo = ErrorText::kNone;

// Where each command's failure leaves its reason: the commands that work on
// the database as a whole, and the floor and ceiling opens (which resolve
// their key before the recordset is touched), use the connection's text;
// the other recordset commands the recordset's own.
const std::vector<CommandInfo> kCommands = {
    {"STARTTRANSACTION", false, kNo, false},
    {"COMMITTRANSACTION", false, kNo, false},
    {"ROLLBACKTRANSACTION", false, kNo, false},
    {"GETLASTERRORTEXT", false, kNo, false},
    {"CREATERECORDSET", false, kDb, false},
    {"RECORDSETCLOSE", true, kDb, false},
    {"RECORDSETISCONNECTED", true, kNo, false},
    {"RECORDSETGETLASTERROR", true, kNo, false},
    {"GETLOCATIONINFORMATION", false, kDb, false},
    {"SETLOCATIONINFORMATION", false, kDb, false},
    {"REBUILDDATABASE", false, kDb, false},
    {"GETTABLENAMES", false, kDb, true},
    {"AUTHENTICATE", false, kDb, true},
    {"RECORDSETOPEN", true, kRs, false},
    {"RECORDSETOPENFLOOR", true, kDb, false},
    {"RECORDSETOPENCEILING", true, kDb, false},
    {"RECORDSETADDFILTERCOLUMN", true, kRs, false},
    {"RECORDSETCLEARFILTERS", true, kNo, false},
    {"RECORDSETFILTERON", true, kRs, false},
    {"RECORDSETMOVEFIRST", true, kRs, false},
    {"RECORDSETMOVENEXT", true, kRs, false},
    {"RECORDSETMOVEPREV", true, kRs, false},
    {"RECORDSETMOVELAST", true, kRs, false},
    {"RECORDSETFETCHROWS", true, kRs, true},
    {"RECORDSETCANBOOKMARK", true, kRs, false},
    {"RECORDSETSETBOOKMARK", true, kRs, false},
    {"RECORDSETGETBOOKMARK", true, kRs, false},
    {"RECORDSETGETLASTUPDATEDBOOKMARK", true, kRs, false},
    {"RECORDSETGETROWCOUNT", true, kRs, false},
    {"RECORDSETGETSELECTEDROWCOUNT", true, kRs, false},
    {"RECORDSETGETFILTEREDCOUNT", true, kRs, false},
    {"RECORDSETISCURRENTROWLOCKED", true, kRs, false},
    {"RECORDSETLOCKCURRENTROW", true, kRs, false},
    {"RECORDSETUNLOCKCURRENTROW", true, kRs, false},
    {"RECORDSETLOCKALL", true, kRs, false},
    {"RECORDSETUNLOCKALL", true, kNo, false},
    {"RECORDSETADDROW", true, kRs, false},
    {"RECORDSETSETFIELDVALUE", true, kRs, false},
    {"RECORDSETGETFIELDVALUE", true, kRs, false},
    {"RECORDSETUPDATE", true, kRs, false},
    {"RECORDSETDELETECURRENTROW", true, kRs, false},
    {"RECORDSETDELETEALL", true, kRs, false},
    {"RECORDSETSORT", true, kRs, false},
    {"RECORDSETFINDROW", true, kRs, false},
    {"RECORDSETGETFIELDCOUNT", true, kRs, false},
    {"RECORDSETGETFIELDNAME", true, kRs, false},
    {"RECORDSETGETFIELDINFO", true, kRs, false},
    {"RECORDSETGETFIELDSIZE", true, kRs, false},
    {"RECORDSETISFIELDNULLABLE", true, kRs, false},
    {"RECORDSETISFIELDKEYCOLUMN", true, kRs, false},
    {"RECORDSETISFIELDBLOB", true, kRs, false},
    {"RECORDSETSELECTROW", true, kRs, false},
    {"RECORDSETDESELECTROW", true, kRs, false},
    {"RECORDSETSELECTALL", true, kRs, false},
    {"RECORDSETDESELECTALL", true, kRs, false},
    {"RECORDSETSELECTROWSRANGE", true, kRs, false},
    {"RECORDSETDESELECTROWSRANGE", true, kRs, false},
    {"RECORDSETISROWSELECTED", true, kRs, false},
    {"RECORDSETMOVETOFIRSTSELECTEDROW", true, kRs, false},
    {"RECORDSETMOVETONEXTSELECTEDROW", true, kRs, false},
    {"RECORDSETMOVETOPREVSELECTEDROW", true, kRs, false},
    {"RECORDSETMOVETOLASTSELECTEDROW", true, kRs, false},
};

// A request text under construction; the first argument that cannot be
// sent makes the whole request fail.
class Request {
 public:
  explicit Request(std::string_view command) : text_(command) {}
  Request& Arg(int32_t number) { return Arg(std::to_string(number)); }
  Request& Arg(std::string_view value) {
    if (!IsSendable(value) && bad_.empty()) bad_ = value;
    text_ += kSeparator;
    text_.append(value);
    return *this;
  }
  // An argument that may be left out: an empty one is not sent.
  Request& Optional(std::string_view value) { return value.empty() ? *this : Arg(value); }
  bool ok() const { return bad_.empty(); }
  const std::string& text() const { return text_; }
  Status Refusal() const {
    return Status(ErrorCode::kInvalidArgument,
                  "cannot send the value '" + bad_ +
                      "': a value must not be blank or hold '~', STX, ETX or NUL");
  }

 private:
  std::string text_;
  std::string bad_;
};

}  // namespace

const char* ErrorCodeName(ErrorCode code) {
  switch (code) {
    case ErrorCode::kOk: return "ok";
    case ErrorCode::kFailed: return "failed";
    case ErrorCode::kConnect: return "cannot connect";
    case ErrorCode::kGreeting: return "bad greeting";
    case ErrorCode::kTimeout: return "timeout";
    case ErrorCode::kClosed: return "connection closed";
    case ErrorCode::kNotConnected: return "not connected";
    case ErrorCode::kUnknownCommand: return "unknown command";
    case ErrorCode::kInvalidArgument: return "invalid argument";
    case ErrorCode::kBadReply: return "unexpected reply";
  }
  return "?";
}

void AbortOnFailedResult(const Status& status) {
  std::fprintf(stderr, "ztserver: the value of a failed Result was read (%s: %s)\n",
               ErrorCodeName(status.code()), status.message().c_str());
  std::abort();
}

Reply ParseReply(std::string text) {
  Reply reply;
  reply.text = std::move(text);
  reply.fields = SplitReply(reply.text);
  const bool failed = reply.fields.size() == 2 && reply.fields[1] == kFailed;
  reply.code = failed ? ErrorCode::kFailed : ErrorCode::kOk;
  return reply;
}

Result<RowBatch> ParseFetchReply(const Reply& reply) {
  // NAME~h~rows~columns~end~values...
  auto number = [](const std::string& text, long& out) {
    char* end = nullptr;
    out = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && out >= 0;
  };
  long rows = 0;
  long columns = 0;
  if (!reply.ok() || reply.fields.size() < 5 || !number(reply.fields[2], rows) ||
      !number(reply.fields[3], columns) ||
      reply.fields.size() != 5 + static_cast<size_t>(rows) * static_cast<size_t>(columns) ||
      (reply.fields[4] != "0" && reply.fields[4] != "1")) {
    return Status(ErrorCode::kBadReply, "not a RECORDSETFETCHROWS reply: " + reply.text.substr(0, 80));
  }
  RowBatch batch;
  batch.columns = static_cast<size_t>(columns);
  batch.end = reply.fields[4] == "1";
  batch.rows.resize(static_cast<size_t>(rows));
  size_t at = 5;
  for (std::vector<std::string>& row : batch.rows) {
    row.reserve(batch.columns);
    for (size_t c = 0; c < batch.columns; ++c) {
      const std::string& field = reply.fields[at++];
      if (field.find(kEscape) == std::string::npos) {
        row.push_back(field);
        continue;
      }
      std::string value;
      for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != kEscape) {
          value += field[i];
        } else if (i + 1 < field.size()) {
          value += static_cast<char>(field[++i] ^ kEscapeFlip);
        } else {
          return Status(ErrorCode::kBadReply, "RECORDSETFETCHROWS: a value ends in its escape");
        }
      }
      row.push_back(std::move(value));
    }
  }
  return batch;
}

const std::string& Reply::field(size_t i) const {
  static const std::string kEmpty;
  return i < fields.size() ? fields[i] : kEmpty;
}

const std::vector<CommandInfo>& Commands() { return kCommands; }

const CommandInfo* FindCommand(std::string_view name) {
  static const std::unordered_map<std::string, const CommandInfo*> by_name = [] {
    std::unordered_map<std::string, const CommandInfo*> map;
    for (const CommandInfo& info : kCommands) map.emplace(info.name, &info);
    return map;
  }();
  if (name.empty() || name.size() > 64) return nullptr;
  const auto it = by_name.find(Upper(name));
  return it == by_name.end() ? nullptr : it->second;
}

bool IsSendable(std::string_view value) {
  if (value.find_first_not_of(' ') == std::string_view::npos) return false;
  for (const char c : value) {
    if (c == kSeparator || c == kStx || c == kEtx || c == '\0') return false;
  }
  return true;
}

// ---- TLS ------------------------------------------------------------------------

struct Connection::TlsState {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  ~TlsState() {
    SSL_free(ssl);
    SSL_CTX_free(ctx);
  }
};

void Connection::TlsDeleter::operator()(TlsState* state) const { delete state; }

namespace {

std::string TlsReason() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text.empty() ? "the connection failed" : text;
}

}  // namespace

bool Connection::TlsPending() const { return tls_ != nullptr && SSL_pending(tls_->ssl) > 0; }

Status Connection::StartTls() {
  std::unique_ptr<TlsState, TlsDeleter> state(new TlsState);
  ERR_clear_error();
  state->ctx = SSL_CTX_new(TLS_client_method());
  if (state->ctx == nullptr) return Broken(ErrorCode::kConnect, "TLS: " + TlsReason());
  SSL_CTX_set_min_proto_version(state->ctx, TLS1_2_VERSION);
  SSL_CTX_set_mode(state->ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  const bool loaded = options_.ca_file.empty()
                          ? SSL_CTX_set_default_verify_paths(state->ctx) == 1
                          : SSL_CTX_load_verify_locations(state->ctx, options_.ca_file.c_str(),
                                                          nullptr) == 1;
  if (!loaded) return Broken(ErrorCode::kConnect, "TLS: CA file " + options_.ca_file + ": " + TlsReason());
  if (!options_.certificate_file.empty() &&
      (SSL_CTX_use_certificate_chain_file(state->ctx, options_.certificate_file.c_str()) != 1 ||
       SSL_CTX_use_PrivateKey_file(state->ctx, options_.key_file.c_str(), SSL_FILETYPE_PEM) != 1)) {
    return Broken(ErrorCode::kConnect, "TLS: client certificate: " + TlsReason());
  }
  SSL_CTX_set_verify(state->ctx, options_.verify_server ? SSL_VERIFY_PEER : SSL_VERIFY_NONE,
                     nullptr);
  state->ssl = SSL_new(state->ctx);
  if (state->ssl == nullptr || SSL_set_fd(state->ssl, fd_) != 1) {
    return Broken(ErrorCode::kConnect, "TLS: " + TlsReason());
  }
  const std::string& name = options_.server_name.empty() ? options_.host : options_.server_name;
  SSL_set_tlsext_host_name(state->ssl, name.c_str());
  if (options_.verify_server) {
    // An address is checked against the certificate's IP entries, a name
    // against its DNS entries.
    in_addr ignored;
    if (::inet_pton(AF_INET, name.c_str(), &ignored) == 1) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(state->ssl), name.c_str());
    } else {
      SSL_set1_host(state->ssl, name.c_str());
    }
  }
  const auto deadline = Clock::now() + std::chrono::milliseconds(options_.connect_timeout_ms);
  for (;;) {
    ERR_clear_error();
    const int result = SSL_connect(state->ssl);
    if (result == 1) break;
    const int code = SSL_get_error(state->ssl, result);
    if (code != SSL_ERROR_WANT_READ && code != SSL_ERROR_WANT_WRITE) {
      std::string why = TlsReason();
      const long verified = SSL_get_verify_result(state->ssl);
      if (verified != X509_V_OK) why = X509_verify_cert_error_string(verified);
      return Broken(ErrorCode::kConnect, "TLS handshake with " + name + " failed: " + why);
    }
    pollfd waiting{fd_, static_cast<short>(code == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
    if (::poll(&waiting, 1, RemainingMs(deadline)) <= 0) {
      return Broken(ErrorCode::kConnect, "TLS handshake with " + name + " timed out");
    }
  }
  tls_ = std::move(state);
  return Status();
}

long Connection::RawSend(const char* data, size_t n, bool* want_write) {
  *want_write = true;
  if (tls_ == nullptr) return ::send(fd_, data, n, MSG_NOSIGNAL);
  ERR_clear_error();
  size_t put = 0;
  if (SSL_write_ex(tls_->ssl, data, n, &put) == 1) return static_cast<long>(put);
  const int code = SSL_get_error(tls_->ssl, 0);
  if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
    *want_write = code == SSL_ERROR_WANT_WRITE;
    errno = EAGAIN;
  } else {
    errno = EPIPE;
  }
  return -1;
}

long Connection::RawReceive(char* buffer, size_t n, bool* want_write) {
  *want_write = false;
  if (tls_ == nullptr) return ::recv(fd_, buffer, n, 0);
  ERR_clear_error();
  size_t got = 0;
  if (SSL_read_ex(tls_->ssl, buffer, n, &got) == 1) return static_cast<long>(got);
  const int code = SSL_get_error(tls_->ssl, 0);
  if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) {
    *want_write = code == SSL_ERROR_WANT_WRITE;
    errno = EAGAIN;
    return -1;
  }
  if (code == SSL_ERROR_ZERO_RETURN) return 0;
  if (code == SSL_ERROR_SYSCALL && errno == 0) return 0;
  errno = ECONNRESET;
  return -1;
}

Status Connection::Authenticate(std::string_view user, std::string_view password) {
  if (!IsSendable(user) || !IsSendable(password)) {
    return Status(ErrorCode::kInvalidArgument, "a user or password that cannot be sent");
  }
  const Reply reply = Call("AUTHENTICATE~" + std::string(user) + "~" + std::string(password));
  if (reply.ok()) return Status();
  if (!reply.failed()) return Status(reply.code, reply.error);
  const Result<std::string> why = GetLastErrorText();
  return Status(ErrorCode::kFailed, why.ok() && !why->empty() ? *why : "authentication refused");
}

// ---- The connection -----------------------------------------------------------

Connection::Connection(Connection&& other) noexcept
    : tls_(std::move(other.tls_)),
      fd_(std::exchange(other.fd_, -1)),
      options_(std::move(other.options_)),
      buffer_(std::move(other.buffer_)),
      read_(std::exchange(other.read_, 0)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    Close();
    tls_ = std::move(other.tls_);
    fd_ = std::exchange(other.fd_, -1);
    options_ = std::move(other.options_);
    buffer_ = std::move(other.buffer_);
    read_ = std::exchange(other.read_, 0);
  }
  return *this;
}

Connection::~Connection() { Close(); }

void Connection::Close() {
  tls_.reset();
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  buffer_.clear();
  read_ = 0;
}

Status Connection::Broken(ErrorCode code, std::string message) {
  Close();
  return Status(code, std::move(message));
}

void Connection::ShutdownWrite() {
  if (fd_ >= 0) ::shutdown(fd_, SHUT_WR);
}

void Connection::Abort() {
  if (fd_ >= 0) {
    const linger hard{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
  }
  Close();
}

Status Connection::Connect(const Options& options) {
  Close();
  options_ = options;
  const std::string where = options.host + ":" + std::to_string(options.port);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(options.port);
  const int status = ::getaddrinfo(options.host.c_str(), service.c_str(), &hints, &found);
  if (status != 0 || found == nullptr) {
    return Status(ErrorCode::kConnect,
                  "cannot resolve " + options.host + ": " + ::gai_strerror(status));
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ::freeaddrinfo(found);
    return Status(ErrorCode::kConnect, std::string("socket: ") + std::strerror(errno));
  }
  int result = ::connect(fd, found->ai_addr, found->ai_addrlen);
  ::freeaddrinfo(found);
  if (result != 0 && errno == EINPROGRESS) {
    pollfd waiting{fd, POLLOUT, 0};
    do {
      result = ::poll(&waiting, 1, options.connect_timeout_ms);
    } while (result < 0 && errno == EINTR);
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
    const std::string why = std::strerror(errno);
    ::close(fd);
    return Status(ErrorCode::kConnect, "cannot connect to " + where + ": " + why);
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  fd_ = fd;
  return options.tls ? StartTls() : Status();
}

Status Connection::ReadGreeting() {
  Result<std::string> greeting = ReadExactly(kGreeting.size(), options_.connect_timeout_ms);
  if (!greeting.ok()) {
    return Broken(ErrorCode::kGreeting, "no greeting from the server (" +
                                            std::string(ErrorCodeName(greeting.status().code())) +
                                            ")");
  }
  if (*greeting != kGreeting) {
    return Broken(ErrorCode::kGreeting, "unexpected greeting: not a ZTServer");
  }
  return Status();
}

Status Connection::Open(const Options& options) {
  Status status = Connect(options);
  if (status.ok()) status = ReadGreeting();
  if (status.ok() && !options.user.empty()) {
    status = Authenticate(options.user, options.password);
    if (!status.ok()) Close();
  }
  return status;
}

Status Connection::SendRaw(std::string_view bytes, int timeout_ms) {
  if (fd_ < 0) return Status(ErrorCode::kNotConnected, "not connected");
  const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutOr(timeout_ms));
  while (!bytes.empty()) {
    bool want_write = true;
    const long sent = RawSend(bytes.data(), bytes.size(), &want_write);
    if (sent > 0) {
      bytes.remove_prefix(static_cast<size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd waiting{fd_, static_cast<short>(want_write ? POLLOUT : POLLIN), 0};
      if (::poll(&waiting, 1, RemainingMs(deadline)) <= 0) {
        return Status(ErrorCode::kTimeout, "the server takes no more requests");
      }
      continue;
    }
    return Broken(ErrorCode::kClosed, "the server closed the connection");
  }
  return Status();
}

Status Connection::SendFrame(std::string_view text) {
  std::string frame;
  frame.reserve(text.size() + 2);
  frame += kStx;
  frame += text;
  frame += kEtx;
  return SendRaw(frame);
}

Status Connection::Send(std::string_view request) {
  const std::string_view name = CommandName(request);
  if (FindCommand(name) == nullptr) {
    return Status(ErrorCode::kUnknownCommand,
                  "unknown command '" + std::string(name) + "' (the server would never answer)");
  }
  Status sent = SendFrame(request);
  if (!sent.ok()) Close();  // part of the frame may have gone out
  return sent;
}

Status Connection::Fill(int timeout_ms) {
  if (fd_ < 0) return Status(ErrorCode::kNotConnected, "not connected");
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  char chunk[65536];
  long got = -1;
  bool want_write = false;
  for (;;) {
    if (!TlsPending()) {
      pollfd waiting{fd_, static_cast<short>(want_write ? POLLOUT : POLLIN), 0};
      int ready;
      do {
        ready = ::poll(&waiting, 1, RemainingMs(deadline));
      } while (ready < 0 && errno == EINTR);
      if (ready == 0) return Status(ErrorCode::kTimeout, "no reply from the server in time");
      if (ready < 0) return Broken(ErrorCode::kClosed, std::string("poll: ") + std::strerror(errno));
    }
    do {
      got = RawReceive(chunk, sizeof chunk, &want_write);
    } while (got < 0 && errno == EINTR);
    // TLS: a record that carried no data (a ticket, a key update) wants
    // another wait.
    if (got < 0 && errno == EAGAIN) continue;
    break;
  }
  if (got <= 0) return Broken(ErrorCode::kClosed, "the server closed the connection");
  buffer_.erase(0, read_);
  read_ = 0;
  buffer_.append(chunk, static_cast<size_t>(got));
  return Status();
}

Status Connection::ReceiveText(std::string& text, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutOr(timeout_ms));
  for (;;) {
    const size_t start = buffer_.find(kStx, read_);
    if (start == std::string::npos) {
      buffer_.clear();
      read_ = 0;
    } else {
      const size_t end = buffer_.find(kEtx, start);
      if (end != std::string::npos) {
        const size_t open = buffer_.rfind(kStx, end);
        text.assign(buffer_, open + 1, end - open - 1);
        read_ = end + 1;
        if (!text.empty()) return Status();
        continue;
      }
      read_ = start;
    }
    if (Status status = Fill(RemainingMs(deadline)); !status.ok()) return status;
  }
}

Reply Connection::Receive() {
  Reply reply;
  const Status status = ReceiveText(reply.text);
  if (!status.ok()) {
    // A reply that comes after all would be taken for the next request's.
    if (status.code() == ErrorCode::kTimeout) Close();
    reply.code = status.code();
    reply.error = status.message();
    reply.text.clear();
    return reply;
  }
  return ParseReply(std::move(reply.text));
}

Reply Connection::Call(std::string_view request) {
  if (Status sent = Send(request); !sent.ok()) {
    Reply reply;
    reply.code = sent.code();
    reply.error = sent.message();
    return reply;
  }
  return Receive();
}

std::vector<Reply> Connection::CallAll(const std::vector<std::string>& requests) {
  std::vector<Reply> replies(requests.size());
  std::string frames;
  size_t sendable = 0;
  // Everything up to the first unknown command goes out in one write.
  for (; sendable < requests.size(); ++sendable) {
    const std::string_view name = CommandName(requests[sendable]);
    if (FindCommand(name) == nullptr) break;
    frames += kStx;
    frames += requests[sendable];
    frames += kEtx;
  }
  const Status sent = SendRaw(frames);
  for (size_t i = 0; i < requests.size(); ++i) {
    if (i >= sendable) {
      replies[i] = Call(requests[i]);  // refused, or sent on its own
    } else if (!sent.ok()) {
      replies[i].code = sent.code();
      replies[i].error = sent.message();
    } else {
      replies[i] = Receive();
    }
  }
  return replies;
}

Result<std::string> Connection::ReadExactly(size_t n, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutOr(timeout_ms));
  buffer_.erase(0, read_);
  read_ = 0;
  while (buffer_.size() < n) {
    if (Status status = Fill(RemainingMs(deadline)); !status.ok()) return status;
  }
  std::string bytes = buffer_.substr(0, n);
  buffer_.erase(0, n);
  return bytes;
}

bool Connection::ReadToClose(std::string* bytes, int timeout_ms) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  if (bytes != nullptr) {
    bytes->assign(buffer_, read_, std::string::npos);
    buffer_.clear();
    read_ = 0;
  }
  for (;;) {
    if (fd_ < 0) return true;
    pollfd waiting{fd_, POLLIN, 0};
    const int ready = ::poll(&waiting, 1, RemainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char chunk[4096];
    bool want_write = false;
    const long got = RawReceive(chunk, sizeof chunk, &want_write);
    if (got > 0 && bytes != nullptr) bytes->append(chunk, static_cast<size_t>(got));
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return true;
  }
}

Result<std::string> Connection::FailureReason(std::string_view request) {
  const CommandInfo* info = FindCommand(CommandName(request));
  if (info == nullptr || info->error_text == ErrorText::kNone) return std::string();
  std::string ask = "GETLASTERRORTEXT";
  size_t skip = 1;  // GETLASTERRORTEXT~text
  long handle = 0;
  if (info->error_text == ErrorText::kRecordset) {
    // The handle as the server reads it: the second field, up to its "~".
    std::string_view rest = request.substr(request.find(kSeparator) == std::string_view::npos
                                               ? request.size()
                                               : request.find(kSeparator) + 1);
    handle = std::strtol(std::string(rest.substr(0, rest.find(kSeparator))).c_str(),
                                    nullptr, 10);
    ask = "RECORDSETGETLASTERROR~" + std::to_string(handle);
    skip = 2;  // RECORDSETGETLASTERRORTEXT~h~text
  }
  const Reply reply = Call(ask);
  if (reply.failed()) {
    return Status(ErrorCode::kFailed, "there is no recordset " + std::to_string(handle));
  }
  if (!reply.ok()) return Status(reply.code, reply.error);
  // The text is everything behind the fields skipped, "~" included.
  size_t at = 0;
  for (size_t i = 0; i < skip && at != std::string::npos; ++i) {
    at = reply.text.find(kSeparator, at);
    if (at != std::string::npos) ++at;
  }
  return at == std::string::npos ? std::string() : reply.text.substr(at);
}

// ---- Typed helpers ---------------------------------------------------------------

Result<Reply> Connection::Exchange(const std::string& request) {
  Reply reply = Call(request);
  if (reply.ok()) return reply;
  if (!reply.failed()) return Status(reply.code, reply.error);
  std::string reason;
  if (options_.fetch_reasons) {
    Result<std::string> fetched = FailureReason(request);
    reason = fetched.ok() ? *fetched : fetched.status().message();
  }
  return Status(ErrorCode::kFailed, reason);
}

Status Connection::Expect(const std::string& request) {
  Result<Reply> reply = Exchange(request);
  return reply.ok() ? Status() : reply.status();
}

// The reply text behind its first `skip` fields, "~" included: values
// travel unescaped, so a value holding "~" still comes back whole.
Result<std::string> Connection::Text(const std::string& request, size_t skip) {
  Result<Reply> reply = Exchange(request);
  if (!reply.ok()) return reply.status();
  size_t at = 0;
  for (size_t i = 0; i < skip; ++i) {
    at = reply->text.find(kSeparator, at);
    if (at == std::string::npos) return std::string();
    ++at;
  }
  return reply->text.substr(at);
}

Result<int32_t> Connection::Number(const std::string& request) {
  Result<Reply> reply = Exchange(request);
  if (!reply.ok()) return reply.status();
  const std::string& text = reply->field(2);
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0') {
    return Status(ErrorCode::kBadReply, "not a number in reply '" + reply->text + "'");
  }
  return static_cast<int32_t>(value);
}

Result<bool> Connection::Flag(const std::string& request) {
  Result<Reply> reply = Exchange(request);
  if (!reply.ok()) return reply.status();
  return reply->field(2) == "1";
}

#define ZT_REQUEST(request_expr, use)                                \
  do {                                                               \
    const Request built = (request_expr);                            \
    if (!built.ok()) return built.Refusal();                         \
    return use(built.text());                                        \
  } while (false)

Status Connection::StartTransaction() { return Expect("STARTTRANSACTION"); }
Status Connection::CommitTransaction() { return Expect("COMMITTRANSACTION"); }
Status Connection::RollbackTransaction() { return Expect("ROLLBACKTRANSACTION"); }
Result<std::string> Connection::GetLastErrorText() { return Text("GETLASTERRORTEXT", 1); }
Result<Handle> Connection::CreateRecordset() {
  Result<Reply> reply = Exchange("CREATERECORDSET");
  if (!reply.ok()) return reply.status();
  return Handle(static_cast<int32_t>(std::strtol(reply->field(1).c_str(), nullptr, 10)));
}
Status Connection::RecordsetClose(Handle h) { return Expect(Request("RECORDSETCLOSE").Arg(h).text()); }
Result<bool> Connection::RecordsetIsConnected(Handle h) {
  return Flag(Request("RECORDSETISCONNECTED").Arg(h).text());
}
Result<std::string> Connection::RecordsetGetLastError(Handle h) {
  return Text(Request("RECORDSETGETLASTERROR").Arg(h).text(), 2);
}
Result<std::vector<std::string>> Connection::GetLocationInformation() {
  Result<Reply> reply = Exchange("GETLOCATIONINFORMATION");
  if (!reply.ok()) return reply.status();
  std::vector<std::string> texts(reply->fields.begin() + 1, reply->fields.end());
  texts.resize(8);
  return texts;
}
Status Connection::SetLocationInformation(const std::vector<std::string>& texts) {
  Request request("SETLOCATIONINFORMATION");
  for (size_t i = 0; i < texts.size() && i < 8; ++i) {
    // A blank text cannot be sent in place: the texts behind it would move
    // up. Blanks at the end are simply left out.
    request.Arg(texts[i]);
  }
  if (!request.ok()) return request.Refusal();
  return Expect(request.text());
}
Status Connection::RebuildDatabase() { return Expect("REBUILDDATABASE"); }
Result<std::vector<std::string>> Connection::GetTableNames() {
  Result<Reply> reply = Exchange("GETTABLENAMES~COUNT");
  if (!reply.ok()) return reply.status();
  // GETTABLENAMES~n~t1~...~tn
  const std::vector<std::string>& fields = reply->fields;
  char* end = nullptr;
  const long count = fields.size() >= 2 ? std::strtol(fields[1].c_str(), &end, 10) : -1;
  if (fields.size() < 2 || fields[1].empty() || *end != '\0' || count < 0 ||
      static_cast<size_t>(count) != fields.size() - 2) {
    return Status(ErrorCode::kBadReply, "GETTABLENAMES: not a counted list: " + reply->text);
  }
  return std::vector<std::string>(fields.begin() + 2, fields.end());
}

Status Connection::RecordsetOpen(Handle h, std::string_view table) {
  ZT_REQUEST(Request("RECORDSETOPEN").Arg(h).Arg(table), Expect);
}
Status Connection::RecordsetOpenFloor(Handle h, std::string_view table, std::string_view column,
                                      std::string_view value) {
  ZT_REQUEST(Request("RECORDSETOPENFLOOR").Arg(h).Arg(table).Arg(column).Arg(value), Expect);
}
Status Connection::RecordsetOpenCeiling(Handle h, std::string_view table,
                                        std::string_view column, std::string_view value) {
  ZT_REQUEST(Request("RECORDSETOPENCEILING").Arg(h).Arg(table).Arg(column).Arg(value), Expect);
}
Status Connection::RecordsetAddFilterColumn(Handle h, std::string_view column,
                                            std::string_view op, std::string_view value,
                                            int32_t hint, int32_t extra) {
  ZT_REQUEST(
      Request("RECORDSETADDFILTERCOLUMN").Arg(h).Arg(column).Arg(op).Arg(value).Arg(hint).Arg(extra),
      Expect);
}
Status Connection::RecordsetClearFilters(Handle h) {
  return Expect(Request("RECORDSETCLEARFILTERS").Arg(h).text());
}
Status Connection::RecordsetFilterOn(Handle h, std::string_view column, std::string_view value) {
  ZT_REQUEST(Request("RECORDSETFILTERON").Arg(h).Arg(column).Optional(value), Expect);
}
Result<bool> Connection::RecordsetCanBookmark(Handle h) {
  return Flag(Request("RECORDSETCANBOOKMARK").Arg(h).text());
}
Status Connection::RecordsetSetBookmark(Handle h, RowNumber row) {
  return Expect(Request("RECORDSETSETBOOKMARK").Arg(h).Arg(row).text());
}
Result<RowNumber> Connection::RecordsetGetBookmark(Handle h) {
  return Number(Request("RECORDSETGETBOOKMARK").Arg(h).text());
}
Result<RowBatch> Connection::RecordsetFetchRows(Handle h, int32_t max_rows,
                                                const std::vector<std::string>& columns) {
  Request request("RECORDSETFETCHROWS");
  request.Arg(h).Arg(max_rows);
  if (!columns.empty()) {
    std::string list;
    for (const std::string& column : columns) {
      if (!list.empty()) list += ',';
      list += column;
    }
    request.Arg(list);
  }
  if (!request.ok()) return request.Refusal();
  Result<Reply> reply = Exchange(request.text());
  if (!reply.ok()) return reply.status();
  return ParseFetchReply(*reply);
}
Result<RowNumber> Connection::RecordsetGetLastUpdatedBookmark(Handle h) {
  return Number(Request("RECORDSETGETLASTUPDATEDBOOKMARK").Arg(h).text());
}
Result<int32_t> Connection::RecordsetGetRowCount(Handle h) {
  return Number(Request("RECORDSETGETROWCOUNT").Arg(h).text());
}
Result<int32_t> Connection::RecordsetGetSelectedRowCount(Handle h) {
  return Number(Request("RECORDSETGETSELECTEDROWCOUNT").Arg(h).text());
}
Result<int32_t> Connection::RecordsetGetFilteredCount(Handle h) {
  return Number(Request("RECORDSETGETFILTEREDCOUNT").Arg(h).text());
}
Status Connection::RecordsetMoveFirst(Handle h) { return Expect(Request("RECORDSETMOVEFIRST").Arg(h).text()); }
Status Connection::RecordsetMoveNext(Handle h) { return Expect(Request("RECORDSETMOVENEXT").Arg(h).text()); }
Status Connection::RecordsetMovePrev(Handle h) { return Expect(Request("RECORDSETMOVEPREV").Arg(h).text()); }
Status Connection::RecordsetMoveLast(Handle h) { return Expect(Request("RECORDSETMOVELAST").Arg(h).text()); }

Result<bool> Connection::RecordsetIsCurrentRowLocked(Handle h) {
  return Flag(Request("RECORDSETISCURRENTROWLOCKED").Arg(h).text());
}
Status Connection::RecordsetLockCurrentRow(Handle h) {
  return Expect(Request("RECORDSETLOCKCURRENTROW").Arg(h).text());
}
Status Connection::RecordsetUnlockCurrentRow(Handle h) {
  return Expect(Request("RECORDSETUNLOCKCURRENTROW").Arg(h).text());
}
Status Connection::RecordsetLockAll(Handle h) { return Expect(Request("RECORDSETLOCKALL").Arg(h).text()); }
Status Connection::RecordsetUnlockAll(Handle h) {
  return Expect(Request("RECORDSETUNLOCKALL").Arg(h).text());
}
Status Connection::RecordsetAddRow(Handle h) { return Expect(Request("RECORDSETADDROW").Arg(h).text()); }
Status Connection::RecordsetSetFieldValue(Handle h, std::string_view column,
                                          std::string_view value) {
  ZT_REQUEST(Request("RECORDSETSETFIELDVALUE").Arg(h).Arg(column).Arg(value), Expect);
}
Result<std::string> Connection::RecordsetGetFieldValue(Handle h, std::string_view column) {
  const Request built = Request("RECORDSETGETFIELDVALUE").Arg(h).Arg(column);
  if (!built.ok()) return built.Refusal();
  return Text(built.text(), 2);
}
Status Connection::RecordsetUpdate(Handle h) { return Expect(Request("RECORDSETUPDATE").Arg(h).text()); }
Status Connection::RecordsetDeleteCurrentRow(Handle h) {
  return Expect(Request("RECORDSETDELETECURRENTROW").Arg(h).text());
}
Status Connection::RecordsetDeleteAll(Handle h) {
  return Expect(Request("RECORDSETDELETEALL").Arg(h).text());
}
Status Connection::RecordsetFindRow(Handle h, std::string_view column, std::string_view prefix) {
  ZT_REQUEST(Request("RECORDSETFINDROW").Arg(h).Arg(column).Arg(prefix), Expect);
}
Status Connection::RecordsetSort(Handle h, std::string_view column, bool ascending) {
  ZT_REQUEST(Request("RECORDSETSORT").Arg(h).Arg(column).Arg(ascending ? 1 : 0), Expect);
}

Result<int32_t> Connection::RecordsetGetFieldCount(Handle h) {
  return Number(Request("RECORDSETGETFIELDCOUNT").Arg(h).text());
}
Result<std::string> Connection::RecordsetGetFieldName(Handle h, int32_t field) {
  return Text(Request("RECORDSETGETFIELDNAME").Arg(h).Arg(field).text(), 2);
}
Result<FieldInfo> Connection::RecordsetGetFieldInfo(Handle h, int32_t field) {
  Result<Reply> reply = Exchange(Request("RECORDSETGETFIELDINFO").Arg(h).Arg(field).text());
  if (!reply.ok()) return reply.status();
  if (reply->fields.size() != 5) {
    return Status(ErrorCode::kBadReply, "unexpected reply '" + reply->text + "'");
  }
  return FieldInfo{reply->fields[2], std::atoi(reply->fields[3].c_str()),
                   std::atoi(reply->fields[4].c_str())};
}
Result<bool> Connection::RecordsetIsFieldNullable(Handle h, int32_t field) {
  return Flag(Request("RECORDSETISFIELDNULLABLE").Arg(h).Arg(field).text());
}
Result<bool> Connection::RecordsetIsFieldKeyColumn(Handle h, int32_t field) {
  return Flag(Request("RECORDSETISFIELDKEYCOLUMN").Arg(h).Arg(field).text());
}
Result<bool> Connection::RecordsetIsFieldBlob(Handle h, int32_t field) {
  return Flag(Request("RECORDSETISFIELDBLOB").Arg(h).Arg(field).text());
}
Result<int32_t> Connection::RecordsetGetFieldSize(Handle h, int32_t field) {
  return Number(Request("RECORDSETGETFIELDSIZE").Arg(h).Arg(field).text());
}
Status Connection::RecordsetSelectRow(Handle h, RowNumber row) {
  return Expect(Request("RECORDSETSELECTROW").Arg(h).Arg(row).text());
}
Status Connection::RecordsetDeselectRow(Handle h, RowNumber row) {
  return Expect(Request("RECORDSETDESELECTROW").Arg(h).Arg(row).text());
}
Status Connection::RecordsetSelectAll(Handle h) { return Expect(Request("RECORDSETSELECTALL").Arg(h).text()); }
Status Connection::RecordsetDeselectAll(Handle h) {
  return Expect(Request("RECORDSETDESELECTALL").Arg(h).text());
}
Status Connection::RecordsetSelectRowsRange(Handle h, RowNumber first, RowNumber last) {
  return Expect(Request("RECORDSETSELECTROWSRANGE").Arg(h).Arg(first).Arg(last).text());
}
Status Connection::RecordsetDeselectRowsRange(Handle h, RowNumber first, RowNumber last) {
  return Expect(Request("RECORDSETDESELECTROWSRANGE").Arg(h).Arg(first).Arg(last).text());
}
Result<bool> Connection::RecordsetIsRowSelected(Handle h, RowNumber row) {
  return Flag(Request("RECORDSETISROWSELECTED").Arg(h).Arg(row).text());
}
Status Connection::RecordsetMoveToFirstSelectedRow(Handle h) {
  return Expect(Request("RECORDSETMOVETOFIRSTSELECTEDROW").Arg(h).text());
}
Status Connection::RecordsetMoveToNextSelectedRow(Handle h) {
  return Expect(Request("RECORDSETMOVETONEXTSELECTEDROW").Arg(h).text());
}
Status Connection::RecordsetMoveToPrevSelectedRow(Handle h) {
  return Expect(Request("RECORDSETMOVETOPREVSELECTEDROW").Arg(h).text());
}
Status Connection::RecordsetMoveToLastSelectedRow(Handle h) {
  return Expect(Request("RECORDSETMOVETOLASTSELECTEDROW").Arg(h).text());
}

#undef ZT_REQUEST

}  // namespace ztserver

namespace ztserver {

Result<Recordset> Recordset::Create(Connection& db) {
  Result<Handle> h = db.CreateRecordset();
  if (!h.ok()) return h.status();
  return Recordset(db, *h);
}

Recordset& Recordset::operator=(Recordset&& other) noexcept {
  if (this != &other) {
    (void)Close();
    db_ = other.db_;
    handle_ = other.handle_;
    other.db_ = nullptr;
  }
  return *this;
}

Status Recordset::Close() {
  if (db_ == nullptr) return Status();
  Connection* db = db_;
  db_ = nullptr;
  if (!db->connected()) return Status();  // the server closed it with the connection
  return db->RecordsetClose(handle_);
}

}  // namespace ztserver
