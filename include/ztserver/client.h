// The ZTServer client library: one blocking connection to a server, its
// requests and replies, and a typed helper for every command.
//
//   ztserver::Connection db;
//   if (ztserver::Status s = db.Open({.host = "127.0.0.1", .port = 5432}); !s.ok()) {
//     std::cerr << s.message() << "\n";
//   }
//   ztserver::Result<ztserver::Recordset> rs = ztserver::Recordset::Create(db);
//   if (rs.ok() && db.RecordsetOpen(rs->handle(), "Customers").ok()) {
//     for (bool end = false; !end;) {  // RECORDSETFETCHROWS, a batch at a time
//       ztserver::Result<ztserver::RowBatch> batch =
//           db.RecordsetFetchRows(rs->handle(), 1000, {"Id", "Name"});
//       if (!batch.ok()) break;
//       for (const std::vector<std::string>& row : batch->rows) std::cout << row[1] << "\n";
//       end = batch->end;
//     }
//   }  // the recordset closes itself here
//
// Three levels, each usable alone:
// - Call(request) -> Reply: one request text ("RECORDSETMOVENEXT~1"), its
//   reply cut into fields. Send() and Receive() pipeline: send many, then
//   read their replies in order; CallAll() does both.
// - The typed helpers, named after the commands (RECORDSETGETROWCOUNT is
//   RecordsetGetRowCount): they build the request, check its reply, and
//   give a Status or a Result<T>. A FAILED reply becomes an error whose
//   message is the reason the server keeps (fetched with GETLASTERRORTEXT
//   or RECORDSETGETLASTERROR, whichever text the command uses).
// - SendFrame/SendRaw/ReadExactly/WaitForClose: bytes as they are, for
//   tests of broken frames and for load generators.
// Apart from the protocol, HttpGet reads the server's metrics and health
// endpoint.
//
// Nothing throws; every failure is a value. A connection is used by one
// thread at a time. After a timeout or a broken connection it is closed:
// a reply arriving late would otherwise be taken for the answer to the next
// request. The server never answers a command it does not know, so Call and
// Send refuse such a name locally (ErrorCode::kUnknownCommand) instead of
// waiting for the timeout; SendFrame sends anything.
//
// The protocol itself is described in docs/protocol.md.
#ifndef ZTSERVER_CLIENT_H_
#define ZTSERVER_CLIENT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace ztserver {

enum class ErrorCode {
  kOk = 0,
  kFailed,          // the server answered COMMAND~FAILED
  kConnect,         // the server could not be reached
  kGreeting,        // no greeting, or not a ZTServer greeting
  kTimeout,         // no reply within the reply timeout
  kClosed,          // the server closed the connection
  kNotConnected,    // the connection was never opened, or was closed
  kUnknownCommand,  // not a command of the protocol: refused, never sent
  kInvalidArgument, // a value that cannot be sent (a "~", STX, ETX, NUL; blank)
  kBadReply,        // a reply of an unexpected shape
};

// The name of a code, for messages ("timeout", "closed", ...).
const char* ErrorCodeName(ErrorCode code);

class [[nodiscard]] Status {
 public:
  Status() = default;  // success
  Status(ErrorCode code, std::string message) : code_(code), message_(std::move(message)) {}

  bool ok() const { return code_ == ErrorCode::kOk; }
  explicit operator bool() const { return ok(); }
  ErrorCode code() const { return code_; }
  // Why it failed: the server's reason for kFailed (may be empty when the
  // server keeps none), a description otherwise.
  const std::string& message() const { return message_; }

 private:
  ErrorCode code_ = ErrorCode::kOk;
  std::string message_;
};

// Reading the value of a failed Result is a programming error: the library
// says so on standard error, naming the failure, and aborts (in every
// build), instead of handing out a value that is not there.
[[noreturn]] void AbortOnFailedResult(const Status& status);

// A value, or the Status that says why there is none.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: implicit on purpose
  Result(Status status) : status_(std::move(status)) {}  // NOLINT
  // A result of another type whose value converts (Result<Handle> to
  // Result<int32_t>, for code written before the typed handles).
  template <typename U, typename = std::enable_if_t<!std::is_same_v<U, T> &&
                                                    std::is_convertible_v<const U&, T>>>
  Result(const Result<U>& other) : status_(other.status()) {  // NOLINT
    if (other.ok()) value_ = T(other.value());
  }

  bool ok() const { return value_.has_value(); }
  explicit operator bool() const { return ok(); }
  const Status& status() const { return status_; }
  // Only when ok(); otherwise AbortOnFailedResult.
  const T& value() const& { return Checked(); }
  T& value() & { return const_cast<T&>(Checked()); }
  const T& operator*() const { return Checked(); }
  const T* operator->() const { return &Checked(); }
  T value_or(T fallback) const { return value_ ? *value_ : std::move(fallback); }

 private:
  const T& Checked() const {
    if (!value_) AbortOnFailedResult(status_);
    return *value_;
  }
  std::optional<T> value_;
  Status status_;
};

// A recordset handle and a row number (a bookmark) are both small integers
// on the wire, and each converts from and to int32_t, but not into the
// other: a row number passed where a handle is wanted, or the reverse,
// does not compile.
class Handle {
 public:
  constexpr Handle() = default;
  constexpr Handle(int32_t value) : value_(value) {}  // NOLINT: a bare handle
  constexpr operator int32_t() const { return value_; }  // NOLINT
  constexpr int32_t value() const { return value_; }

 private:
  int32_t value_ = 0;
};

class RowNumber {
 public:
  constexpr RowNumber() = default;
  constexpr RowNumber(int32_t value) : value_(value) {}  // NOLINT: a bare row number
  constexpr operator int32_t() const { return value_; }  // NOLINT
  constexpr int32_t value() const { return value_; }

 private:
  int32_t value_ = 0;
};

// One reply: answered (ok or FAILED), or not answered and why.
struct Reply {
  ErrorCode code = ErrorCode::kNotConnected;  // kOk, kFailed, or why no reply came
  std::string text;                           // the reply text as received
  std::vector<std::string> fields;            // text cut at "~"; fields[0] is the name
  std::string error;                          // why no reply came (empty when one did)

  bool ok() const { return code == ErrorCode::kOk; }
  bool failed() const { return code == ErrorCode::kFailed; }
  bool answered() const { return ok() || failed(); }
  // Field i, or an empty text when the reply has fewer.
  const std::string& field(size_t i) const;
};

// A received reply text cut into fields and judged: a failure exactly when
// it has two fields and the second is FAILED ("NAME~FAILED"); a value that
// happens to be the text FAILED ("RECORDSETGETFIELDVALUE~1~FAILED") is a
// success.
Reply ParseReply(std::string text);

// Which error text keeps the reason of a command's failure.
enum class ErrorText {
  kDatabase,   // GETLASTERRORTEXT (kept per connection)
  kRecordset,  // RECORDSETGETLASTERROR~handle
  kNone,       // the command keeps no reason
};

struct CommandInfo {
  const char* name;      // in capitals, as replies carry it
  bool has_handle;       // field 2 is a recordset handle
  ErrorText error_text;  // where its failure's reason goes
  bool extension;        // not every server knows it (never answered there)
};

// Every command of the protocol, in the order docs/protocol.md lists them.
const std::vector<CommandInfo>& Commands();
// The command of a request's first field, without regard to case; null
// when the protocol has no such command.
const CommandInfo* FindCommand(std::string_view name);

struct Options {
  std::string host = "127.0.0.1";
  uint16_t port = 5432;
  int connect_timeout_ms = 5000;
  int reply_timeout_ms = 15000;
  // Typed helpers fetch the reason of a FAILED reply (one more request).
  bool fetch_reasons = true;

  // TLS (the server's TlsAddress listener). The server's certificate must
  // chain to ca_file (empty: the system's CAs) and name server_name (empty:
  // host), or Open fails with kConnect: verification is on unless
  // verify_server is cleared, which only a test should do.
  bool tls = false;
  std::string ca_file;
  std::string server_name;
  bool verify_server = true;
  // A client certificate and its key (PEM), for servers with TlsClientCA.
  std::string certificate_file;
  std::string key_file;

  // With user set, Open sends AUTHENTICATE~user~password after the
  // greeting and fails with kFailed (and the server's reason) when it is
  // refused.
  std::string user;
  std::string password;
};

// Rows of a RECORDSETFETCHROWS reply (an extension; docs/protocol.md).
struct RowBatch {
  size_t columns = 0;                           // values a row
  std::vector<std::vector<std::string>> rows;  // each row's values, decoded
  bool end = false;  // the recordset stands past its last row: no rows are left
};

// The values of a RECORDSETFETCHROWS reply's text, decoded (DLE escapes
// undone); kBadReply when its counts do not match its values.
Result<RowBatch> ParseFetchReply(const Reply& reply);

struct FieldInfo {
  std::string name;
  int32_t type = 0;  // 1 integer, 2 numeric, 3 float; anything else is text
  int32_t size = 0;  // bytes
};

class Connection {
 public:
  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;
  ~Connection();

  // Connects and reads the greeting.
  Status Open(const Options& options);
  // Connects without reading the greeting (tests of the greeting itself).
  Status Connect(const Options& options);
  Status ReadGreeting();
  void Close();
  bool connected() const { return fd_ >= 0; }
  // The socket, -1 when closed. A program may shutdown() it (from a signal
  // handler too: the call is async-signal-safe) to abandon a request the
  // library is waiting on; the wait then ends as a closed connection.
  int descriptor() const { return fd_; }
  bool tls() const { return tls_ != nullptr; }
  // AUTHENTICATE~user~password; kFailed with the server's reason.
  Status Authenticate(std::string_view user, std::string_view password);
  const Options& options() const { return options_; }
  void set_reply_timeout_ms(int ms) { options_.reply_timeout_ms = ms; }

  // ---- Requests and replies ------------------------------------------------
  Reply Call(std::string_view request);
  // Pipelining: Send queues nothing locally, it writes the frame at once;
  // Receive reads the next reply. Replies come in the order of the requests.
  Status Send(std::string_view request);
  Reply Receive();
  // Sends every request, then reads every reply (one write, in order).
  std::vector<Reply> CallAll(const std::vector<std::string>& requests);
  // The reason the server keeps for a FAILED reply to request: the text of
  // the command's error text (see CommandInfo); empty when it keeps none.
  Result<std::string> FailureReason(std::string_view request);

  // ---- Bytes as they are -----------------------------------------------------
  // These take a timeout of their own (-1: the reply timeout) and, unlike
  // the request level, stay connected after a timeout: a test may wait for
  // a reply that must not come, then read it later.
  // STX text ETX, whatever the text (no command check).
  Status SendFrame(std::string_view text);
  Status SendRaw(std::string_view bytes, int timeout_ms = -1);
  // The next reply frame's text into text (no splitting, no allocation once
  // text has grown): the fast path for load generators.
  Status ReceiveText(std::string& text, int timeout_ms = -1);
  // Exactly n bytes, outside any frame.
  Result<std::string> ReadExactly(size_t n, int timeout_ms = -1);
  // True when the server closes the connection within timeout_ms (anything
  // arriving meanwhile is dropped).
  bool WaitForClose(int timeout_ms) { return ReadToClose(nullptr, timeout_ms); }
  // Reads until the server closes (or resets) the connection within
  // timeout_ms; *bytes receives everything not yet read as replies (null:
  // dropped). False on timeout.
  bool ReadToClose(std::string* bytes, int timeout_ms);
  // Tells the server no more requests come; replies can still be read.
  void ShutdownWrite();
  // Ends the connection with a reset instead of an orderly close.
  void Abort();

  // ---- Session and database --------------------------------------------------
  Status StartTransaction();
  Status CommitTransaction();
  Status RollbackTransaction();
  Result<std::string> GetLastErrorText();
  Result<Handle> CreateRecordset();
  Status RecordsetClose(Handle h);
  Result<bool> RecordsetIsConnected(Handle h);
  Result<std::string> RecordsetGetLastError(Handle h);
  Result<std::vector<std::string>> GetLocationInformation();  // eight texts
  // texts[0] must not be blank; missing texts become empty.
  Status SetLocationInformation(const std::vector<std::string>& texts);
  Status RebuildDatabase();
  // Extension: a server without it never answers (kTimeout). Asks for the
  // counted shape (GETTABLENAMES~COUNT), which no table name can confuse.
  Result<std::vector<std::string>> GetTableNames();

  // ---- Opening, filters, navigation ------------------------------------------
  Status RecordsetOpen(Handle h, std::string_view table);
  Status RecordsetOpenFloor(Handle h, std::string_view table, std::string_view column,
                            std::string_view value);
  Status RecordsetOpenCeiling(Handle h, std::string_view table, std::string_view column,
                              std::string_view value);
  // op: = < <= > >= <>; the two numbers are kept by the server, not used.
  Status RecordsetAddFilterColumn(Handle h, std::string_view column, std::string_view op,
                                  std::string_view value, int32_t hint = 0, int32_t extra = 0);
  Status RecordsetClearFilters(Handle h);
  // An empty value shows every row again.
  Status RecordsetFilterOn(Handle h, std::string_view column, std::string_view value = {});
  Result<bool> RecordsetCanBookmark(Handle h);
  Status RecordsetSetBookmark(Handle h, RowNumber row);
  Result<RowNumber> RecordsetGetBookmark(Handle h);
  // Extension (RECORDSETFETCHROWS): up to max_rows rows from the current
  // row on, of the columns named (empty: every live column); the recordset
  // then stands after them. A batch may hold fewer rows than asked for
  // while end is false (the server bounds each reply).
  Result<RowBatch> RecordsetFetchRows(Handle h, int32_t max_rows,
                                      const std::vector<std::string>& columns = {});
  Result<RowNumber> RecordsetGetLastUpdatedBookmark(Handle h);
  Result<int32_t> RecordsetGetRowCount(Handle h);
  Result<int32_t> RecordsetGetSelectedRowCount(Handle h);
  Result<int32_t> RecordsetGetFilteredCount(Handle h);
  Status RecordsetMoveFirst(Handle h);
  Status RecordsetMoveNext(Handle h);
  Status RecordsetMovePrev(Handle h);
  Status RecordsetMoveLast(Handle h);

  // ---- Row locks and editing -------------------------------------------------
  Result<bool> RecordsetIsCurrentRowLocked(Handle h);
  Status RecordsetLockCurrentRow(Handle h);
  Status RecordsetUnlockCurrentRow(Handle h);
  Status RecordsetLockAll(Handle h);
  Status RecordsetUnlockAll(Handle h);
  Status RecordsetAddRow(Handle h);
  // value must not be blank (a blank value cannot be sent).
  Status RecordsetSetFieldValue(Handle h, std::string_view column, std::string_view value);
  // The whole value, "~" included.
  Result<std::string> RecordsetGetFieldValue(Handle h, std::string_view column);
  Status RecordsetUpdate(Handle h);
  Status RecordsetDeleteCurrentRow(Handle h);
  Status RecordsetDeleteAll(Handle h);
  Status RecordsetFindRow(Handle h, std::string_view column, std::string_view prefix);
  Status RecordsetSort(Handle h, std::string_view column, bool ascending = true);

  // ---- Field metadata and row selection --------------------------------------
  Result<int32_t> RecordsetGetFieldCount(Handle h);
  Result<std::string> RecordsetGetFieldName(Handle h, int32_t field);
  Result<FieldInfo> RecordsetGetFieldInfo(Handle h, int32_t field);
  Result<bool> RecordsetIsFieldNullable(Handle h, int32_t field);
  Result<bool> RecordsetIsFieldKeyColumn(Handle h, int32_t field);
  Result<bool> RecordsetIsFieldBlob(Handle h, int32_t field);
  Result<int32_t> RecordsetGetFieldSize(Handle h, int32_t field);
  Status RecordsetSelectRow(Handle h, RowNumber row);
  Status RecordsetDeselectRow(Handle h, RowNumber row);
  Status RecordsetSelectAll(Handle h);
  Status RecordsetDeselectAll(Handle h);
  Status RecordsetSelectRowsRange(Handle h, RowNumber first, RowNumber last);
  Status RecordsetDeselectRowsRange(Handle h, RowNumber first, RowNumber last);
  Result<bool> RecordsetIsRowSelected(Handle h, RowNumber row);
  Status RecordsetMoveToFirstSelectedRow(Handle h);
  Status RecordsetMoveToNextSelectedRow(Handle h);
  Status RecordsetMoveToPrevSelectedRow(Handle h);
  Status RecordsetMoveToLastSelectedRow(Handle h);

 private:
  // A typed helper's exchange: the reply when it succeeded, else the error
  // (with the server's reason for a FAILED reply).
  Result<Reply> Exchange(const std::string& request);
  Status Expect(const std::string& request);
  Result<std::string> Text(const std::string& request, size_t skip);
  Result<int32_t> Number(const std::string& request);
  Result<bool> Flag(const std::string& request);
  // Waits for more bytes; a closed or broken connection is closed here, a
  // timeout is only reported.
  Status Fill(int timeout_ms);
  int TimeoutOr(int timeout_ms) const {
    return timeout_ms < 0 ? options_.reply_timeout_ms : timeout_ms;
  }
  Status Broken(ErrorCode code, std::string message);
  // The TLS handshake over the connected socket, within the connect timeout.
  Status StartTls();
  // One send or receive, through TLS when it is on: like send and recv, with
  // errno EAGAIN when the socket must be ready first (*want_write: for
  // writing).
  long RawSend(const char* data, size_t n, bool* want_write);
  long RawReceive(char* buffer, size_t n, bool* want_write);
  // Bytes TLS has decrypted and not yet handed out (no poll will tell).
  bool TlsPending() const;

  struct TlsState;
  struct TlsDeleter {
    void operator()(TlsState* state) const;
  };
  std::unique_ptr<TlsState, TlsDeleter> tls_;
  int fd_ = -1;
  Options options_;
  // Received bytes; those before read_ are consumed (a burst of small
  // replies costs one erase per receive, not one per reply).
  std::string buffer_;
  size_t read_ = 0;
};

// A recordset that closes itself: created on a connection, closed (its
// row locks released with it) when it goes out of scope, unless released
// first. The connection must outlive it. Movable, not copyable.
class Recordset {
 public:
  // CREATERECORDSET on db.
  static Result<Recordset> Create(Connection& db);
  Recordset(Recordset&& other) noexcept
      : db_(other.db_), handle_(other.handle_) { other.db_ = nullptr; }
  Recordset& operator=(Recordset&& other) noexcept;
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;
  ~Recordset() { (void)Close(); }

  Handle handle() const { return handle_; }
  // RECORDSETCLOSE now; nothing is left to close afterwards.
  Status Close();
  // Gives up ownership: the handle stays open on the server.
  Handle Release() {
    db_ = nullptr;
    return handle_;
  }

 private:
  Recordset(Connection& db, Handle handle) : db_(&db), handle_(handle) {}
  Connection* db_;
  Handle handle_;
};

// ---- The server's HTTP endpoint ----------------------------------------------
// The metrics and health endpoint (MetricsAddress in the server's INI file)
// answers one request per connection and then closes it.
struct HttpResponse {
  int status = 0;    // from the status line
  std::string body;  // everything after the header block
};

// One GET of path ("/metrics", "/health") from the endpoint at host:port,
// each step (connecting, sending, reading to the close) within timeout_ms. The
// error is kConnect when it cannot be reached, kTimeout (or kClosed) when it
// does not answer, kBadReply when the answer is not an HTTP response.
Result<HttpResponse> HttpGet(const std::string& host, uint16_t port, std::string_view path,
                             int timeout_ms);

// Whether a value can be sent as one field: not blank (the server reads a
// blank field as a missing one), and no "~", STX, ETX or NUL. Blanks at
// either end are sent but trimmed by the server.
bool IsSendable(std::string_view value);

}  // namespace ztserver

#endif  // ZTSERVER_CLIENT_H_
