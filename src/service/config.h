// The server's configuration, read once at start-up from its INI file.
//
// [CONNECTION]  (the keys every installation has)
//   DatabaseFile     data file of the database to serve (room 259; read by
//                    config/server_files.h, which the offline tools share)
//   TransactionName  kept, used by nothing (room 48)
//   ServerPort       read and kept (room 48, default 5432); it never
//                    changes the listening port, which is 5432 unless the
//                    command line says otherwise
//   ServerIP         written by the server at every start that gets as far
//                    as listening: the host's address
// [SERVER]  (this daemon's own settings)
//   WorkFolder       error log and transaction files (config/server_files.h)
//   LockFolder       holds *.ztl files, removed at start-up and shutdown
//   ListenAddress    IPv4 address to listen on (default 0.0.0.0)
//   ResultsetMemory  MiB that all open recordsets together may hold
//                    (default 512); an open past it fails with a message
//   DataCacheMemory  MiB of the data file kept in memory for reads
//                    (default 64)
//   RetryDelay       milliseconds between the tries of a deferred request
//                    (kMinRetryDelayMs..kMaxRetryDelayMs, default 500); a
//                    value outside them is reported and the default used
//   RequestSlice     microseconds of work a long request (an open, sort,
//                    find or update over many rows) does before the other
//                    clients are served (0..kMaxRequestSliceUs, default
//                    2000; 0 gives one step at a time, for tests)
//   MetricsAddress   ADDRESS:PORT of the HTTP metrics and health endpoint
//                    (for example 127.0.0.1:9187); empty (the default)
//                    serves none. A value that is not an IPv4 address and
//                    a port is reported and no endpoint served
//   MaxConnections   protocol connections served at once (default 1024);
//                    more are closed on accept
//   MaxConnectionsPerAddress  protocol connections one peer address may
//                    hold at once (default a quarter of MaxConnections, at
//                    least 16 or MaxConnections if fewer); more from that
//                    address are closed on accept
//   AllowFrom        IPv4/IPv6 networks in CIDR form, separated by commas or
//                    blanks, whose clients may connect; empty: everyone. A
//                    bad entry is reported and then nobody may connect
//   MaxRecordsetsPerConnection  recordsets one connection may hold
//                    (default 256); a CREATERECORDSET beyond it fails
//   IdleTimeout      seconds without a reply after which a connection with
//                    no request waiting is closed (0, the default: never);
//                    requests dropped unanswered do not keep it open
//   FrameTimeout     seconds a started message may take to complete before
//                    its connection is closed (default 30; 0: no limit)
//   StatsInterval    seconds between the one-line summaries in the error
//                    log (0, the default, writes none; at most a day)
//   Durability       full (default): a change is on disk (one log sync per
//                    processing run) before its reply leaves; os: the log
//                    is synced once a second, so a machine crash may lose
//                    the last second of changes (never a part of one)
//   LogCheckpointSize  MiB of log after which the database files are synced
//                    and the log emptied (default 64)
//   BackupFolder     where SIGUSR1 writes a backup (default WorkFolder/backups)
//   MetricsAllowFrom networks (as AllowFrom) whose clients may read the
//                    metrics and health pages; empty: everyone
// Security (docs/operations.md, "Securing the server"); all off by default:
//   TlsAddress       ADDRESS:PORT of a second listener that speaks TLS
//                    (port 0: any free port); empty: none
//   TlsCertificate   PEM file: the server's certificate and its chain
//   TlsKey           PEM file: its private key
//   TlsClientCA      PEM file of CAs; when set, a TLS client must present a
//                    certificate one of them signed
//   ConsoleEnabled   yes: the metrics endpoint also serves the web console
//                    (service/console.h); default no
//   ConsoleEditing   yes: the console's users allowed to write may change
//                    rows through it; default no
//   MetricsTls       yes: the metrics endpoint speaks HTTPS with the same
//                    certificate and key (default no; needs TlsCertificate
//                    and TlsKey, and MetricsAddress to mean anything)
//   UsersFile        the users (config/users_file.h); must not be readable
//                    by group or others, or the server refuses to start
//   RequireAuthentication  yes: a session must AUTHENTICATE before any other
//                    request (default no; needs UsersFile)
//   AllowPlainPasswords  yes: AUTHENTICATE is accepted on the plain port from
//                    any address, not only from loopback (default no)
//   AuthenticationTimeout  seconds a session may take to authenticate under
//                    RequireAuthentication before it is closed (default 30)
//   AuthFailureDelay, AuthMaxFailureDelay  milliseconds: the first delay
//                    after a failed attempt from an address, doubling with
//                    each further failure up to the second (250, 30000)
// TlsCertificate, TlsKey, TlsClientCA and UsersFile are read again on
// SIGHUP; a file that fails then is logged and the old one kept.
// Relative paths are taken relative to the INI file's folder.
#ifndef ZT_SERVICE_CONFIG_H_
#define ZT_SERVICE_CONFIG_H_

#include <cstdint>
#include <string>
#include <vector>

#include "config/server_files.h"
#include "engine/wal.h"
#include "net/net_server.h"
#include "net/tls.h"
#include "protocol/authorisation.h"

namespace zt {

inline constexpr char kDefaultLockFolder[] = "/var/lib/ztserver/locks";
inline constexpr char kDefaultListenAddress[] = "0.0.0.0";
inline constexpr uint16_t kDefaultPort = 5432;
inline constexpr uint64_t kDefaultResultsetMemoryMiB = 512;
// The data file's read cache ([SERVER] DataCacheMemory, MiB).
inline constexpr uint64_t kDefaultDataCacheMiB = 64;
inline constexpr long kMaxDataCacheMiB = 1 << 20;
// Above any machine's memory; keeps the byte count far from overflow.
inline constexpr uint64_t kMaxResultsetMemoryMiB = uint64_t{1} << 30;
// A request may be retried ten times: up to 60 s apart keeps its last try
// within ten minutes; 1 ms is as fast as the timer goes.
inline constexpr int kDefaultRequestSliceUs = 2000;
inline constexpr int kMaxRequestSliceUs = 1000000;
inline constexpr int kMinRetryDelayMs = 1;
inline constexpr int kMaxRetryDelayMs = 60000;
inline constexpr int kMaxStatsIntervalSeconds = 86400;
inline constexpr int64_t kDefaultLogCheckpointMiB = 64;
inline constexpr long kMaxMaxConnections = 1000000;
inline constexpr long kMaxTimeoutSeconds = 86400;
inline constexpr size_t kDefaultMaxRecordsetsPerConnection = 256;
inline constexpr long kMaxMaxRecordsetsPerConnection = 1000000;
inline constexpr int kDefaultAuthenticationTimeoutSeconds = 30;

struct ServerConfig {
  std::string config_file;
  bool file_read = false;     // false: no such file, or unreadable (all defaults)
  std::string database_file;  // resolved; empty when not configured
  std::string transaction_name;
  std::string server_port_text;  // as read
  int32_t server_port = 0;       // its leading digits; 0 when none
  std::string work_folder;
  std::string lock_folder;
  std::string listen_address;
  uint64_t resultset_memory = kDefaultResultsetMemoryMiB << 20;  // bytes
  uint64_t data_cache_bytes = kDefaultDataCacheMiB << 20;
  int retry_delay_ms = 0;
  int request_slice_us = kDefaultRequestSliceUs;
  std::string metrics_address;  // empty: no endpoint
  uint16_t metrics_port = 0;
  int stats_interval_seconds = 0;  // 0: no summaries
  Durability durability = Durability::kFull;
  int64_t log_checkpoint_bytes = kDefaultLogCheckpointMiB << 20;
  std::string backup_folder;
  NetLimits net_limits;
  size_t max_recordsets_per_connection = kDefaultMaxRecordsetsPerConnection;
  AllowList metrics_allow_from;  // empty: everyone
  bool metrics_tls = false;       // the endpoint speaks HTTPS (tls_files)
  bool console_enabled = false;   // ConsoleEnabled
  bool console_editing = false;   // ConsoleEditing
  std::string tls_address;       // empty: no TLS listener
  uint16_t tls_port = 0;
  TlsFiles tls_files;
  std::string users_file;  // empty: no users
  AuthPolicy auth;
  int authentication_timeout_seconds = kDefaultAuthenticationTimeoutSeconds;
  // Settings that make the server refuse to start (a security setting that
  // cannot be honoured must not quietly leave the server open).
  std::vector<std::string> fatal;
  // Lines of the file no reader uses (unknown or misplaced keys, config/
  // config_keys.h) and settings that could not be used, one line each,
  // naming the file and the line ("Config: FILE:LINE: ..."), for standard
  // error and the error log (which cannot be written before work_folder is
  // known).
  std::vector<std::string> problems;
};

// Reads the configuration; a missing file or key gives the defaults.
ServerConfig ReadServerConfig(const std::string& config_file);

// Sets [CONNECTION] ServerIP, keeping every other line of the file; 1
// when the file holds it (already, or now), 0 when the file cannot be
// written (LastFileError() says why).
int WriteServerIp(const std::string& config_file, const std::string& address);

}  // namespace zt

#endif  // ZT_SERVICE_CONFIG_H_
