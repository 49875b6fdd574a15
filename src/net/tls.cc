#include "net/tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>

namespace zt {

std::string TlsErrorText() {
  std::string text;
  while (const unsigned long code = ERR_get_error()) {
    char line[256];
    ERR_error_string_n(code, line, sizeof line);
    if (!text.empty()) text += "; ";
    text += line;
  }
  return text.empty() ? "unknown TLS error" : text;
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

bool TlsContext::Load(const TlsFiles& files, std::string* why) {
  ERR_clear_error();
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  const auto fail = [&](const std::string& what) {
    if (why) *why = what + ": " + TlsErrorText();
    SSL_CTX_free(ctx);
    return false;
  };
  if (ctx == nullptr) return fail("cannot make a TLS context");
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION |
                               SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_IGNORE_UNEXPECTED_EOF);
  // Output is a std::string that may move between a short write and its
  // retry; partial writes let a full socket take what it can.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                            SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_read_ahead(ctx, 0);
  if (SSL_CTX_use_certificate_chain_file(ctx, files.certificate.c_str()) != 1) {
    return fail("TlsCertificate " + files.certificate);
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, files.key.c_str(), SSL_FILETYPE_PEM) != 1) {
    return fail("TlsKey " + files.key);
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    return fail("TlsKey " + files.key + " does not belong to TlsCertificate");
  }
  if (!files.client_ca.empty()) {
    if (SSL_CTX_load_verify_locations(ctx, files.client_ca.c_str(), nullptr) != 1) {
      return fail("TlsClientCA " + files.client_ca);
    }
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.client_ca.c_str());
    if (names != nullptr) SSL_CTX_set_client_CA_list(ctx, names);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  }
  // Resumption would skip the client certificate check of a reload; every
  // connection makes a full handshake.
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  SSL_CTX_set_num_tickets(ctx, 0);
  SSL_CTX_free(ctx_);
  ctx_ = ctx;
  client_ca_ = !files.client_ca.empty();
  return true;
}

TlsStream::TlsStream(const TlsContext& context, int socket) {
  ssl_ = SSL_new(context.get());
  if (ssl_ != nullptr && SSL_set_fd(ssl_, socket) == 1) {
    SSL_set_accept_state(ssl_);
  } else {
    error_ = TlsErrorText();
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
}

TlsStream::~TlsStream() { SSL_free(ssl_); }

TlsStream::Step TlsStream::Classify(int result) {
  wants_write_ = false;
  switch (SSL_get_error(ssl_, result)) {
    case SSL_ERROR_WANT_READ:
      errno = EAGAIN;
      return Step::kWantRead;
    case SSL_ERROR_WANT_WRITE:
      wants_write_ = true;
      errno = EAGAIN;
      return Step::kWantWrite;
    case SSL_ERROR_ZERO_RETURN:
      error_ = "closed by the peer";
      errno = 0;
      return Step::kFailed;
    case SSL_ERROR_SYSCALL:
      error_ = errno != 0 ? "socket error " + std::to_string(errno) : "the peer went away";
      ERR_clear_error();
      return Step::kFailed;
    default:
      error_ = TlsErrorText();
      errno = EPROTO;
      return Step::kFailed;
  }
}

TlsStream::Step TlsStream::Handshake() {
  if (ssl_ == nullptr) return Step::kFailed;
  if (established_) return Step::kDone;
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    established_ = true;
    wants_write_ = false;
    return Step::kDone;
  }
  return Classify(result);
}

ssize_t TlsStream::Read(char* buffer, size_t n) {
  if (ssl_ == nullptr) {
    errno = EPROTO;
    return -1;
  }
  ERR_clear_error();
  size_t got = 0;
  if (SSL_read_ex(ssl_, buffer, n, &got) == 1) {
    wants_write_ = false;
    return static_cast<ssize_t>(got);
  }
  const int code = SSL_get_error(ssl_, 0);
  if (code == SSL_ERROR_ZERO_RETURN) return 0;
  if (code == SSL_ERROR_SYSCALL && errno == 0) return 0;  // closed without close_notify
  if (Classify(0) == Step::kFailed && errno == 0) errno = EPROTO;
  return -1;
}

ssize_t TlsStream::Write(const char* data, size_t n) {
  if (ssl_ == nullptr) {
    errno = EPROTO;
    return -1;
  }
  ERR_clear_error();
  size_t put = 0;
  if (SSL_write_ex(ssl_, data, n, &put) == 1) {
    wants_write_ = false;
    return static_cast<ssize_t>(put);
  }
  if (Classify(0) == Step::kFailed && errno == 0) errno = EPIPE;
  return -1;
}

void TlsStream::Shutdown() {
  if (ssl_ == nullptr || !established_) return;
  ERR_clear_error();
  (void)SSL_shutdown(ssl_);  // 0 (sent, the peer's not yet seen) or a failure: either is final
  ERR_clear_error();
}

std::string TlsStream::PeerCommonName() const {
  if (ssl_ == nullptr || SSL_get_verify_result(ssl_) != X509_V_OK) return {};
  X509* certificate = SSL_get1_peer_certificate(ssl_);
  if (certificate == nullptr) return {};
  char name[256] = {};
  const int length = X509_NAME_get_text_by_NID(X509_get_subject_name(certificate),
                                               NID_commonName, name, sizeof name);
  X509_free(certificate);
  return length > 0 ? std::string(name, static_cast<size_t>(length)) : std::string();
}

}  // namespace zt
