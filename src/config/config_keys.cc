#include "config/config_keys.h"

#include <algorithm>
#include <cassert>
#include <cctype>

#include "config/server_files.h"
#include "engine/codec.h"

namespace zt {
namespace {

constexpr ConfigKey kKeys[] = {
    {kConnectionSection, "DatabaseFile"},
    {kConnectionSection, "TransactionName"},
    {kConnectionSection, "ServerPort"},
    {kConnectionSection, "ServerIP"},
    {kServerSection, "WorkFolder"},
    {kServerSection, "LockFolder"},
    {kServerSection, "ListenAddress"},
    {kServerSection, "RetryDelay"},
    {kServerSection, "RequestSlice"},
    {kServerSection, "ResultsetMemory"},
    {kServerSection, "DataCacheMemory"},
    {kServerSection, "MaxConnections"},
    {kServerSection, "MaxConnectionsPerAddress"},
    {kServerSection, "AllowFrom"},
    {kServerSection, "MaxRecordsetsPerConnection"},
    {kServerSection, "IdleTimeout"},
    {kServerSection, "FrameTimeout"},
    {kServerSection, "Durability"},
    {kServerSection, "LogCheckpointSize"},
    {kServerSection, "BackupFolder"},
    {kServerSection, "MetricsAddress"},
    {kServerSection, "MetricsAllowFrom"},
    {kServerSection, "MetricsTls"},
    {kServerSection, "ConsoleEnabled"},
    {kServerSection, "ConsoleEditing"},
    {kServerSection, "StatsInterval"},
    {kServerSection, "TlsAddress"},
    {kServerSection, "TlsCertificate"},
    {kServerSection, "TlsKey"},
    {kServerSection, "TlsClientCA"},
    {kServerSection, "UsersFile"},
    {kServerSection, "RequireAuthentication"},
    {kServerSection, "AllowPlainPasswords"},
    {kServerSection, "AuthenticationTimeout"},
    {kServerSection, "AuthFailureDelay"},
    {kServerSection, "AuthMaxFailureDelay"},
};

// Edits (insert, delete, change; case ignored) between two names.
size_t Distance(std::string_view a, std::string_view b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t up = row[j];
      const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                        std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

// The known key nearest to name: within a third of its length (at least
// two edits), or a name that one contains the other of (MaxConnection).
const ConfigKey* Nearest(std::string_view name) {
  const ConfigKey* best = nullptr;
  size_t best_distance = std::max<size_t>(2, name.size() / 3) + 1;
  for (const ConfigKey& key : kKeys) {
    const size_t distance = Distance(name, key.name);
    if (distance < best_distance) {
      best_distance = distance;
      best = &key;
    }
  }
  return best;
}

std::string Place(const std::string& config_file, int line) {
  return config_file + ":" + std::to_string(line);
}

}  // namespace

std::span<const ConfigKey> ConfigKeys() { return kKeys; }

const ConfigKey* FindConfigKey(std::string_view section, std::string_view name) {
  for (const ConfigKey& key : kKeys) {
    if (EqualNoCase(section, key.section) && EqualNoCase(name, key.name)) return &key;
  }
  return nullptr;
}

std::string GetConfigValue(const IniFile& ini, std::string_view section, std::string_view name,
                           std::string_view default_value, size_t room) {
  assert(FindConfigKey(section, name) != nullptr && "a key read must be in the table");
  return ini.Get(section, name, default_value, room);
}

std::string ConfigPlace(const IniFile& ini, const std::string& config_file,
                        std::string_view section, std::string_view name) {
  const int line = ini.LineOf(section, name);
  return line > 0 ? Place(config_file, line) : config_file;
}

std::vector<std::string> CheckConfigKeys(const IniFile& ini, const std::string& config_file) {
  std::vector<std::string> warnings;
  for (const IniFile::Line& line : ini.Lines()) {
    const std::string at = "Config: " + Place(config_file, line.number) + ": ";
    if (line.key.empty()) {
      warnings.push_back(at + "not a KEY=VALUE line; ignored");
      continue;
    }
    if (line.section.empty()) {
      warnings.push_back(at + line.key + " comes before any [SECTION]; ignored");
      continue;
    }
    const std::string where = "[" + line.section + "] " + line.key;
    if (FindConfigKey(line.section, line.key) != nullptr) {
      if (!line.read) {
        const int first = ini.LineOf(line.section, line.key);
        warnings.push_back(at + where +
                           (first > 0 ? " is given again; line " + std::to_string(first) +
                                            " is the one read"
                                      : " is in a second [" + line.section +
                                            "] section; only the first is read"));
      }
      continue;
    }
    // Unknown here: the right name in the wrong section, a misspelling, or
    // something no version of the server reads.
    const ConfigKey* elsewhere = nullptr;
    for (const ConfigKey& key : kKeys) {
      if (EqualNoCase(line.key, key.name)) elsewhere = &key;
    }
    std::string hint;
    if (elsewhere != nullptr) {
      hint = " (it belongs in [" + std::string(elsewhere->section) + "])";
    } else if (const ConfigKey* near = Nearest(line.key); near != nullptr) {
      hint = " (did you mean [" + std::string(near->section) + "] " + near->name + "?)";
    }
    warnings.push_back(at + "unknown key " + where + hint + "; ignored");
  }
  return warnings;
}

}  // namespace zt
