// The users file as the authoriser sees it (protocol/authorisation.h's
// AccountStore), reloaded on SIGHUP.
#ifndef ZT_SERVICE_ACCOUNTS_H_
#define ZT_SERVICE_ACCOUNTS_H_

#include <optional>
#include <string>
#include <string_view>

#include "config/users_file.h"
#include "protocol/authorisation.h"

namespace zt {

class UsersFileAccounts : public AccountStore {
 public:
  // Reads path (it must be private); false with *why, keeping the users
  // read before (a failed reload leaves the server as it was).
  [[nodiscard]] bool Load(const std::string& path, std::string* why);

  // Hashes password against the user's entry, or against a dummy one when
  // there is no such user, so that the time taken does not tell.
  std::optional<Account> Verify(std::string_view user, std::string_view password) override;
  std::optional<Account> Find(std::string_view user) override;
  size_t size() const { return users_.users().size(); }

 private:
  static Account ToAccount(const UserEntry& entry);
  UsersFile users_;
};

}  // namespace zt

#endif  // ZT_SERVICE_ACCOUNTS_H_
