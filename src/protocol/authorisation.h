// Authorisation: who may send which request. The dispatcher asks Admit
// before it runs any command; everything here is off unless the server has
// a users file, and then a client that never authenticates sees exactly
// what it always saw unless RequireAuthentication is on.
//
// Rules, in the order Admit applies them:
//   1. A session from the TLS listener whose verified client certificate
//      names a known user (its common name) is authenticated as that user
//      at its first request.
//   2. AUTHENTICATE~user~password is answered here. Over the plain port it
//      is refused unless the peer is loopback or AllowPlainPasswords is on
//      (the password would cross the network in clear). A peer address
//      whose earlier attempts failed waits before its next attempt is
//      checked (AuthThrottle): the request stays at the head of its
//      session's queue, like a deferred lock, and other clients are served
//      meanwhile. Success answers the bare name and admits the session;
//      failure answers AUTHENTICATE~FAILED whether the user exists or not
//      (an unknown user costs the same hash as a known one).
//   3. With RequireAuthentication, every other request of a session not
//      authenticated fails at once, except GETLASTERRORTEXT, which holds only
//      the session's own texts and is where the reason is.
//   4. An authenticated user's rights: a read-only user is refused every
//      command whose Access is kEdit or kWrite, and the commands that take
//      row locks (the deferrable kLock commands: only taking a lock can
//      meet a conflict) unless the user's access is readlock. Releasing
//      locks and closing recordsets stay allowed: they hold nothing.
// A refused request is answered with its command's failure reply, and the
// reason is left where the client looks for it (GETLASTERRORTEXT, or the
// recordset's own text for a RECORDSET command on an existing handle).
#ifndef ZT_PROTOCOL_AUTHORISATION_H_
#define ZT_PROTOCOL_AUTHORISATION_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "net/session.h"
#include "protocol/fields.h"

namespace zt {

class ClientState;
class Recordsets;
struct Command;

// What an account may do (the users file's access, as the protocol sees it).
struct Account {
  std::string name;
  bool may_write = true;
  bool may_lock = true;
};

// The users, as the service reads them. Verify hashes the password whether
// or not the user exists.
class AccountStore {
 public:
  virtual ~AccountStore() = default;
  virtual std::optional<Account> Verify(std::string_view user, std::string_view password) = 0;
  // The account of a name vouched for by a client certificate.
  virtual std::optional<Account> Find(std::string_view user) = 0;
};

// Delays of failed attempts, per peer address. After n failures in a row
// an address's next attempt is checked no sooner than
// min(first_delay * 2^(n-1), max_delay) after the last. An address is
// forgotten when it succeeds, or once it has been quiet for
// kAuthFailureMemoryMs (or twice max_delay, if longer): a patient attacker
// stays at the longest delay. The table holds at most kMaxTrackedAddresses: when it is full
// the entry with the oldest failure makes room (an attacker with that many
// addresses is throttled by the cost of the hash instead).
inline constexpr size_t kMaxTrackedAddresses = 4096;
inline constexpr int64_t kAuthFailureMemoryMs = 15 * 60 * 1000;
inline constexpr int kDefaultAuthFailureDelayMs = 250;
inline constexpr int kDefaultAuthMaxFailureDelayMs = 30000;

class AuthThrottle {
 public:
  void set_delays(int first_ms, int max_ms) {
    first_delay_ms_ = first_ms;
    max_delay_ms_ = max_ms;
  }
  // When the address may try next (0: now).
  int64_t NotBefore(const std::string& address, int64_t now_ms);
  // Records a failure; returns the delay before the next attempt.
  int64_t Failed(const std::string& address, int64_t now_ms);
  void Succeeded(const std::string& address) { entries_.erase(address); }
  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    uint32_t failures = 0;
    int64_t last_failure_ms = 0;
    int64_t not_before_ms = 0;
  };
  std::unordered_map<std::string, Entry> entries_;
  int first_delay_ms_ = kDefaultAuthFailureDelayMs;
  int max_delay_ms_ = kDefaultAuthMaxFailureDelayMs;
};

struct AuthPolicy {
  bool require = false;                // RequireAuthentication
  bool allow_plain_passwords = false;  // AllowPlainPasswords
  int failure_delay_ms = kDefaultAuthFailureDelayMs;
  int max_failure_delay_ms = kDefaultAuthMaxFailureDelayMs;
};

// What the metrics read; counters only go up.
struct AuthStats {
  uint64_t successes = 0;
  uint64_t failures = 0;           // wrong user or password
  uint64_t delayed = 0;            // attempts that waited for their address's delay
  uint64_t plain_refused = 0;      // AUTHENTICATE refused on the plain port
  uint64_t unauthenticated = 0;    // requests refused before authentication
  uint64_t read_only_refused = 0;  // requests refused by a user's rights
};

enum class Admission {
  kProceed,  // run the command as usual
  kAnswer,   // reply holds the whole answer; the command does not run
  kWait,     // leave the request at the head of the queue and try later
};

using AuthLogFunction = void (*)(std::string_view text);

class Authoriser {
 public:
  Authoriser(AccountStore& accounts, Recordsets& recordsets, AuthPolicy policy, AuthLogFunction log);

  // See the rules above. fields are the request's, client the session's
  // request state (its error text and recordsets).
  Admission Admit(ClientSession& session, const Command& command, const RequestFields& fields,
                  ClientState& client, std::string& reply);

  const AuthStats& stats() const { return stats_; }
  const AuthPolicy& policy() const { return policy_; }

 private:
  Admission Authenticate(ClientSession& session, const Command& command,
                         const RequestFields& fields, ClientState& client, std::string& reply);
  // The failure reply of command, with why left where the client looks.
  Admission Refuse(const Command& command, const RequestFields& fields, const std::string& why,
                   ClientState& client, std::string& reply);
  static void Grant(ClientSession& session, const Account& account);

  AccountStore& accounts_;
  Recordsets& recordsets_;
  AuthPolicy policy_;
  AuthLogFunction log_;
  AuthThrottle throttle_;
  AuthStats stats_;
};

// Whether a peer address (as sessions hold it) is the local host.
bool IsLoopbackAddress(std::string_view address);

}  // namespace zt

#endif  // ZT_PROTOCOL_AUTHORISATION_H_
