#include "service/accounts.h"

namespace zt {

bool UsersFileAccounts::Load(const std::string& path, std::string* why) {
  UsersFile users;
  if (!users.Load(path, /*require_private=*/true, why)) return false;
  users_ = std::move(users);
  return true;
}

Account UsersFileAccounts::ToAccount(const UserEntry& entry) {
  return Account{.name = entry.name,
                 .may_write = entry.access == UserAccess::kReadWrite,
                 .may_lock = entry.access != UserAccess::kReadOnly};
}

std::optional<Account> UsersFileAccounts::Verify(std::string_view user, std::string_view password) {
  const UserEntry* entry = users_.Find(user);
  if (entry == nullptr) {
    // The same work as a real check; its result does not matter.
    static const UserEntry dummy = [] {
      UserEntry e;
      e.iterations = kDefaultIterations;
      return e;
    }();
    (void)CheckPassword(dummy, password);
    return std::nullopt;
  }
  if (!CheckPassword(*entry, password)) return std::nullopt;
  return ToAccount(*entry);
}

std::optional<Account> UsersFileAccounts::Find(std::string_view user) {
  const UserEntry* entry = users_.Find(user);
  if (entry == nullptr) return std::nullopt;
  return ToAccount(*entry);
}

}  // namespace zt
