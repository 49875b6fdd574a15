#include "service/config.h"

#include <algorithm>

#include "config/config_keys.h"
#include "config/ini_file.h"
#include "engine/codec.h"
#include "engine/filenames.h"
#include "net/net_server.h"
#include "protocol/fields.h"

namespace zt {
namespace {

// Room of the short values, as the configuration has always allowed (the
// paths' rooms are in config/server_files.h).
constexpr size_t kShortValueRoom = 48;

// The file being read: its values, and where each came from for the
// problems found in them ("Config: FILE:LINE: ").
struct Source {
  const IniFile& values;
  const std::string& file;

  std::string Get(const char* section, const char* key, std::string_view default_value,
                  size_t room) const {
    return GetConfigValue(values, section, key, default_value, room);
  }
  std::string Get(const char* key, std::string_view default_value, size_t room) const {
    return Get(kServerSection, key, default_value, room);
  }
  std::string At(const char* key, const char* section = kServerSection) const {
    return "Config: " + ConfigPlace(values, file, section, key) + ": ";
  }
};

// Whole number from 0 to max, or -1.
long ReadWholeNumber(const std::string& text, long max) {
  if (text.empty()) return -1;
  long value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
    if (value > max) return -1;
  }
  return value;
}

// RetryDelay: whole milliseconds within the bounds, or the default and a
// line in problems. Unlike the compatibility keys it is read strictly: a
// mistyped delay should be seen, not quietly become another number.
int ReadRetryDelay(const Source& ini, std::vector<std::string>& problems) {
  const std::string text = ini.Get("RetryDelay", "", kShortValueRoom);
  if (text.empty()) return kDefaultRetryDelayMs;
  const long value = ReadWholeNumber(text, kMaxRetryDelayMs);
  if (value >= kMinRetryDelayMs) return static_cast<int>(value);
  problems.push_back(ini.At("RetryDelay") + "RetryDelay=" + text + " is not a number of milliseconds from " +
                     std::to_string(kMinRetryDelayMs) + " to " + std::to_string(kMaxRetryDelayMs) +
                     "; using " + std::to_string(kDefaultRetryDelayMs));
  return kDefaultRetryDelayMs;
}

// MetricsAddress=ADDRESS:PORT; anything else is reported and leaves the
// endpoint off (a port of 0 is allowed: the system picks one, as --port 0).
void ReadMetricsAddress(const Source& ini, ServerConfig& config) {
  const std::string text = ini.Get("MetricsAddress", "", kShortValueRoom);
  if (text.empty()) return;
  const size_t colon = text.rfind(':');
  const long port = colon == std::string::npos ? -1 : ReadWholeNumber(text.substr(colon + 1), 65535);
  if (colon == 0 || port < 0) {
    config.problems.push_back(ini.At("MetricsAddress") + "MetricsAddress=" + text +
                              " is not ADDRESS:PORT; the metrics endpoint is off");
    return;
  }
  config.metrics_address = text.substr(0, colon);
  config.metrics_port = static_cast<uint16_t>(port);
}

// A whole-number [SERVER] setting from min to max; absent gives fallback,
// anything else is reported and gives fallback too.
long ReadBounded(const Source& ini, const char* key, long fallback, long min, long max,
                 const char* unit, std::vector<std::string>& problems) {
  const std::string text = ini.Get(key, "", kShortValueRoom);
  if (text.empty()) return fallback;
  const long value = ReadWholeNumber(text, max);
  if (value >= min) return value;
  problems.push_back(ini.At(key) + key + "=" + text + " is not a number of " + unit +
                     " from " + std::to_string(min) + " to " + std::to_string(max) + "; using " +
                     std::to_string(fallback));
  return fallback;
}

// The limits of the network layer and the recordsets per connection.
void ReadLimits(const Source& ini, ServerConfig& config) {
  NetLimits& net = config.net_limits;
  net.max_connections = static_cast<size_t>(ReadBounded(ini, "MaxConnections",
                                                        kDefaultMaxConnections, 1,
                                                        kMaxMaxConnections, "connections",
                                                        config.problems));
  net.max_connections_per_address = static_cast<size_t>(
      ReadBounded(ini, "MaxConnectionsPerAddress",
                  static_cast<long>(DefaultMaxConnectionsPerAddress(net.max_connections)), 1,
                  kMaxMaxConnections, "connections", config.problems));
  net.idle_timeout_seconds = static_cast<int>(
      ReadBounded(ini, "IdleTimeout", 0, 0, kMaxTimeoutSeconds, "seconds", config.problems));
  net.frame_timeout_seconds =
      static_cast<int>(ReadBounded(ini, "FrameTimeout", kDefaultFrameTimeoutSeconds, 0,
                                   kMaxTimeoutSeconds, "seconds", config.problems));
  config.max_recordsets_per_connection = static_cast<size_t>(
      ReadBounded(ini, "MaxRecordsetsPerConnection", kDefaultMaxRecordsetsPerConnection, 1,
                  kMaxMaxRecordsetsPerConnection, "recordsets", config.problems));
  // A mistyped network must not quietly let everyone in: the server then
  // lets nobody in, and says why.
  const std::string allow = ini.Get("AllowFrom", "", kPathRoom);
  std::string bad;
  if (!net.allow_from.Parse(allow, &bad)) {
    config.problems.push_back(ini.At("AllowFrom") + "AllowFrom entry " + bad +
                              " is not an IPv4 or IPv6 network (ADDRESS/BITS); no client may "
                              "connect until it is mended");
    net.allow_from.DenyAll();
  }
}

// yes / no (and 1 / 0, true / false); anything else is reported and gives
// fallback.
bool ReadYesNo(const Source& ini, const char* key, bool fallback,
               std::vector<std::string>& problems) {
  const std::string text = ini.Get(key, "", kShortValueRoom);
  if (text.empty()) return fallback;
  if (EqualNoCase(text, "yes") || EqualNoCase(text, "true") || text == "1") return true;
  if (EqualNoCase(text, "no") || EqualNoCase(text, "false") || text == "0") return false;
  problems.push_back(ini.At(key) + key + "=" + text + " is not yes or no; using " +
                     (fallback ? "yes" : "no"));
  return fallback;
}

// TLS, users and the metrics endpoint's own AllowFrom.
void ReadSecurity(const Source& ini, ServerConfig& config) {
  const std::string metrics_allow = ini.Get("MetricsAllowFrom", "", kPathRoom);
  std::string bad;
  if (!config.metrics_allow_from.Parse(metrics_allow, &bad)) {
    config.problems.push_back(ini.At("MetricsAllowFrom") + "MetricsAllowFrom entry " + bad +
                              " is not an IPv4 or IPv6 network; nobody may read the metrics");
    config.metrics_allow_from.DenyAll();
  }
  const auto path = [&](const char* key) {
    return ResolveAgainst(config.config_file, ini.Get(key, "", kPathRoom));
  };
  const std::string tls = ini.Get("TlsAddress", "", kShortValueRoom);
  config.metrics_tls = ReadYesNo(ini, "MetricsTls", false, config.problems);
  config.console_enabled = ReadYesNo(ini, "ConsoleEnabled", false, config.problems);
  config.console_editing = ReadYesNo(ini, "ConsoleEditing", false, config.problems);
  if (!tls.empty() || config.metrics_tls) {
    config.tls_files = TlsFiles{path("TlsCertificate"), path("TlsKey"), path("TlsClientCA")};
  }
  if (config.metrics_tls && (config.tls_files.certificate.empty() || config.tls_files.key.empty())) {
    config.fatal.push_back(ini.At("MetricsTls") + "MetricsTls=yes needs TlsCertificate and TlsKey");
  }
  if (!tls.empty()) {
    const size_t colon = tls.rfind(':');
    const long port = colon == std::string::npos ? -1 : ReadWholeNumber(tls.substr(colon + 1), 65535);
    if (colon == 0 || port < 0) {
      config.fatal.push_back(ini.At("TlsAddress") + "TlsAddress=" + tls + " is not ADDRESS:PORT");
    } else if (config.tls_files.certificate.empty() || config.tls_files.key.empty()) {
      config.fatal.push_back(ini.At("TlsAddress") + "TlsAddress needs TlsCertificate and TlsKey");
    } else {
      config.tls_address = tls.substr(0, colon);
      config.tls_port = static_cast<uint16_t>(port);
    }
  }
  config.users_file = path("UsersFile");
  AuthPolicy& auth = config.auth;
  auth.require = ReadYesNo(ini, "RequireAuthentication", false, config.problems);
  auth.allow_plain_passwords = ReadYesNo(ini, "AllowPlainPasswords", false, config.problems);
  if (auth.require && config.users_file.empty()) {
    config.fatal.push_back(ini.At("RequireAuthentication") + "RequireAuthentication=yes needs a UsersFile");
  }
  config.authentication_timeout_seconds = static_cast<int>(
      ReadBounded(ini, "AuthenticationTimeout", kDefaultAuthenticationTimeoutSeconds, 1,
                  kMaxTimeoutSeconds, "seconds", config.problems));
  auth.failure_delay_ms = static_cast<int>(ReadBounded(
      ini, "AuthFailureDelay", kDefaultAuthFailureDelayMs, 1, 60000, "milliseconds", config.problems));
  auth.max_failure_delay_ms = static_cast<int>(
      ReadBounded(ini, "AuthMaxFailureDelay", std::max(kDefaultAuthMaxFailureDelayMs, auth.failure_delay_ms),
                  auth.failure_delay_ms, 3600000, "milliseconds", config.problems));
  if (auth.require) {
    config.net_limits.admission_timeout_seconds = config.authentication_timeout_seconds;
  }
}

}  // namespace

ServerConfig ReadServerConfig(const std::string& config_file) {
  IniFile file;
  ServerConfig config;
  config.file_read = file.Load(config_file);
  config.config_file = config_file;
  const Source ini{file, config_file};
  // Unknown and misplaced keys first, in the order of the file.
  config.problems = CheckConfigKeys(file, config_file);
  const ServerFiles files = ReadServerFiles(file, config_file);
  config.database_file = files.database_file;
  config.transaction_name = ini.Get(kConnectionSection, "TransactionName", "", kShortValueRoom);
  config.server_port_text = ini.Get(kConnectionSection, "ServerPort", "5432", kShortValueRoom);
  config.server_port = FieldToInt(config.server_port_text);
  config.work_folder = files.work_folder;
  config.lock_folder = ResolveAgainst(
      config_file, ini.Get("LockFolder", kDefaultLockFolder, kPathRoom));
  config.listen_address =
      ini.Get("ListenAddress", kDefaultListenAddress, kShortValueRoom);
  if (config.lock_folder.empty()) config.lock_folder = kDefaultLockFolder;
  if (config.listen_address.empty()) config.listen_address = kDefaultListenAddress;
  config.retry_delay_ms = ReadRetryDelay(ini, config.problems);
  const std::string slice = ini.Get("RequestSlice", "", kShortValueRoom);
  if (!slice.empty()) {
    const long value = ReadWholeNumber(slice, kMaxRequestSliceUs);
    if (value >= 0) {
      config.request_slice_us = static_cast<int>(value);
    } else {
      config.problems.push_back(ini.At("RequestSlice") + "RequestSlice=" + slice +
                                " is not a number of microseconds from 0 to " +
                                std::to_string(kMaxRequestSliceUs) + "; using " +
                                std::to_string(kDefaultRequestSliceUs));
    }
  }
  const std::string memory = ini.Get("ResultsetMemory", "", kShortValueRoom);
  if (!memory.empty()) {
    const int32_t mib = FieldToInt(memory);
    if (mib > 0 && static_cast<uint64_t>(mib) <= kMaxResultsetMemoryMiB) {
      config.resultset_memory = static_cast<uint64_t>(mib) << 20;
    } else {
      config.problems.push_back(
          ini.At("ResultsetMemory") + "ResultsetMemory=" + memory +
          " is not a number of MiB above 0; using " +
          std::to_string(kDefaultResultsetMemoryMiB));
    }
  }
  config.data_cache_bytes = static_cast<uint64_t>(ReadBounded(
                                ini, "DataCacheMemory", static_cast<long>(kDefaultDataCacheMiB), 1,
                                kMaxDataCacheMiB, "MiB", config.problems))
                            << 20;
  ReadMetricsAddress(ini, config);
  ReadLimits(ini, config);
  ReadSecurity(ini, config);
  const std::string interval = ini.Get("StatsInterval", "", kShortValueRoom);
  if (!interval.empty()) {
    const long seconds = ReadWholeNumber(interval, kMaxStatsIntervalSeconds);
    if (seconds >= 0) {
      config.stats_interval_seconds = static_cast<int>(seconds);
    } else {
      config.problems.push_back(ini.At("StatsInterval") + "StatsInterval=" + interval +
                                " is not a number of seconds from 0 to " +
                                std::to_string(kMaxStatsIntervalSeconds) + "; no summaries");
    }
  }
  const std::string durability = ini.Get("Durability", "full", kShortValueRoom);
  if (EqualNoCase(durability, "os")) {
    config.durability = Durability::kOs;
  } else if (!EqualNoCase(durability, "full") && !durability.empty()) {
    config.problems.push_back(ini.At("Durability") + "Durability=" + durability +
                              " is not full or os; using full");
  }
  const std::string checkpoint = ini.Get("LogCheckpointSize", "", kShortValueRoom);
  if (!checkpoint.empty()) {
    const int32_t mib = FieldToInt(checkpoint);
    if (mib > 0 && mib <= 65536) {
      config.log_checkpoint_bytes = int64_t{mib} << 20;
    } else {
      config.problems.push_back(
          ini.At("LogCheckpointSize") + "LogCheckpointSize=" + checkpoint +
          " is not a number of MiB from 1 to 65536; using " +
          std::to_string(kDefaultLogCheckpointMiB));
    }
  }
  config.backup_folder =
      ResolveAgainst(config_file, ini.Get("BackupFolder", "", kPathRoom));
  if (config.backup_folder.empty()) config.backup_folder = JoinPath(config.work_folder, "backups");
  return config;
}

int WriteServerIp(const std::string& config_file, const std::string& address) {
  IniFile ini;
  ini.Load(config_file);
  // Rewriting the file with the value it holds would only fail where the
  // file is read-only (a sandboxed service), for nothing.
  if (ini.LineOf(kConnectionSection, "ServerIP") > 0 &&
      ini.Get(kConnectionSection, "ServerIP", "", kPathRoom) == address) {
    return 1;
  }
  ini.Set(kConnectionSection, "ServerIP", address);
  return ini.Save(config_file);
}

}  // namespace zt
