// Status and Result<T>: how an operation of the server's layers says it
// failed. A Status is a code (what kind of failure, for the caller to act
// on) and a message (what happened, in words an operator or a client may
// read); success carries neither. Result<T> is a value or the Status that
// says why there is none. Both are returned and [[nodiscard]]: a failure is
// never left in a side channel for the caller to fetch.
//
// A message says what failed ("the log cannot be synced: Input/output
// error"); the protocol layer, the one place that knows which request it
// answers, makes the client's exact text from it ("UPDATE: The change
// could not be made durable: ..."). Nothing here throws.
#ifndef ZT_ENGINE_STATUS_H_
#define ZT_ENGINE_STATUS_H_

#include <cassert>
#include <optional>
#include <string>
#include <utility>

namespace zt {

enum class StatusCode {
  kOk = 0,
  kNotFound,      // no such table, column, row, handle or file
  kInvalid,       // a request or argument that can never succeed as given
  kBusy,          // another holder (a lock, a long change) is in the way; may succeed later
  kIo,            // a file or the disk failed (errno's text in the message)
  kCorrupt,       // bytes read back are not what the format allows
  kNoMemory,      // a memory bound was reached
  kNotConnected,  // no database is open
};

class [[nodiscard]] Status {
 public:
  Status() = default;  // success
  Status(StatusCode code, std::string message) : code_(code), message_(std::move(message)) {
    assert(code != StatusCode::kOk);
  }

  static Status Ok() { return Status(); }
  static Status NotFound(std::string message) {
    return Status(StatusCode::kNotFound, std::move(message));
  }
  static Status Invalid(std::string message) {
    return Status(StatusCode::kInvalid, std::move(message));
  }
  static Status Busy(std::string message) { return Status(StatusCode::kBusy, std::move(message)); }
  static Status Io(std::string message) { return Status(StatusCode::kIo, std::move(message)); }
  static Status Corrupt(std::string message) {
    return Status(StatusCode::kCorrupt, std::move(message));
  }
  static Status NoMemory(std::string message) {
    return Status(StatusCode::kNoMemory, std::move(message));
  }
  static Status NotConnected(std::string message) {
    return Status(StatusCode::kNotConnected, std::move(message));
  }

  bool ok() const { return code_ == StatusCode::kOk; }
  StatusCode code() const { return code_; }
  // Empty on success.
  const std::string& message() const { return message_; }
  // The same failure with context before its message: "<context>: <message>".
  Status Within(const std::string& context) const {
    return ok() ? *this : Status(code_, context + ": " + message_);
  }

 private:
  StatusCode code_ = StatusCode::kOk;
  std::string message_;
};

// A value, or the failure that left none.
template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : value_(std::move(value)) {}  // NOLINT: a value converts
  Result(Status status) : status_(std::move(status)) {  // NOLINT: so does a failure
    assert(!status_.ok());
  }

  bool ok() const { return value_.has_value(); }
  const Status& status() const { return status_; }
  // Only when ok().
  T& value() {
    assert(ok());
    return *value_;
  }
  const T& value() const {
    assert(ok());
    return *value_;
  }

 private:
  std::optional<T> value_;
  Status status_;
};

}  // namespace zt

#endif  // ZT_ENGINE_STATUS_H_
