// The web console ([SERVER] ConsoleEnabled=yes): pages and a JSON API
// served from the metrics endpoint's listener, so with its address, its
// limits, MetricsAllowFrom and MetricsTls.
//
// Paths:
//   /                    the page (one HTML file; the script draws each view)
//   /console/NAME        the compiled-in files (console_assets.h); no other
//                        file is ever read to answer a request
//   /api/...             JSON; see docs/operations.md ("Web console")
// Everything else is left to the metrics handler.
//
// Data goes through the protocol's own commands, never around them: each
// API request that reads or changes tables opens a local session of the
// dispatcher (request_processor.h), sends the commands a client would
// (open, filter, sort, move, read, close), and answers the HTTP request
// once the last reply is in. So the requests run in the dispatcher's runs,
// long ones as jobs in slices, under the authoriser's rules for the
// console's user, and no recordset outlives the HTTP request: every
// conversation ends with RECORDSETCLOSE, and a session closed early
// releases what it held like a closed connection.
//
// Logins: when the server has users, every /api/ request but /api/session
// and /api/login needs a console session: POST /api/login sends
// AUTHENTICATE through a local session with the browser's address, so the
// plain-password rule and the per-address delay of failed attempts apply
// as for any client. A success gives a random session cookie (HttpOnly,
// SameSite=Strict, Secure over TLS) and a same-origin token. Without users
// the console is open to whoever MetricsAllowFrom admits; it still hands
// out a session, for the token. At most kMaxConsoleSessions sessions are
// kept (the oldest makes room), each forgotten kConsoleSessionIdleSeconds
// after its last use.
//
// Changes (ConsoleEditing=yes, and a user who may write): POST only, with
// the session's token in X-Console-Token, and an Origin header, when sent,
// naming this server. A row is found by its key column's value.
//
// Bounds: at most kMaxConsoleConversations API requests in progress (more
// are answered 503); an answer stops growing at kMaxConsoleAnswerBytes
// (rows are dropped from the end and "truncated" says so); a page of rows
// holds at most kMaxConsolePageRows; the log view reads at most
// kMaxConsoleLogBytes from the end of the error log.
#ifndef ZT_SERVICE_CONSOLE_H_
#define ZT_SERVICE_CONSOLE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "net/http.h"
#include "net/http_endpoint.h"

namespace zt {

class RequestDispatcher;
class Conversation;

inline constexpr size_t kMaxConsoleSessions = 64;
inline constexpr int64_t kConsoleSessionIdleSeconds = 30 * 60;
inline constexpr size_t kMaxConsoleConversations = 8;
inline constexpr size_t kMaxConsoleAnswerBytes = 1024 * 1024;
inline constexpr int kMaxConsolePageRows = 500;
inline constexpr size_t kMaxConsoleLogBytes = 64 * 1024;
inline constexpr int kMaxConsoleLogLines = 500;
inline constexpr char kConsoleCookie[] = "ztconsole";

struct ConsoleOptions {
  bool editing = false;       // ConsoleEditing
  bool logins = false;        // the server has users
  std::string error_log;      // the error log's path
};

class Console {
 public:
  Console(RequestDispatcher& dispatcher, ConsoleOptions options);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // The endpoint's deferred handler: takes the console's paths (see
  // above), leaves every other one.
  bool Handle(const HttpRequest& request, const HttpResponder& respond);

  // The conversations in progress (tests).
  size_t conversations() const;

 private:
  struct Login {
    std::string token;  // the cookie's value
    std::string csrf;   // the same-origin token
    std::string user;   // empty: a console without users
    bool may_write = true;
    bool may_lock = true;
    int64_t last_used_ms = 0;
  };

  // The request's console session, refreshed; null when it has none.
  Login* FindLogin(const HttpRequest& request);
  Login& AddLogin(std::string user, bool may_write, bool may_lock);
  HttpReply SessionInfo(const HttpRequest& request);
  void LogIn(const HttpRequest& request, const HttpResponder& respond);
  HttpReply LogOut(const HttpRequest& request);
  HttpReply Sessions() const;
  HttpReply Log(const HttpRequest& request) const;
  void Tables(const Login& login, const HttpRequest& request, const HttpResponder& respond);
  void Rows(const Login& login, const HttpRequest& request, const HttpResponder& respond);
  void Edit(const Login& login, const HttpRequest& request, const HttpResponder& respond);
  // A conversation as the login's user; null when too many are in progress
  // (respond has then been answered 503).
  Conversation* Start(const Login& login, const HttpRequest& request,
                      const HttpResponder& respond);
  // Drops the conversations that have answered.
  void Reap();

  RequestDispatcher& dispatcher_;
  ConsoleOptions options_;
  std::vector<Login> logins_;
  std::vector<std::unique_ptr<Conversation>> conversations_;
};

}  // namespace zt

#endif  // ZT_SERVICE_CONSOLE_H_
