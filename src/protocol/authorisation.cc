#include "protocol/authorisation.h"

#include <algorithm>

#include "protocol/client_state.h"
#include "protocol/command_table.h"
#include "recordset/recordsets.h"

namespace zt {
namespace {

const char* ReplyName(const Command& command) {
  return command.reply_name ? command.reply_name : command.name;
}

// A user name as the client sent it is logged only when it is short and
// plain: the field is the client's bytes.
bool ValidLogName(std::string_view name) {
  return !name.empty() && name.size() <= 64 &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '@' || c == '-';
         });
}

std::string PeerText(const ClientSession& session) {
  return session.peer_address.empty() ? "an unknown address" : session.peer_address;
}

}  // namespace

bool IsLoopbackAddress(std::string_view address) {
  return address.starts_with("127.") || address == "::1" || address.starts_with("::ffff:127.");
}

bool HandleAuthenticate(CommandContext& ctx) {
  // Reached only when the server has no users file: nobody can be checked.
  ctx.client.last_error = "Authenticate: this server has no users (UsersFile is not set)";
  return false;
}

int64_t AuthThrottle::NotBefore(const std::string& address, int64_t now_ms) {
  const auto it = entries_.find(address);
  if (it == entries_.end()) return 0;
  if (now_ms - it->second.last_failure_ms >
      std::max(kAuthFailureMemoryMs, 2 * int64_t{max_delay_ms_})) {
    entries_.erase(it);
    return 0;
  }
  return it->second.not_before_ms;
}

int64_t AuthThrottle::Failed(const std::string& address, int64_t now_ms) {
  auto it = entries_.find(address);
  if (it == entries_.end()) {
    if (entries_.size() >= kMaxTrackedAddresses) {
      const auto oldest = std::min_element(entries_.begin(), entries_.end(), [](auto& a, auto& b) {
        return a.second.last_failure_ms < b.second.last_failure_ms;
      });
      entries_.erase(oldest);
    }
    it = entries_.emplace(address, Entry{}).first;
  }
  Entry& entry = it->second;
  ++entry.failures;
  // Doubling past 2^20 first delays is beyond any max_delay; stop there so
  // the shift cannot overflow.
  const uint32_t doublings = std::min<uint32_t>(entry.failures - 1, 20);
  const int64_t delay =
      std::min<int64_t>(int64_t{first_delay_ms_} << doublings, int64_t{max_delay_ms_});
  entry.last_failure_ms = now_ms;
  entry.not_before_ms = now_ms + delay;
  return delay;
}

Authoriser::Authoriser(AccountStore& accounts, Recordsets& recordsets, AuthPolicy policy,
                       AuthLogFunction log)
    : accounts_(accounts), recordsets_(recordsets), policy_(policy), log_(log) {
  throttle_.set_delays(policy_.failure_delay_ms, policy_.max_failure_delay_ms);
}

void Authoriser::Grant(ClientSession& session, const Account& account) {
  SessionIdentity& id = session.identity;
  id.authenticated = true;
  id.admitted = true;
  id.user = account.name;
  id.may_write = account.may_write;
  id.may_lock = account.may_write || account.may_lock;
}

Admission Authoriser::Admit(ClientSession& session, const Command& command,
                            const RequestFields& fields, ClientState& client, std::string& reply) {
  SessionIdentity& id = session.identity;
  if (!id.certificate_checked) {
    id.certificate_checked = true;
    if (!id.authenticated && !id.certificate_name.empty()) {
      if (const std::optional<Account> account = accounts_.Find(id.certificate_name)) {
        Grant(session, *account);
        ++stats_.successes;
        log_("Authenticated " + account->name + " from " + PeerText(session) +
             " by its client certificate");
      }
    }
  }
  if (command.handler == HandleAuthenticate) {
    return Authenticate(session, command, fields, client, reply);
  }
  if (!id.authenticated) {
    if (!policy_.require || command.handler == HandleGetLastErrorText) return Admission::kProceed;
    ++stats_.unauthenticated;
    return Refuse(command, fields,
                  std::string(command.name) + ": Authentication required: send AUTHENTICATE first",
                  client, reply);
  }
  const bool changes = command.access == Access::kEdit || command.access == Access::kWrite;
  const bool takes_lock = command.access == Access::kLock && command.deferrable;
  if ((changes && !id.may_write) || (takes_lock && !id.may_lock)) {
    ++stats_.read_only_refused;
    return Refuse(command, fields,
                  std::string(command.name) + ": Refused: user " + id.user + " may not " +
                      (changes ? "change stored data" : "take row locks"),
                  client, reply);
  }
  return Admission::kProceed;
}

Admission Authoriser::Authenticate(ClientSession& session, const Command& command,
                                   const RequestFields& fields, ClientState& client,
                                   std::string& reply) {
  if (!session.identity.tls && !policy_.allow_plain_passwords &&
      !IsLoopbackAddress(session.peer_address)) {
    ++stats_.plain_refused;
    log_("Authentication refused: a password over the plain port from " + PeerText(session) +
         " (use the TLS port, or set AllowPlainPasswords)");
    return Refuse(command, fields,
                  "Authenticate: passwords are refused over a plain connection; use the TLS port",
                  client, reply);
  }
  const int64_t now = NowMs();
  if (throttle_.NotBefore(session.peer_address, now) > now) {
    if (session.deferral_counter == 0) ++stats_.delayed;
    return Admission::kWait;
  }
  const std::string& user = fields[1];
  const std::string& password = fields[2];
  if (std::optional<Account> account = accounts_.Verify(user, password)) {
    throttle_.Succeeded(session.peer_address);
    Grant(session, *account);
    ++stats_.successes;
    reply = command.name;
    return Admission::kAnswer;
  }
  ++stats_.failures;
  const int64_t delay = throttle_.Failed(session.peer_address, now);
  log_("Authentication failed for " + (ValidLogName(user) ? user : std::string("a user")) +
       " from " + PeerText(session) + "; its next attempt waits " + std::to_string(delay) + " ms");
  return Refuse(command, fields, "Authenticate: unknown user or wrong password", client, reply);
}

Admission Authoriser::Refuse(const Command& command, const RequestFields& fields,
                             const std::string& why, ClientState& client, std::string& reply) {
  if (TakesHandle(command)) {
    const int32_t handle = FieldToInt(fields[1]);
    Recordset* recordset = recordsets_.Find(handle);
    if (recordset != nullptr && client.recordsets.count(handle) != 0) recordset->SetError(why);
  }
  client.last_error = why;
  reply = command.failure == FailureShape::kFlagZero
              ? FlagReply(ReplyName(command), FieldToInt(fields[1]), false)
              : FailureReply(ReplyName(command));
  return Admission::kAnswer;
}

}  // namespace zt
