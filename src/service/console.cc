#include "service/console.h"

#include <openssl/rand.h>

#include <algorithm>
#include <functional>
#include <string_view>
#include <utility>

#include "engine/file.h"
#include "net/session.h"
#include "protocol/fetch_rows_format.h"
#include "protocol/request_processor.h"
#include "service/console_assets.h"
#include "service/console_json.h"

namespace zt {

// One API request's talk with the dispatcher: a local session, and batches
// of requests queued at once whose replies come back together, in order.
// It ends with Finish, which answers the HTTP request and closes the
// session; the Console drops it afterwards (never from inside its own
// callback).
class Conversation {
 public:
  using Then = std::function<void(std::vector<std::string>& replies)>;

  Conversation(RequestDispatcher& dispatcher, const SessionIdentity& identity, std::string peer,
               HttpResponder respond)
      : dispatcher_(dispatcher), respond_(std::move(respond)) {
    session_ = &dispatcher_.OpenLocal(identity, std::move(peer),
                                      [this](std::string reply) { OnReply(std::move(reply)); });
  }
  ~Conversation() {
    if (!done_) dispatcher_.CloseLocal(*session_);
  }
  Conversation(const Conversation&) = delete;
  Conversation& operator=(const Conversation&) = delete;

  // An empty batch goes on at once.
  void Batch(std::vector<std::string> requests, Then then) {
    if (requests.empty()) {
      std::vector<std::string> none;
      then(none);
      return;
    }
    replies_.clear();
    expected_ = requests.size();
    then_ = std::move(then);
    for (const std::string& request : requests) dispatcher_.AskLocal(*session_, request);
  }
  void Finish(HttpReply reply) {
    if (done_) return;
    done_ = true;
    dispatcher_.CloseLocal(*session_);
    respond_(std::move(reply));
  }
  bool done() const { return done_; }
  const SessionIdentity& identity() const { return session_->identity; }

 private:
  void OnReply(std::string reply) {
    if (done_) return;
    replies_.push_back(std::move(reply));
    if (replies_.size() < expected_) return;
    Then then = std::move(then_);
    std::vector<std::string> replies = std::move(replies_);
    replies_.clear();
    then(replies);
  }

  RequestDispatcher& dispatcher_;
  HttpResponder respond_;
  ClientSession* session_ = nullptr;
  std::vector<std::string> replies_;
  size_t expected_ = 0;
  Then then_;
  bool done_ = false;
};

namespace {

constexpr char kJson[] = "application/json; charset=utf-8";
// Every console answer: nothing from elsewhere runs or loads in the page,
// and the page is never framed.
constexpr char kSecurityHeaders[] =
    "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self'; connect-src 'self'; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n";

HttpReply Json(int status, std::string body) {
  HttpReply reply;
  reply.status = status;
  reply.content_type = kJson;
  reply.body = std::move(body);
  reply.headers = kSecurityHeaders;
  return reply;
}

HttpReply Error(int status, std::string_view text) {
  JsonWriter json;
  json.BeginObject().Key("error").String(text).EndObject();
  return Json(status, json.Take());
}

std::string RandomHex(size_t bytes) {
  std::vector<unsigned char> raw(bytes);
  if (RAND_bytes(raw.data(), static_cast<int>(raw.size())) != 1) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char b : raw) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

// Compares without an early exit, so the time taken does not tell how much
// of a guessed token was right.
bool SameToken(std::string_view a, std::string_view b) {
  if (a.size() != b.size() || a.empty()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string CookieValue(std::string_view header, std::string_view name) {
  while (!header.empty()) {
    const size_t semi = header.find(';');
    std::string_view part = header.substr(0, semi);
    header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
    while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
    if (part.size() > name.size() && part.substr(0, name.size()) == name &&
        part[name.size()] == '=') {
      return std::string(part.substr(name.size() + 1));
    }
  }
  return {};
}

// A value that can travel as one protocol field: no separator, no framing
// byte, within the protocol's message size.
bool FieldSafe(std::string_view value) {
  if (value.size() > 1024) return false;
  return value.find_first_of(std::string_view("~\x02\x03", 3)) == std::string_view::npos;
}

// The reply's fields after the command name and handle ("NAME~h~rest":
// rest, kept whole since a value may hold '~').
std::string AfterHandle(const std::string& reply) {
  const size_t first = reply.find('~');
  if (first == std::string::npos) return {};
  const size_t second = reply.find('~', first + 1);
  return second == std::string::npos ? std::string() : reply.substr(second + 1);
}

// A failure is exactly two fields, the second FAILED: a reply whose value
// is the text FAILED ("NAME~h~FAILED") is a success.
bool Failed(const std::string& reply) {
  const size_t first = reply.find('~');
  return first != std::string::npos && reply.compare(first + 1, std::string::npos, "FAILED") == 0;
}

int64_t ToNumber(std::string_view text, int64_t fallback) {
  if (text.empty() || text.size() > 12) return fallback;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return fallback;
    value = value * 10 + (c - '0');
  }
  return value;
}

// The handle of a CREATERECORDSET reply ("CREATERECORDSET~h").
int32_t HandleOf(const std::string& reply) {
  const size_t tilde = reply.find('~');
  return tilde == std::string::npos
             ? 0
             : static_cast<int32_t>(ToNumber(std::string_view(reply).substr(tilde + 1), 0));
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t at = 0;
  for (;;) {
    const size_t next = text.find(separator, at);
    parts.push_back(text.substr(at, next - at));
    if (next == std::string::npos) return parts;
    at = next + 1;
  }
}

struct ColumnInfo {
  std::string name;
  std::string type;
  int64_t size = 0;
  bool key = false;
};

void WriteColumns(JsonWriter& json, const std::vector<ColumnInfo>& columns) {
  json.BeginArray();
  for (const ColumnInfo& column : columns) {
    json.BeginObject()
        .Key("name").String(column.name)
        .Key("type").String(column.type)
        .Key("size").Number(column.size)
        .Key("key").Bool(column.key)
        .EndObject();
  }
  json.EndArray();
}

// Ends a conversation on a failed request: the reason the server left
// (the recordset's text when there is one), then the recordset closed.
void FailWithReason(Conversation& talk, int32_t handle, int status) {
  const std::string h = std::to_string(handle);
  std::vector<std::string> requests;
  if (handle > 0) {
    requests = {"RECORDSETGETLASTERROR~" + h, "RECORDSETCLOSE~" + h};
  } else {
    requests = {"GETLASTERRORTEXT"};
  }
  talk.Batch(std::move(requests), [&talk, handle, status](std::vector<std::string>& replies) {
    std::string why = handle > 0 ? AfterHandle(replies[0]) : replies[0].substr(replies[0].find('~') + 1);
    if (why.empty()) why = "the request failed";
    // A refusal of the user's rights is a 403, whatever the step.
    const int code = why.find(": Refused: ") != std::string::npos ? 403 : status;
    talk.Finish(Error(code, why));
  });
}

// Columns of the open recordset handle (GETFIELDCOUNT's answer given).
void ReadColumns(Conversation& talk, int32_t handle, int64_t count,
                 std::function<void(std::vector<ColumnInfo>)> then) {
  const std::string h = std::to_string(handle);
  std::vector<std::string> requests;
  for (int64_t i = 0; i < count; ++i) {
    requests.push_back("RECORDSETGETFIELDINFO~" + h + "~" + std::to_string(i));
    requests.push_back("RECORDSETISFIELDKEYCOLUMN~" + h + "~" + std::to_string(i));
  }
  talk.Batch(std::move(requests), [then = std::move(then)](std::vector<std::string>& replies) {
    std::vector<ColumnInfo> columns;
    for (size_t i = 0; i + 1 < replies.size(); i += 2) {
      const std::vector<std::string> info = Split(AfterHandle(replies[i]), '~');
      ColumnInfo column;
      if (info.size() >= 3) {
        column.name = info[0];
        column.type = info[1];
        column.size = ToNumber(info[2], 0);
      }
      column.key = replies[i + 1].ends_with("~1");
      columns.push_back(std::move(column));
    }
    then(std::move(columns));
  });
}

using Rows = std::vector<std::vector<std::optional<std::string>>>;
using RowsThen = std::function<void(Rows)>;

// The per-row way of FetchRows, for the page RECORDSETFETCHROWS cannot
// give (a row whose value cannot be read fails the whole fetch; here that
// value alone is null).
void FetchRowsOneByOne(Conversation& talk, int32_t handle, const std::vector<ColumnInfo>& columns,
                       int64_t offset, int64_t count, RowsThen then) {
  const std::string h = std::to_string(handle);
  std::vector<std::string> requests;
  if (count > 0) requests.push_back("RECORDSETSETBOOKMARK~" + h + "~" + std::to_string(offset + 1));
  for (int64_t r = 0; r < count; ++r) {
    for (const ColumnInfo& column : columns) {
      requests.push_back("RECORDSETGETFIELDVALUE~" + h + "~" + column.name);
    }
    if (r + 1 < count) requests.push_back("RECORDSETMOVENEXT~" + h);
  }
  const size_t width = columns.size();
  talk.Batch(std::move(requests), [then = std::move(then), width,
                                   count](std::vector<std::string>& replies) {
    std::vector<std::vector<std::optional<std::string>>> rows;
    if (count > 0 && !Failed(replies[0])) {
      size_t at = 1;
      for (int64_t r = 0; r < count; ++r) {
        std::vector<std::optional<std::string>> row;
        for (size_t c = 0; c < width; ++c, ++at) {
          if (Failed(replies[at])) {
            row.emplace_back();
          } else {
            row.emplace_back(AfterHandle(replies[at]));
          }
        }
        rows.push_back(std::move(row));
        if (r + 1 < count) {
          if (Failed(replies[at])) break;  // the rows ended early
          ++at;
        }
      }
    }
    then(std::move(rows));
  });
}

// Reads a page with RECORDSETFETCHROWS, one request after another until
// it has count rows or the rows end (a reply carries a bounded part). The
// columns the page's first row cannot give (a dropped column, which the
// protocol does not tell apart otherwise) are left out of the fetch and
// null in every row, as GETFIELDVALUE would leave them.
class RowFetch : public std::enable_shared_from_this<RowFetch> {
 public:
  RowFetch(Conversation& talk, int32_t handle, std::vector<ColumnInfo> columns, int64_t offset,
           int64_t count, RowsThen then)
      : talk_(talk), handle_(handle), columns_(std::move(columns)), offset_(offset),
        count_(count), then_(std::move(then)) {}

  void Start() {
    const std::string h = std::to_string(handle_);
    std::vector<std::string> requests = {"RECORDSETSETBOOKMARK~" + h + "~" +
                                         std::to_string(offset_ + 1)};
    for (const ColumnInfo& column : columns_) {
      requests.push_back("RECORDSETGETFIELDVALUE~" + h + "~" + column.name);
    }
    talk_.Batch(std::move(requests), [self = shared_from_this()](std::vector<std::string>& replies) {
      if (Failed(replies[0])) return self->Done();  // no row there: an empty page
      bool any = false;
      for (size_t c = 0; c < self->columns_.size(); ++c) {
        self->readable_.push_back(!Failed(replies[c + 1]));
        any = any || self->readable_.back();
      }
      if (!any) return self->OneByOne();
      self->talk_.Batch({self->Request()},
                        [self](std::vector<std::string>& more) { self->Take(more[0]); });
    });
  }

 private:
  void OneByOne() {
    FetchRowsOneByOne(talk_, handle_, columns_, offset_, count_, std::move(then_));
  }
  std::string Request() const {
    std::string names;
    for (size_t c = 0; c < columns_.size(); ++c) {
      if (readable_[c]) names += (names.empty() ? "" : ",") + columns_[c].name;
    }
    return "RECORDSETFETCHROWS~" + std::to_string(handle_) + "~" +
           std::to_string(count_ - static_cast<int64_t>(rows_.size())) +
           (names.empty() ? "" : "~" + names);
  }
  void Take(const std::string& reply) {
    FetchedRows got;
    const auto fetched = static_cast<int64_t>(std::count(readable_.begin(), readable_.end(), true));
    if (!ParseFetchRowsReply(reply, got) || got.columns != fetched) {
      // A value that cannot be read in a later row fails the fetch: the
      // page is read again row by row, where that value alone is null.
      rows_.clear();
      return OneByOne();
    }
    for (int64_t r = 0; r < got.rows; ++r) {
      std::vector<std::optional<std::string>> row;
      size_t next = static_cast<size_t>(r * got.columns);
      for (size_t c = 0; c < columns_.size(); ++c) {
        if (readable_[c]) {
          row.emplace_back(std::move(got.values[next++]));
        } else {
          row.emplace_back();
        }
      }
      rows_.push_back(std::move(row));
    }
    if (got.end || got.rows == 0 || static_cast<int64_t>(rows_.size()) >= count_) return Done();
    talk_.Batch({Request()}, [self = shared_from_this()](std::vector<std::string>& replies) {
      self->Take(replies[0]);
    });
  }
  void Done() { then_(std::move(rows_)); }

  Conversation& talk_;
  int32_t handle_;
  std::vector<ColumnInfo> columns_;
  int64_t offset_;
  int64_t count_;
  RowsThen then_;
  std::vector<bool> readable_;  // per column: in the fetch, or null
  Rows rows_;
};

// A page of rows from the current recordset: count rows from position
// offset (0-based) on, each a value per column (null where the server gave
// none). The one place that reads rows.
void FetchRows(Conversation& talk, int32_t handle, const std::vector<ColumnInfo>& columns,
               int64_t offset, int64_t count, RowsThen then) {
  bool listable = !columns.empty();
  for (const ColumnInfo& column : columns) {
    listable = listable && column.name.find(',') == std::string::npos;
  }
  if (count <= 0 || !listable) {
    return FetchRowsOneByOne(talk, handle, columns, offset, count, std::move(then));
  }
  std::make_shared<RowFetch>(talk, handle, columns, offset, count, std::move(then))->Start();
}

}  // namespace

Console::Console(RequestDispatcher& dispatcher, ConsoleOptions options)
    : dispatcher_(dispatcher), options_(std::move(options)) {}

Console::~Console() = default;

size_t Console::conversations() const {
  size_t n = 0;
  for (const auto& talk : conversations_) n += talk->done() ? 0 : 1;
  return n;
}

void Console::Reap() {
  std::erase_if(conversations_, [](const std::unique_ptr<Conversation>& talk) {
    return talk->done();
  });
}

Console::Login* Console::FindLogin(const HttpRequest& request) {
  const std::string token = CookieValue(request.Header("Cookie"), kConsoleCookie);
  if (token.empty()) return nullptr;
  const int64_t now = NowMs();
  std::erase_if(logins_, [now](const Login& login) {
    return now - login.last_used_ms > kConsoleSessionIdleSeconds * 1000;
  });
  for (Login& login : logins_) {
    if (SameToken(login.token, token)) {
      login.last_used_ms = now;
      return &login;
    }
  }
  return nullptr;
}

Console::Login& Console::AddLogin(std::string user, bool may_write, bool may_lock) {
  if (logins_.size() >= kMaxConsoleSessions) {
    const auto oldest = std::min_element(
        logins_.begin(), logins_.end(),
        [](const Login& a, const Login& b) { return a.last_used_ms < b.last_used_ms; });
    logins_.erase(oldest);
  }
  Login login;
  login.token = RandomHex(32);
  login.csrf = RandomHex(32);
  login.user = std::move(user);
  login.may_write = may_write;
  login.may_lock = may_lock;
  login.last_used_ms = NowMs();
  logins_.push_back(std::move(login));
  return logins_.back();
}

namespace {

std::string SessionCookie(const std::string& token, bool tls, bool expire = false) {
  std::string cookie = "Set-Cookie: " + std::string(kConsoleCookie) + "=" + token +
                       "; Path=/; HttpOnly; SameSite=Strict";
  if (tls) cookie += "; Secure";
  if (expire) cookie += "; Max-Age=0";
  return cookie + "\r\n";
}

HttpReply Asset(std::string_view name) {
  for (const ConsoleAsset& asset : ConsoleAssets()) {
    if (name != asset.name) continue;
    HttpReply reply;
    reply.content_type = asset.content_type;
    reply.body.assign(reinterpret_cast<const char*>(asset.data), asset.size);
    reply.headers = kSecurityHeaders;
    return reply;
  }
  HttpReply missing = Error(404, "no such file");
  return missing;
}

}  // namespace

bool Console::Handle(const HttpRequest& request, const HttpResponder& respond) {
  const std::string& path = request.path;
  const bool page = path == "/" || path.starts_with("/console/");
  const bool api = path.starts_with("/api/");
  if (!page && !api) return false;
  Reap();
  const bool get = request.method == "GET" || request.method == "HEAD";
  if (page) {
    if (!get) {
      respond(Error(405, "method not allowed"));
    } else {
      respond(Asset(path == "/" ? std::string_view("index.html") : std::string_view(path).substr(9)));
    }
    return true;
  }
  if (path == "/api/session") {
    respond(get ? SessionInfo(request) : Error(405, "method not allowed"));
    return true;
  }
  // Every change is a POST with the session's token from the same origin.
  const bool post = request.method == "POST";
  if (!get && !post) {
    respond(Error(405, "method not allowed"));
    return true;
  }
  if (post) {
    const std::string_view origin = request.Header("Origin");
    const std::string_view host = request.Header("Host");
    if (!origin.empty() && (host.empty() || (origin != "http://" + std::string(host) &&
                                              origin != "https://" + std::string(host)))) {
      respond(Error(403, "cross-origin request refused"));
      return true;
    }
  }
  if (path == "/api/login") {
    if (!post) {
      respond(Error(405, "method not allowed"));
    } else {
      LogIn(request, respond);
    }
    return true;
  }
  Login* login = FindLogin(request);
  if (login == nullptr) {
    respond(Error(401, "log in first"));
    return true;
  }
  if (post && !SameToken(login->csrf, request.Header("X-Console-Token"))) {
    respond(Error(403, "missing or wrong X-Console-Token"));
    return true;
  }
  const std::string method_path = request.method + " " + path;
  if (method_path == "POST /api/logout") {
    respond(LogOut(request));
  } else if (get && path == "/api/sessions") {
    respond(Sessions());
  } else if (get && path == "/api/log") {
    respond(Log(request));
  } else if (get && path == "/api/tables") {
    Tables(*login, request, respond);
  } else if (get && path == "/api/rows") {
    Rows(*login, request, respond);
  } else if (post && path == "/api/edit") {
    Edit(*login, request, respond);
  } else {
    respond(Error(path == "/api/tables" || path == "/api/rows" || path == "/api/sessions" ||
                          path == "/api/log" || path == "/api/edit" || path == "/api/logout"
                      ? 405
                      : 404,
                  "no such request"));
  }
  return true;
}

HttpReply Console::SessionInfo(const HttpRequest& request) {
  Login* login = FindLogin(request);
  std::string cookie;
  // Without users everyone admitted is a console user: a session is made
  // on the first visit, for its token.
  if (login == nullptr && !options_.logins) {
    login = &AddLogin({}, true, true);
    cookie = SessionCookie(login->token, request.tls);
  }
  JsonWriter json;
  json.BeginObject().Key("logins").Bool(options_.logins);
  json.Key("logged_in").Bool(login != nullptr);
  if (login != nullptr) {
    json.Key("user").String(login->user);
    json.Key("may_write").Bool(login->may_write && options_.editing);
    json.Key("token").String(login->csrf);
  }
  json.Key("editing").Bool(options_.editing);
  json.EndObject();
  HttpReply reply = Json(200, json.Take());
  reply.headers += cookie;
  return reply;
}

void Console::LogIn(const HttpRequest& request, const HttpResponder& respond) {
  if (!options_.logins) {
    respond(Error(400, "this server has no users"));
    return;
  }
  const auto form = ParseForm(request.body);
  const std::string user = FormValue(form, "user");
  const std::string password = FormValue(form, "password");
  if (user.empty() || password.empty() || !FieldSafe(user) || !FieldSafe(password)) {
    respond(Error(400, "user and password are needed"));
    return;
  }
  SessionIdentity identity;
  identity.tls = request.tls;
  identity.authenticated = false;
  identity.admitted = true;
  if (conversations() >= kMaxConsoleConversations) {
    respond(Error(503, "the console is busy; try again"));
    return;
  }
  conversations_.push_back(
      std::make_unique<Conversation>(dispatcher_, identity, request.peer, respond));
  Conversation& talk = *conversations_.back();
  const bool tls = request.tls;
  talk.Batch({"AUTHENTICATE~" + user + "~" + password, "GETLASTERRORTEXT"},
             [this, &talk, tls](std::vector<std::string>& replies) {
               if (replies[0] != "AUTHENTICATE") {
                 talk.Finish(Error(401, replies[1].substr(replies[1].find('~') + 1)));
                 return;
               }
               const SessionIdentity& granted = talk.identity();
               Login& login = AddLogin(granted.user, granted.may_write, granted.may_lock);
               JsonWriter json;
               json.BeginObject().Key("user").String(login.user).EndObject();
               HttpReply reply = Json(200, json.Take());
               reply.headers += SessionCookie(login.token, tls);
               talk.Finish(std::move(reply));
             });
}

HttpReply Console::LogOut(const HttpRequest& request) {
  const Login* login = FindLogin(request);
  if (login != nullptr) {
    const std::string token = login->token;
    std::erase_if(logins_, [&](const Login& each) { return each.token == token; });
  }
  HttpReply reply = Json(200, "{}");
  reply.headers += SessionCookie("", request.tls, /*expire=*/true);
  return reply;
}

HttpReply Console::Sessions() const {
  const int64_t now = NowMs();
  JsonWriter json;
  json.BeginObject().Key("sessions").BeginArray();
  size_t shown = 0;
  const std::vector<SessionView> views = dispatcher_.DescribeSessions();
  for (const SessionView& view : views) {
    if (json.size() > kMaxConsoleAnswerBytes) break;
    ++shown;
    json.BeginObject()
        .Key("peer").String(view.peer)
        .Key("connected_seconds").Number((now - view.connected_ms) / 1000)
        .Key("requests").Number(static_cast<int64_t>(view.requests))
        .Key("user").String(view.user)
        .Key("tls").Bool(view.tls)
        .Key("console").Bool(view.local)
        .Key("recordsets").Number(static_cast<int64_t>(view.recordsets))
        .Key("row_locks").Number(static_cast<int64_t>(view.row_locks))
        .Key("waiting").Bool(view.waiting)
        .Key("running_job").Bool(view.running_job)
        .EndObject();
  }
  json.EndArray().Key("truncated").Bool(shown < views.size()).EndObject();
  return Json(200, json.Take());
}

HttpReply Console::Log(const HttpRequest& request) const {
  const auto form = ParseForm(request.query);
  const int64_t wanted =
      std::min<int64_t>(ToNumber(FormValue(form, "lines"), 200), kMaxConsoleLogLines);
  std::string tail;
  if (!ReadFileTail(options_.error_log, kMaxConsoleLogBytes, tail)) {
    return Error(500, "the error log cannot be read");
  }
  std::vector<std::string> lines = Split(tail, '\n');
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  // A tail that began inside a line drops that line's end.
  if (tail.size() == kMaxConsoleLogBytes && !lines.empty()) lines.erase(lines.begin());
  const size_t first =
      lines.size() > static_cast<size_t>(wanted) ? lines.size() - static_cast<size_t>(wanted) : 0;
  JsonWriter json;
  json.BeginObject().Key("lines").BeginArray();
  for (size_t i = first; i < lines.size(); ++i) json.String(lines[i]);
  json.EndArray().EndObject();
  return Json(200, json.Take());
}

Conversation* Console::Start(const Login& login, const HttpRequest& request,
                             const HttpResponder& respond) {
  if (conversations() >= kMaxConsoleConversations) {
    respond(Error(503, "the console is busy; try again"));
    return nullptr;
  }
  SessionIdentity identity;
  identity.tls = request.tls;
  identity.admitted = true;
  identity.authenticated = options_.logins;
  identity.user = login.user;
  identity.may_write = login.may_write && options_.editing;
  identity.may_lock = login.may_lock;
  conversations_.push_back(
      std::make_unique<Conversation>(dispatcher_, identity, request.peer, respond));
  return conversations_.back().get();
}

void Console::Tables(const Login& login, const HttpRequest& request,
                     const HttpResponder& respond) {
  Conversation* started = Start(login, request, respond);
  if (started == nullptr) return;
  Conversation& talk = *started;
  // One table after the other, each opened, described, counted and
  // closed; the answer is built as they come.
  struct State {
    std::vector<std::string> names;
    size_t next = 0;
    JsonWriter json;
    std::function<void()> step;
  };
  auto walk = std::make_shared<State>();
  walk->json.BeginObject().Key("tables").BeginArray();
  // The step holds its state weakly (no cycle); the pending batch's
  // callback holds it strongly.
  walk->step = [&talk, weak = std::weak_ptr<State>(walk)] {
    const std::shared_ptr<State> state = weak.lock();
    if (state == nullptr) return;
    if (state->next >= state->names.size() || state->json.size() > kMaxConsoleAnswerBytes) {
      state->json.EndArray().Key("truncated").Bool(state->next < state->names.size()).EndObject();
      talk.Finish(Json(200, state->json.Take()));
      return;
    }
    const std::string table = state->names[state->next++];
    talk.Batch({"CREATERECORDSET"}, [&talk, state, table](std::vector<std::string>& created) {
      if (Failed(created[0])) {
        FailWithReason(talk, 0, 409);
        return;
      }
      const int32_t handle = HandleOf(created[0]);
      const std::string h = std::to_string(handle);
      talk.Batch({"RECORDSETOPEN~" + h + "~" + table, "RECORDSETGETROWCOUNT~" + h,
                  "RECORDSETGETFIELDCOUNT~" + h},
                 [&talk, state, table, handle, h](std::vector<std::string>& opened) {
                   const bool open = !Failed(opened[0]);
                   const int64_t rows = open ? ToNumber(AfterHandle(opened[1]), -1) : -1;
                   const int64_t fields = open ? ToNumber(AfterHandle(opened[2]), 0) : 0;
                   ReadColumns(talk, handle, fields,
                               [&talk, state, table, rows, h](std::vector<ColumnInfo> columns) {
                                 state->json.BeginObject().Key("name").String(table);
                                 state->json.Key("rows").Number(rows).Key("columns");
                                 WriteColumns(state->json, columns);
                                 state->json.EndObject();
                                 talk.Batch({"RECORDSETCLOSE~" + h},
                                            [state](std::vector<std::string>&) { state->step(); });
                               });
                 });
    });
  };
  talk.Batch({"GETTABLENAMES"}, [&talk, state = walk](std::vector<std::string>& replies) {
    if (Failed(replies[0])) {
      FailWithReason(talk, 0, 409);
      return;
    }
    std::vector<std::string> names = Split(replies[0], '~');
    names.erase(names.begin());
    std::erase(names, std::string());
    state->names = std::move(names);
    state->step();
  });
}

void Console::Rows(const Login& login, const HttpRequest& request,
                   const HttpResponder& respond) {
  const auto form = ParseForm(request.query);
  const std::string table = FormValue(form, "table");
  const std::string sort = FormValue(form, "sort");
  const bool descending = FormValue(form, "order") == "desc";
  const int64_t offset = ToNumber(FormValue(form, "offset"), 0);
  const int64_t limit =
      std::min<int64_t>(ToNumber(FormValue(form, "limit"), 100), kMaxConsolePageRows);
  // Filters: fc (column), fo (operator), fv (value), repeated in order.
  std::vector<std::string> filters;
  std::vector<std::string> columns_of, operators, values;
  for (const auto& [key, value] : form) {
    if (key == "fc") columns_of.push_back(value);
    if (key == "fo") operators.push_back(value);
    if (key == "fv") values.push_back(value);
  }
  if (table.empty() || !FieldSafe(table) || !FieldSafe(sort) || offset > INT32_MAX - 1 ||
      columns_of.size() != operators.size() || columns_of.size() != values.size() ||
      columns_of.size() > 16) {
    respond(Error(400, "table, and filters as fc, fo and fv triples, are needed"));
    return;
  }
  for (size_t i = 0; i < columns_of.size(); ++i) {
    if (!FieldSafe(columns_of[i]) || !FieldSafe(operators[i]) || !FieldSafe(values[i])) {
      respond(Error(400, "a filter holds a character the protocol cannot carry (~)"));
      return;
    }
    filters.push_back(columns_of[i] + "~" + operators[i] + "~" + values[i] + "~0~0");
  }
  Conversation* started = Start(login, request, respond);
  if (started == nullptr) return;
  Conversation& talk = *started;
  talk.Batch({"CREATERECORDSET"}, [&talk, table, sort, descending, offset, limit,
                                   filters](std::vector<std::string>& created) {
    if (Failed(created[0])) {
      FailWithReason(talk, 0, 409);
      return;
    }
    const int32_t handle = HandleOf(created[0]);
    const std::string h = std::to_string(handle);
    std::vector<std::string> requests;
    for (const std::string& filter : filters) {
      requests.push_back("RECORDSETADDFILTERCOLUMN~" + h + "~" + filter);
    }
    requests.push_back("RECORDSETOPEN~" + h + "~" + table);
    if (!sort.empty()) {
      requests.push_back("RECORDSETSORT~" + h + "~" + sort + "~" + (descending ? "0" : "1"));
    }
    requests.push_back("RECORDSETGETROWCOUNT~" + h);
    requests.push_back("RECORDSETGETFIELDCOUNT~" + h);
    talk.Batch(std::move(requests), [&talk, handle, table, sort, descending, offset,
                                     limit](std::vector<std::string>& replies) {
      for (const std::string& reply : replies) {
        if (Failed(reply)) {
          FailWithReason(talk, handle, 409);
          return;
        }
      }
      const int64_t total = ToNumber(AfterHandle(replies[replies.size() - 2]), 0);
      const int64_t fields = ToNumber(AfterHandle(replies.back()), 0);
      ReadColumns(talk, handle, fields, [&talk, handle, table, sort, descending, offset, limit,
                                         total](std::vector<ColumnInfo> columns) {
        const int64_t count = std::max<int64_t>(0, std::min(limit, total - offset));
        FetchRows(talk, handle, columns, offset, count,
                  [&talk, handle, table, sort, descending, offset, total,
                   columns](std::vector<std::vector<std::optional<std::string>>> rows) {
                    JsonWriter json;
                    json.BeginObject().Key("table").String(table);
                    json.Key("total").Number(total).Key("offset").Number(offset);
                    json.Key("sort").String(sort).Key("descending").Bool(descending);
                    json.Key("columns");
                    WriteColumns(json, columns);
                    json.Key("rows").BeginArray();
                    size_t shown = 0;
                    for (const auto& row : rows) {
                      if (json.size() > kMaxConsoleAnswerBytes) break;
                      ++shown;
                      json.BeginArray();
                      for (const auto& value : row) {
                        if (value) {
                          json.String(*value);
                        } else {
                          json.Null();
                        }
                      }
                      json.EndArray();
                    }
                    json.EndArray().Key("truncated").Bool(shown < rows.size()).EndObject();
                    const std::string body = json.Take();
                    talk.Batch({"RECORDSETCLOSE~" + std::to_string(handle)},
                               [&talk, body](std::vector<std::string>&) {
                                 talk.Finish(Json(200, body));
                               });
                  });
      });
    });
  });
}

void Console::Edit(const Login& login, const HttpRequest& request,
                   const HttpResponder& respond) {
  if (!options_.editing) {
    respond(Error(403, "editing is off (ConsoleEditing)"));
    return;
  }
  const auto form = ParseForm(request.body);
  const std::string action = FormValue(form, "action");
  const std::string table = FormValue(form, "table");
  const std::string key = FormValue(form, "key");
  const std::string key_value = FormValue(form, "keyvalue");
  // The fields to set: c (column) and v (value), repeated in order.
  std::vector<std::string> names, values;
  for (const auto& [name, value] : form) {
    if (name == "c") names.push_back(value);
    if (name == "v") values.push_back(value);
  }
  bool safe = FieldSafe(table) && FieldSafe(key) && FieldSafe(key_value) &&
              names.size() == values.size() && names.size() <= 99;
  for (size_t i = 0; safe && i < names.size(); ++i) {
    safe = FieldSafe(names[i]) && FieldSafe(values[i]) && !names[i].empty();
  }
  const bool known = action == "set" || action == "add" || action == "delete";
  if (!known || !safe || table.empty() || key.empty() || key_value.empty() ||
      (action != "delete" && names.empty())) {
    respond(Error(400, "action (set, add, delete), table, key, keyvalue and the c/v fields "
                       "are needed; no value may hold ~"));
    return;
  }
  Conversation* started = Start(login, request, respond);
  if (started == nullptr) return;
  Conversation& talk = *started;
  talk.Batch({"CREATERECORDSET"}, [&talk, action, table, key, key_value, names,
                                   values](std::vector<std::string>& created) {
    if (Failed(created[0])) {
      FailWithReason(talk, 0, 409);
      return;
    }
    const int32_t handle = HandleOf(created[0]);
    const std::string h = std::to_string(handle);
    // The row is the one whose key column holds key_value; an add opens on
    // the same condition, so it meets no other row.
    talk.Batch({"RECORDSETADDFILTERCOLUMN~" + h + "~" + key + "~=~" + key_value + "~0~0",
                "RECORDSETOPEN~" + h + "~" + table, "RECORDSETGETROWCOUNT~" + h},
               [&talk, action, handle, h, names, values](std::vector<std::string>& opened) {
                 if (Failed(opened[0]) || Failed(opened[1]) || Failed(opened[2])) {
                   FailWithReason(talk, handle, 409);
                   return;
                 }
                 const int64_t rows = ToNumber(AfterHandle(opened[2]), 0);
                 const bool adding = action == "add";
                 if ((adding && rows != 0) || (!adding && rows != 1)) {
                   const std::string why = adding ? "a row with that key exists already"
                                         : rows == 0 ? "no row has that key"
                                                     : "more than one row has that key";
                   talk.Batch({"RECORDSETCLOSE~" + h}, [&talk, why](std::vector<std::string>&) {
                     talk.Finish(Error(409, why));
                   });
                   return;
                 }
                 std::vector<std::string> steps;
                 if (adding) {
                   steps.push_back("RECORDSETADDROW~" + h);
                 } else {
                   steps.push_back("RECORDSETMOVEFIRST~" + h);
                 }
                 if (action == "delete") {
                   steps.push_back("RECORDSETDELETECURRENTROW~" + h);
                 } else {
                   for (size_t i = 0; i < names.size(); ++i) {
                     steps.push_back("RECORDSETSETFIELDVALUE~" + h + "~" + names[i] + "~" +
                                     values[i]);
                   }
                 }
                 // The update goes alone once every step took: a failed
                 // step must not let the others be stored without it (the
                 // close drops what is pending).
                 talk.Batch(std::move(steps), [&talk, handle, h](std::vector<std::string>& done) {
                   for (const std::string& reply : done) {
                     if (Failed(reply)) {
                       FailWithReason(talk, handle, 409);
                       return;
                     }
                   }
                   talk.Batch({"RECORDSETUPDATE~" + h},
                              [&talk, handle, h](std::vector<std::string>& updated) {
                                if (Failed(updated[0])) {
                                  FailWithReason(talk, handle, 409);
                                  return;
                                }
                                talk.Batch({"RECORDSETCLOSE~" + h},
                                           [&talk](std::vector<std::string>&) {
                                             talk.Finish(Json(200, "{\"ok\":true}"));
                                           });
                              });
                 });
               });
  });
}

}  // namespace zt
