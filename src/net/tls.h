// TLS for the server's sockets (OpenSSL): a context made from the
// operator's certificate, key and optional client CA, and one non-blocking
// stream per accepted connection.
//
// Everything runs on the event loop's thread and never blocks: a step that
// needs the socket readable or writable says so (kWantRead / wants_write),
// and the caller asks epoll for that and calls again when it comes. The
// stream reads at most one record per Read (read-ahead is off and a read
// buffer holds a whole record's plaintext, kMaxRecordPlaintext), so no
// decrypted byte waits inside OpenSSL where a level-triggered epoll would
// never report it.
//
// Policy, fixed here so that no configuration can weaken it: TLS 1.2 at
// least, no renegotiation (a client asking for one gets an alert and loses
// its connection), no compression, the library's default ciphers. With a
// client CA, a client must present a certificate that the CA signed, or the
// handshake fails.
#ifndef ZT_NET_TLS_H_
#define ZT_NET_TLS_H_

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

struct ssl_st;
struct ssl_ctx_st;

namespace zt {

// The largest plaintext one TLS record carries.
inline constexpr size_t kMaxRecordPlaintext = 16384;

struct TlsFiles {
  std::string certificate;  // PEM: the server's certificate, then its chain
  std::string key;          // PEM: its private key
  std::string client_ca;    // PEM: CAs of client certificates; empty: none asked
};

// One configuration of the listener: replaced whole on reload, while the
// connections made with the old one keep it (OpenSSL counts its users).
class TlsContext {
 public:
  TlsContext() = default;
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  // Reads the files and checks that key and certificate belong together;
  // false with *why (the library's reason) when any step fails.
  [[nodiscard]] bool Load(const TlsFiles& files, std::string* why);
  ssl_ctx_st* get() const { return ctx_; }
  bool requires_client_certificate() const { return client_ca_; }

 private:
  ssl_ctx_st* ctx_ = nullptr;
  bool client_ca_ = false;
};

// The server's side of one TLS connection over a non-blocking socket it
// does not own.
class TlsStream {
 public:
  enum class Step { kDone, kWantRead, kWantWrite, kFailed };

  TlsStream(const TlsContext& context, int socket);
  ~TlsStream();
  TlsStream(const TlsStream&) = delete;
  TlsStream& operator=(const TlsStream&) = delete;

  // Advances the handshake; kFailed leaves the reason in error().
  Step Handshake();
  bool established() const { return established_; }

  // Like recv and send: bytes moved, 0 when the peer closed (Read), or -1
  // with errno EAGAIN when the socket must become ready first (readable,
  // or writable when wants_write()) or another errno (EPROTO: the stream
  // failed, see error()).
  ssize_t Read(char* buffer, size_t n);
  ssize_t Write(const char* data, size_t n);
  // Sends close_notify once, without waiting for the peer's: after the
  // last answer of a one-answer connection (HTTP), before its TCP shutdown.
  void Shutdown();
  // The last step stopped because the socket was full: wait for writability.
  bool wants_write() const { return wants_write_; }

  // The common name of the client's verified certificate; empty when it
  // sent none.
  std::string PeerCommonName() const;
  const std::string& error() const { return error_; }

 private:
  // Maps a failed call's SSL_get_error onto the Step and errno conventions.
  Step Classify(int result);

  ssl_st* ssl_ = nullptr;
  bool established_ = false;
  bool wants_write_ = false;
  std::string error_;
};

// The library's reason for the last failure on this thread (and clears it).
std::string TlsErrorText();

}  // namespace zt

#endif  // ZT_NET_TLS_H_
