// The running server: start-up, the event loop until a stop request, and
// shutdown, always in that order.
//
// ServerStartup: open the event loop, listen (Connect), write ServerIP to
// the configuration file, open the database exclusively, then create and
// sweep the lock folder. With MetricsAddress set, the metrics endpoint
// opens right after the listener, so that /health can tell an operator why
// the database did not open; a failure to open it is logged and the server
// runs without it. With StatsInterval set, the summary line is logged on
// an interval timer of the loop. Once the database is open, another timer
// watches whether its files take the committed changes (WatchFileWrites).
// After an unclean stop the open replays the log and the server listens at
// once; the files are then verified in the background (StartVerification).
// A database that cannot be opened is logged and the server goes on
// listening: clients are greeted and their requests fail in the engine. ServerShutdown takes everything down in the reverse direction
// and tolerates whatever start-up did not get to.
#ifndef ZT_SERVICE_SERVER_H_
#define ZT_SERVICE_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "engine/backup.h"
#include "engine/database.h"
#include "engine/database_verify.h"
#include "net/event_loop.h"
#include "net/http_endpoint.h"
#include "net/net_server.h"
#include "protocol/request_processor.h"
#include "recordset/recordsets.h"
#include "protocol/authorisation.h"
#include "service/accounts.h"
#include "service/config.h"
#include "service/console.h"
#include "service/metrics.h"

namespace zt {

// The verification after an unclean start runs in slices of this length,
// one per pass of the event loop: no client waits longer for it.
inline constexpr int kVerificationSliceMs = 2;

// How often the server looks whether the database files take the committed
// changes (Server::WatchFileWrites).
inline constexpr int kFileWriteWatchMs = 1000;

struct ServerOptions {
  std::string config_file = kDefaultConfigFile;
  uint16_t port = kDefaultPort;
};

// Logs what opening the database recovered (nothing after a clean stop).
void LogRecovery(const Database& database);
// The error log's line for a verification that is done.
std::string VerificationLine(const DatabaseVerifier& verifier);

// Run every kFileWriteWatchMs while the database is open: retries the
// database files while they refuse the committed changes, and returns the
// line to log when the refusal began or ended (ServerMetrics::
// FileWriteTransition), else an empty one.
std::string WatchFileWrites(Database& database, ServerMetrics& metrics);

// Removes every *.ztl file of the folder; failures are ignored.
void SweepLockFolder(const std::string& folder);

class Server {
 public:
  explicit Server(ServerOptions options);
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  virtual ~Server();

  // True when the loop, the listener and the database are all in place.
  bool ServerStartup();
  // True once the listener is open (the server can serve clients).
  bool listening() const { return listening_; }
  // Why start-up refused to serve at all (a security setting that cannot
  // be honoured); empty otherwise.
  const std::string& startup_failure() const { return startup_failure_; }
  // Runs the event loop until SIGTERM or SIGINT; on_stop runs first thing
  // when the stop request arrives. SIGUSR1 asks for a backup.
  void Run(std::function<void()> on_stop);
  void ServerShutdown();

  const ServerConfig& config() const { return config_; }
  // The port the listener is bound to (0 before it is): the one asked for,
  // or the one the system picked when asked for port 0.
  uint16_t port() const { return net_ ? net_->port() : 0; }
  // The TLS listener's port; 0 when there is none.
  uint16_t tls_port() const { return net_ ? net_->tls_port() : 0; }
  // The metrics endpoint's port; 0 when it is not serving.
  uint16_t metrics_port() const { return endpoint_ ? endpoint_->port() : 0; }

 private:
  // The metrics, the endpoint and the summary timer (after Connect).
  void StartObservability();
  // SIGUSR1: a backup into BackupFolder/<UTC time>/, copied in slices
  // between processing runs; its outcome goes to the error log.
  void StartBackup();
  // The security settings that start-up must honour or refuse to serve:
  // the users file and the TLS context. False with startup_failure_.
  bool LoadSecurity();
  // SIGHUP: the users file and the TLS files again; what fails is logged
  // and the old kept. Established connections are untouched.
  void Reload();
  // After an unclean stop: the verification of the files in the background
  // (engine/database_verify.h), a slice per pass of the loop.
  void StartVerification();

  ServerOptions options_;
  ServerConfig config_;
  EventLoop loop_;
  std::unique_ptr<Database> database_;
  std::unique_ptr<Recordsets> recordsets_;
  std::unique_ptr<NetServer> net_;
  std::unique_ptr<RequestDispatcher> dispatcher_;
  StartupReport startup_;
  std::unique_ptr<ServerMetrics> metrics_;
  std::unique_ptr<HttpEndpoint> endpoint_;
  std::unique_ptr<Console> console_;  // ConsoleEnabled
  // The TLS context of the metrics endpoint until it opens (MetricsTls).
  std::shared_ptr<const TlsContext> metrics_tls_;
  DatabaseBackup backup_;
  UsersFileAccounts accounts_;
  std::unique_ptr<Authoriser> authoriser_;
  std::string startup_failure_;
  std::unique_ptr<DatabaseVerifier> verifier_;
  bool listening_ = false;
  bool shut_down_ = false;
};

}  // namespace zt

#endif  // ZT_SERVICE_SERVER_H_
