#include "service/config_check.h"

#include "engine/file.h"
#include "net/tls.h"
#include "service/accounts.h"
#include "service/config.h"

namespace zt {

ConfigCheck CheckServerConfig(const std::string& config_file) {
  ConfigCheck check;
  if (!PathExists(config_file)) {
    check.errors.push_back("Config: " + config_file + ": no such file");
    return check;
  }
  const ServerConfig config = ReadServerConfig(config_file);
  if (!config.file_read) {
    check.errors.push_back("Config: " + config_file + ": cannot be read (" + LastFileError() +
                           ")");
    return check;
  }
  check.warnings = config.problems;
  check.errors = config.fatal;
  if (config.database_file.empty()) {
    check.errors.push_back("Config: " + config_file + ": [CONNECTION] DatabaseFile is not set");
  } else if (!PathExists(config.database_file)) {
    check.errors.push_back("Config: " + config_file + ": DatabaseFile " + config.database_file +
                           " does not exist");
  }
  std::string why;
  if (!config.users_file.empty()) {
    UsersFileAccounts accounts;
    if (!accounts.Load(config.users_file, &why)) check.errors.push_back("UsersFile: " + why);
  }
  if (!config.tls_address.empty() || config.metrics_tls) {
    TlsContext tls;
    if (!tls.Load(config.tls_files, &why)) check.errors.push_back("TLS: " + why);
  }
  return check;
}

}  // namespace zt
