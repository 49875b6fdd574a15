// `ztserver --check-config`: everything the server would say about its
// configuration at start-up, without starting it.
//
// Errors are what stops a start or leaves the server unable to serve: the
// file cannot be read, a security setting cannot be honoured, the users,
// certificate or key files do not load, no DatabaseFile or none at that
// path. Warnings are lines the server ignores or values it replaces by
// their default (ServerConfig::problems), each naming the file and line.
#ifndef ZT_SERVICE_CONFIG_CHECK_H_
#define ZT_SERVICE_CONFIG_CHECK_H_

#include <string>
#include <vector>

namespace zt {

struct ConfigCheck {
  std::vector<std::string> errors;
  std::vector<std::string> warnings;
};

ConfigCheck CheckServerConfig(const std::string& config_file);

}  // namespace zt

#endif  // ZT_SERVICE_CONFIG_CHECK_H_
