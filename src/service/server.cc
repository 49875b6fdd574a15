#include "service/server.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "engine/error_log.h"
#include "engine/file.h"
#include "engine/filenames.h"

namespace zt {

void SweepLockFolder(const std::string& folder) {
  // Collect first, delete afterwards: the listing is not changed under the
  // walk.
  const std::vector<std::string> names = ListFolder(folder, kLockFileExtension);
  for (const std::string& name : names) FileDelete(JoinPath(folder, name));
}

// One line for every open that found more than a clean, empty log: what
// the log held, what replay did with it, and what the check found.
void LogRecovery(const Database& database) {
  const RecoveryReport& r = database.recovery_report();
  if (r.clean_shutdown && r.records_replayed == 0 && r.torn_bytes_dropped == 0) return;
  std::string line = "Recovery: ";
  if (!r.damage.empty()) line += "replayed up to the damage as asked (" + r.damage + "); ";
  if (r.log_lost) {
    line += "the log was empty or unreadable, so whatever it held is lost; ";
  } else if (!r.clean_shutdown) {
    line += "the server had not stopped cleanly; ";
  }
  if (r.header_damaged) line += "the log's header was damaged and its records were read past it; ";
  line += DescribeReplay(r);
  LogError(line);
}

std::string VerificationLine(const DatabaseVerifier& v) {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f",
                std::chrono::duration<double>(v.elapsed()).count());
  std::string line = "Verification: ";
  if (v.state() == DatabaseVerifier::State::kClean) {
    return line + "the files check clean (" + std::to_string(v.total()) + " bytes verified in " +
           seconds + " s of slices" +
           (v.keys_not_looked_up() > 0 ? "; " + std::to_string(v.keys_not_looked_up()) +
                                             " keys shared by many records not looked up"
                                       : "") +
           ")";
  }
  line += "found " + std::to_string(v.problem_count()) + " problem(s): ";
  for (size_t i = 0; i < v.problems().size(); ++i) line += (i ? "; " : "") + v.problems()[i];
  line += v.records_damaged() ? "; the records themselves are damaged"
                              : "; the index disagrees with the records";
  return line + ". The server goes on serving what it can read; stop it and run " + v.remedy();
}

Server::Server(ServerOptions options) : options_(std::move(options)) {}

Server::~Server() { ServerShutdown(); }

bool Server::ServerStartup() {
  // The configuration is read first: it names the folder of the error log
  // that every later step writes to.
  config_ = ReadServerConfig(options_.config_file);
  SetErrorLogFolder(config_.work_folder);
  OpenErrorLog();
  // Whoever starts the server by hand sees what is wrong with its file at
  // once; a service manager keeps standard error in its journal.
  for (const std::string& problem : config_.problems) {
    std::fprintf(stderr, "ztserver: %s\n", problem.c_str());
    LogError(problem);
  }
  database_ = std::make_unique<Database>(config_.work_folder);
  database_->set_data_cache_bytes(config_.data_cache_bytes);
  database_->EnableLog(LogOptions{.folder = config_.work_folder,
                                  .durability = config_.durability,
                                  .checkpoint_bytes = config_.log_checkpoint_bytes});
  recordsets_ = std::make_unique<Recordsets>(*database_, config_.resultset_memory);
  net_ = std::make_unique<NetServer>(loop_, [](std::string_view text) { LogError(text); });
  net_->set_retry_delay(config_.retry_delay_ms);
  net_->set_limits(config_.net_limits);
  // Every session costs a descriptor; the soft limit is often far below
  // what the system allows the process.
  RaiseDescriptorLimit();
  dispatcher_ = std::make_unique<RequestDispatcher>(*net_, *database_, *recordsets_);
  dispatcher_->set_max_recordsets_per_client(config_.max_recordsets_per_connection);
  dispatcher_->set_job_slice(std::chrono::microseconds(config_.request_slice_us));
  net_->set_processor(dispatcher_.get());
  std::shared_ptr<TlsContext> tls;
  if (!LoadSecurity()) return false;
  if (!config_.tls_address.empty() || config_.metrics_tls) {
    tls = std::make_shared<TlsContext>();
    std::string why;
    if (!tls->Load(config_.tls_files, &why)) {
      startup_failure_ = "TLS: " + why;
      LogError(startup_failure_);
      return false;
    }
  }

  if (!loop_.Open()) {
    LogError("CreateSocketWindow: error creating service window");
    return false;
  }
  if (!net_->Connect(config_.listen_address, options_.port)) {
    startup_.result = "cannot_listen";
    loop_.Close();
    return false;
  }
  if (config_.metrics_tls) metrics_tls_ = tls;
  if (!config_.tls_address.empty() && !net_->ConnectTls(config_.tls_address, config_.tls_port, tls)) {
    startup_failure_ = "TLS: cannot listen on TlsAddress (see the error log)";
    startup_.result = "cannot_listen";
    net_->CloseAll();
    loop_.Close();
    return false;
  }
  listening_ = true;
  // ServerIP is kept for programs that read it from the file. Under a
  // sandbox the file may be read-only: the server goes on without it.
  if (!WriteServerIp(options_.config_file, net_->host_address())) {
    LogError("Config: cannot write ServerIP=" + net_->host_address() + " into " +
             options_.config_file + " (" + LastFileError() + "); the file is left as it was");
  }
  StartObservability();

  const bool opened = database_->OpenDatabase(config_.database_file.c_str(), 0);
  LogRecovery(*database_);
  if (!opened) {
    std::string why;
    database_->GetLastErrorText(&why);
    if (!why.empty()) LogError(why);
    LogError(
        "Error Connecting to the database - Please shut the service and try running it again!");
    LogError("Ensure that the database : " + config_.database_file +
             " exists, before attempting to restart the service.");
    startup_.result = "database_not_open";
    startup_.reason = config_.database_file + (why.empty() ? "" : " (" + why + ")");
    for (char& c : startup_.reason) {
      if (c == '\n' || c == '\r') c = ' ';
    }
    return false;
  }
  startup_.database_open = true;
  if (config_.durability == Durability::kOs) {
    // Under Durability=os the log is synced once a second: a run does it
    // when one is due, and this timer when no run comes.
    loop_.AddInterval(1000, [this] {
      std::string why;
      if (!database_->Commit(&why)) LogError("Log: " + why);
    });
  }
  const auto watch = [this] {
    if (const std::string line = WatchFileWrites(*database_, *metrics_); !line.empty()) {
      LogError(line);
    }
  };
  if (loop_.AddInterval(kFileWriteWatchMs, watch) < 0) {
    LogError("Log: cannot start the timer that watches the database files");
  }
  if (!database_->recovery_report().clean_shutdown) StartVerification();
  startup_.result = "ok";
  MakeFolders(config_.lock_folder);
  SweepLockFolder(config_.lock_folder);
  return true;
}

std::string WatchFileWrites(Database& database, ServerMetrics& metrics) {
  // Each commit retries the files, but with no client writing none comes:
  // the watch retries them itself, so that freed space ends the wait.
  if (!database.file_write_error().empty()) {
    std::string ignored;  // a failing log is told by the runs, and by /health
    (void)database.Commit(&ignored);
  }
  return metrics.FileWriteTransition();
}

void Server::StartObservability() {
  metrics_ = std::make_unique<ServerMetrics>(*net_, *dispatcher_, *recordsets_, *database_, startup_);
  metrics_->set_authoriser(authoriser_.get());
  if (!config_.metrics_address.empty()) {
    endpoint_ = std::make_unique<HttpEndpoint>(loop_, [](std::string_view text) { LogError(text); });
    if (endpoint_->Open(config_.metrics_address, config_.metrics_port)) {
      endpoint_->set_handler([this](const HttpRequest& request) { return metrics_->Serve(request); });
      if (config_.console_enabled) {
        console_ = std::make_unique<Console>(
            *dispatcher_, ConsoleOptions{.editing = config_.console_editing,
                                         .logins = authoriser_ != nullptr,
                                         .error_log = ErrorLogFileName(config_.work_folder)});
        endpoint_->set_deferred_handler(
            [this](const HttpRequest& request, const HttpResponder& respond) {
              return console_->Handle(request, respond);
            });
      }
      endpoint_->set_allow_from(config_.metrics_allow_from);
      endpoint_->set_tls_context(std::move(metrics_tls_));
      metrics_->set_endpoint(endpoint_.get());
    } else {
      endpoint_.reset();
    }
  }
  if (config_.stats_interval_seconds > 0 &&
      loop_.AddInterval(config_.stats_interval_seconds * 1000,
                        [this] { LogError(metrics_->SummaryLine()); }) < 0) {
    LogError("Stats: cannot start the summary timer");
  }
}

bool Server::LoadSecurity() {
  for (const std::string& line : config_.fatal) LogError(line);
  if (!config_.fatal.empty()) {
    startup_failure_ = config_.fatal.front();
    return false;
  }
  if (config_.users_file.empty()) return true;
  std::string why;
  if (!accounts_.Load(config_.users_file, &why)) {
    startup_failure_ = "UsersFile: " + why;
    LogError(startup_failure_);
    return false;
  }
  authoriser_ = std::make_unique<Authoriser>(accounts_, *recordsets_, config_.auth,
                                             [](std::string_view text) { LogError(text); });
  dispatcher_->set_authoriser(authoriser_.get());
  LogError("Users: " + std::to_string(accounts_.size()) + " read from " + config_.users_file +
           (config_.auth.require ? "; authentication is required" : ""));
  return true;
}

void Server::Reload() {
  LogError("SIGHUP: reading the users file and the TLS files again");
  if (!config_.users_file.empty()) {
    std::string why;
    if (accounts_.Load(config_.users_file, &why)) {
      LogError("Users: " + std::to_string(accounts_.size()) + " read from " + config_.users_file);
    } else {
      LogError("Users: " + why + "; the users read before stay in force");
    }
  }
  const bool tls_listener = net_ && net_->tls_port() != 0;
  if (tls_listener || (endpoint_ && endpoint_->uses_tls())) {
    auto tls = std::make_shared<TlsContext>();
    std::string why;
    if (tls->Load(config_.tls_files, &why)) {
      if (tls_listener) net_->set_tls_context(tls);
      if (endpoint_ && endpoint_->uses_tls()) endpoint_->set_tls_context(tls);
      LogError("TLS: certificate and key read again; new connections use them");
    } else {
      LogError("TLS: " + why + "; the certificate read before stays in force");
    }
  }
}

void Server::Run(std::function<void()> on_stop) {
  if (!loop_.is_open() && !loop_.Open()) return;
  if (!loop_.WatchStopSignals(std::move(on_stop))) return;
  if (loop_.WatchSignal(SIGUSR1, [this] { StartBackup(); }) < 0) {
    LogError("Backup: cannot watch SIGUSR1; no backups on request");
  }
  if (loop_.WatchSignal(SIGHUP, [this] { Reload(); }) < 0) {
    LogError("Reload: cannot watch SIGHUP; certificates and users are read at start-up only");
  }
  loop_.Run();
}

void Server::StartVerification() {
  verifier_ = std::make_unique<DatabaseVerifier>(*database_);
  verifier_->Begin();
  if (metrics_) metrics_->set_verifier(verifier_.get());
  LogError("Verification: the files are verified in the background (" +
           std::to_string(verifier_->total()) + " bytes), in slices between requests");
  loop_.Post([this] {
    if (!database_->IsConnected()) return false;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kVerificationSliceMs);
    if (verifier_->Step(deadline)) return true;
    LogError(VerificationLine(*verifier_));
    return false;
  });
}

void Server::StartBackup() {
  // A slice small enough to pass unnoticed between two processing runs.
  constexpr size_t kSliceBytes = size_t{2} << 20;
  if (backup_.active()) {
    LogError("Backup: one is already being written to " + backup_.folder());
    return;
  }
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
  std::string folder = JoinPath(config_.backup_folder, stamp);
  // Two requests within a second get two folders.
  for (int n = 2; PathExists(folder); ++n) {
    folder = JoinPath(config_.backup_folder, std::string(stamp) + "-" + std::to_string(n));
  }
  std::string why;
  if (!backup_.Begin(*database_, folder, why)) {
    LogError("Backup failed: " + why);
    return;
  }
  loop_.Post([this] {
    std::string problem;
    switch (backup_.Copy(kSliceBytes, problem)) {
      case DatabaseBackup::Step::kMore:
        return true;
      case DatabaseBackup::Step::kDone:
        LogError("Backup: wrote " + backup_.folder() + " (" +
                 std::to_string(backup_.total_bytes()) + " bytes)");
        return false;
      case DatabaseBackup::Step::kFailed:
        LogError("Backup failed: " + problem + "; the partial copy was removed");
        return false;
    }
    return false;
  });
}

void Server::ServerShutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  console_.reset();  // its local sessions close with what they held
  if (endpoint_) endpoint_->Close();
  if (net_) net_->CloseAll();
  if (recordsets_) recordsets_->CloseAllRecordsets();
  backup_.Cancel();
  if (database_) database_->CloseDatabase();
  if (!config_.lock_folder.empty()) SweepLockFolder(config_.lock_folder);
  loop_.Close();
}

}  // namespace zt
