#include "service/metrics.h"

#include <cstdio>

#include "engine/database.h"
#include "engine/database_verify.h"
#include "engine/file.h"
#include "engine/wal.h"
#include "net/net_server.h"
#include "protocol/authorisation.h"
#include "protocol/command_table.h"
#include "protocol/request_processor.h"
#include "recordset/recordsets.h"
#include "service/exposition.h"

namespace zt {
namespace {

constexpr char kPlainText[] = "text/plain; charset=utf-8";

double SecondsSince(std::chrono::steady_clock::time_point when) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - when).count();
}

uint64_t TotalRequests(const RequestStats& stats) {
  uint64_t total = 0;
  for (const CommandCounters& counters : stats.by_command) total += counters.requests;
  return total;
}

// A text for a one-line answer or log line: line breaks become spaces.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

// A length that could not be had (-1) counts as 0.
uint64_t Length(int64_t length) { return length < 0 ? 0 : static_cast<uint64_t>(length); }

void Authentication(Exposition& out, const AuthStats& stats) {
  out.Family("ztserver_authentications_total", "counter",
             "AUTHENTICATE attempts and certificate logins, by outcome.");
  out.Sample("ztserver_authentications_total", {{"outcome", "ok"}}, stats.successes);
  out.Sample("ztserver_authentications_total", {{"outcome", "failed"}}, stats.failures);
  out.Sample("ztserver_authentications_total", {{"outcome", "plain_refused"}},
             stats.plain_refused);
  out.Family("ztserver_authentication_delays_total", "counter",
             "Attempts that waited for their address's delay after failures.");
  out.Sample("ztserver_authentication_delays_total", stats.delayed);
  out.Family("ztserver_requests_unauthorised_total", "counter",
             "Requests refused by authorisation, by reason.");
  out.Sample("ztserver_requests_unauthorised_total", {{"reason", "unauthenticated"}},
             stats.unauthenticated);
  out.Sample("ztserver_requests_unauthorised_total", {{"reason", "read_only"}},
             stats.read_only_refused);
}

void Connections(Exposition& out, const NetServer& net, const HttpEndpoint* endpoint) {
  const NetStats& stats = net.stats();
  out.Family("ztserver_connections", "gauge", "Protocol connections open now.");
  out.Sample("ztserver_connections", static_cast<uint64_t>(net.sessions().size()));
  uint64_t queued = 0;
  for (const ClientSession& session : net.sessions()) queued += session.requests.memory();
  out.Family("ztserver_request_queue_bytes", "gauge",
             "Memory the connections' queues of unanswered requests hold.");
  out.Sample("ztserver_request_queue_bytes", queued);
  out.Family("ztserver_connections_accepted_total", "counter",
             "Protocol connections accepted and greeted.");
  out.Sample("ztserver_connections_accepted_total", stats.accepted);
  out.Family("ztserver_connections_refused_total", "counter",
             "Protocol connections closed on accept, by the limit that refused them.");
  for (size_t i = 0; i < kRefusalKinds; ++i) {
    out.Sample("ztserver_connections_refused_total",
               {{"limit", RefusalName(static_cast<Refusal>(i))}}, stats.refused[i]);
  }
  out.Family("ztserver_connections_expired_total", "counter",
             "Protocol connections closed by the server, by the timeout that passed.");
  for (size_t i = 0; i < kExpiryKinds; ++i) {
    out.Sample("ztserver_connections_expired_total",
               {{"timeout", ExpiryName(static_cast<Expiry>(i))}}, stats.expired[i]);
  }
  out.Family("ztserver_received_bytes_total", "counter", "Bytes read from protocol clients.");
  out.Sample("ztserver_received_bytes_total", stats.bytes_received);
  out.Family("ztserver_sent_bytes_total", "counter", "Bytes sent to protocol clients.");
  out.Sample("ztserver_sent_bytes_total", stats.bytes_sent);
  out.Family("ztserver_tls_handshakes_total", "counter",
             "TLS handshakes on the TLS listener, by outcome (timeouts are expiries).");
  out.Sample("ztserver_tls_handshakes_total", {{"outcome", "ok"}}, stats.tls_handshakes);
  out.Sample("ztserver_tls_handshakes_total", {{"outcome", "failed"}},
             stats.tls_handshake_failures);
  out.Family("ztserver_tls_on_plain_port_total", "counter",
             "TLS handshakes that arrived on the plain port and were closed.");
  out.Sample("ztserver_tls_on_plain_port_total", stats.tls_on_plain_port);
  out.Family("ztserver_processing_runs_total", "counter",
             "Processing runs: passes over every connection's waiting requests.");
  out.Sample("ztserver_processing_runs_total", stats.processing_runs);
  if (endpoint == nullptr) return;
  const HttpStats& http = endpoint->stats();
  out.Family("ztserver_http_connections_evicted_total", "counter",
             "Metrics endpoint connections closed to make room for a newer one.");
  out.Sample("ztserver_http_connections_evicted_total", http.evicted);
  out.Family("ztserver_http_connections_timed_out_total", "counter",
             "Metrics endpoint connections closed unfinished by a time limit.");
  out.Sample("ztserver_http_connections_timed_out_total", http.timed_out);
  out.Family("ztserver_http_bad_requests_total", "counter",
             "Metrics endpoint requests answered 400.");
  out.Sample("ztserver_http_bad_requests_total", http.bad_requests);
  out.Family("ztserver_http_tls_handshake_failures_total", "counter",
             "Metrics endpoint TLS handshakes that failed (MetricsTls).");
  out.Sample("ztserver_http_tls_handshake_failures_total", http.tls_handshake_failures);
}

void Requests(Exposition& out, const RequestStats& stats) {
  const std::vector<Command>& table = CommandTable();
  struct Counter {
    const char* name;
    const char* help;
    uint64_t CommandCounters::*field;
  };
  static constexpr Counter kCounters[] = {
      {"ztserver_requests_total", "Requests answered, by command.", &CommandCounters::requests},
      {"ztserver_request_failures_total", "Requests answered with a failure, by command.",
       &CommandCounters::failures},
      {"ztserver_request_deferrals_total",
       "Tries that failed and left the request waiting for its next try, by command.",
       &CommandCounters::deferrals},
      {"ztserver_request_final_failures_total",
       "Requests answered with a failure after waiting their retry delays, by command.",
       &CommandCounters::final_failures},
  };
  for (const Counter& counter : kCounters) {
    out.Family(counter.name, "counter", counter.help);
    for (size_t i = 0; i < table.size(); ++i) {
      out.Sample(counter.name, {{"command", table[i].name}}, stats.by_command[i].*counter.field);
    }
  }
  out.Family("ztserver_requests_unknown_total", "counter",
             "Requests dropped unanswered because their command is unknown.");
  out.Sample("ztserver_requests_unknown_total", stats.unknown_commands);
  out.Family("ztserver_requests_foreign_handle_total", "counter",
             "Requests refused because they named another connection's recordset.");
  out.Sample("ztserver_requests_foreign_handle_total", stats.foreign_handles);
  struct JobCounter {
    const char* name;
    const char* help;
    uint64_t value;
  };
  const JobCounter job_counters[] = {
      {"ztserver_jobs_total", "Long requests that took more than one slice of work.", stats.jobs},
      {"ztserver_job_slices_total", "Slices of work given to long requests.", stats.job_slices},
      {"ztserver_job_restarts_total",
       "Long requests started over because what they had read changed meanwhile.",
       stats.job_restarts},
      {"ztserver_job_waits_total",
       "Tries of requests that waited for another connection's long request.", stats.job_waits},
  };
  for (const JobCounter& counter : job_counters) {
    out.Family(counter.name, "counter", counter.help);
    out.Sample(counter.name, counter.value);
  }
  out.Family("ztserver_request_duration_seconds", "histogram",
             "Time spent answering a request (its answered try), by command group.");
  for (size_t group = 0; group < kCommandGroups; ++group) {
    const LatencyHistogram& histogram = stats.latency[group];
    out.Histogram("ztserver_request_duration_seconds",
                  {{"group", CommandGroupName(static_cast<CommandGroup>(group))}},
                  kLatencyBucketBounds, histogram.counts, histogram.sum_seconds);
  }
}

void Log(Exposition& out, const Database& database, const RequestStats& requests) {
  out.Family("ztserver_log_commit_failures_total", "counter",
             "Processing runs whose changes could not be made durable (their requests failed).");
  out.Sample("ztserver_log_commit_failures_total", requests.commit_failures);
  if (!database.logging()) return;
  const LogStats& log = database.log_stats();
  out.Family("ztserver_log_records_total", "counter", "Records written to the write-ahead log.");
  out.Sample("ztserver_log_records_total", log.records);
  out.Family("ztserver_log_written_bytes_total", "counter",
             "Bytes written to the write-ahead log.");
  out.Sample("ztserver_log_written_bytes_total", log.bytes_written);
  out.Family("ztserver_log_syncs_total", "counter", "Syncs of the write-ahead log.");
  out.Sample("ztserver_log_syncs_total", log.syncs);
  out.Family("ztserver_log_sync_duration_seconds", "histogram",
             "Time each sync of the write-ahead log took.");
  out.Histogram("ztserver_log_sync_duration_seconds", {}, kSyncBucketBounds,
                log.sync_bucket_counts, log.sync_seconds_total);
  out.Family("ztserver_log_checkpoints_total", "counter",
             "Checkpoints: database files synced and the log emptied.");
  out.Sample("ztserver_log_checkpoints_total", log.checkpoints);
  out.Family("ztserver_log_spills_total", "counter",
             "Parts of changes too large for memory written to the log before their commit.");
  out.Sample("ztserver_log_spills_total", log.spills);
  out.Family("ztserver_log_longest_commit_seconds", "gauge",
             "The longest commit since the start: log write, sync and the write into the "
             "database files.");
  out.Sample("ztserver_log_longest_commit_seconds", log.longest_commit_seconds);

  out.Family("ztserver_log_waiting_bytes", "gauge",
             "Bytes of committed changes the database files do not hold yet (in memory and in "
             "the log).");
  out.Sample("ztserver_log_waiting_bytes", static_cast<uint64_t>(database.log_waiting_bytes()));
  out.Family("ztserver_file_writes_failing", "gauge",
             "1 while the database files refuse the committed changes, else 0.");
  out.Sample("ztserver_file_writes_failing",
             uint64_t{database.file_write_error().empty() ? 0u : 1u});

  const RecoveryReport& recovery = database.recovery_report();
  out.Family("ztserver_recovery_clean_shutdown", "gauge",
             "1 when the last open found the log closed cleanly, 0 after a crash.");
  out.Sample("ztserver_recovery_clean_shutdown", uint64_t{recovery.clean_shutdown ? 1u : 0u});
  out.Family("ztserver_recovery_replayed_records", "gauge",
             "Log records the last open replayed into the database files.");
  out.Sample("ztserver_recovery_replayed_records",
             static_cast<uint64_t>(recovery.records_replayed < 0 ? 0 : recovery.records_replayed));
  out.Family("ztserver_recovery_torn_bytes_dropped", "gauge",
             "Bytes of a torn log tail the last open dropped.");
  out.Sample("ztserver_recovery_torn_bytes_dropped",
             static_cast<uint64_t>(recovery.torn_bytes_dropped < 0 ? 0 : recovery.torn_bytes_dropped));
}

// The verification after an unclean start (engine/database_verify.h).
void Verification(zt::Exposition& out, const DatabaseVerifier* verifier) {
  const DatabaseVerifier::State state =
      verifier == nullptr ? DatabaseVerifier::State::kIdle : verifier->state();
  out.Family("ztserver_verification_state", "gauge",
             "The verification of the files after an unclean start: 0 none (a clean start), 1 "
             "running, 2 done and clean, 3 done and problems found (see the error log).");
  out.Sample("ztserver_verification_state", uint64_t{static_cast<unsigned>(state)});
  out.Family("ztserver_verification_progress_ratio", "gauge",
             "How far the verification got, from 0 to 1 (1 when there is none).");
  out.Sample("ztserver_verification_progress_ratio",
             verifier == nullptr || verifier->total() <= 0
                 ? 1.0
                 : static_cast<double>(verifier->done()) / static_cast<double>(verifier->total()));
  out.Family("ztserver_verification_problems", "gauge", "Problems the verification found.");
  out.Sample("ztserver_verification_problems",
             static_cast<uint64_t>(verifier == nullptr ? 0 : verifier->problem_count()));
}

}  // namespace

HttpReply ServerMetrics::Serve(const HttpRequest& request) {
  HttpReply reply;
  reply.content_type = kPlainText;
  if (request.path != kMetricsPath && request.path != kHealthPath) {
    reply.status = 404;
    reply.body = "not found; try " + std::string(kMetricsPath) + " or " + kHealthPath + "\n";
    return reply;
  }
  if (request.method != "GET" && request.method != "HEAD") {
    reply.status = 405;
    reply.body = "only GET and HEAD\n";
    return reply;
  }
  if (request.path == kHealthPath) return Health();
  reply.content_type = kExpositionContentType;
  reply.body = Exposition();
  return reply;
}

std::string ServerMetrics::Exposition() const {
  zt::Exposition out;
  Connections(out, net_, endpoint_);
  if (authoriser_ != nullptr) Authentication(out, authoriser_->stats());
  Requests(out, dispatcher_.stats());
  out.Family("ztserver_recordsets_refused_total", "counter",
             "CREATERECORDSETs refused by MaxRecordsetsPerConnection.");
  out.Sample("ztserver_recordsets_refused_total", dispatcher_.recordset_limit_refusals());

  out.Family("ztserver_recordsets_open", "gauge", "Recordsets open now.");
  out.Sample("ztserver_recordsets_open", static_cast<uint64_t>(recordsets_.open_count()));
  out.Family("ztserver_resultset_memory_bytes", "gauge",
             "Memory the open recordsets hold (rows, pending edits, sort keys).");
  out.Sample("ztserver_resultset_memory_bytes", recordsets_.budget().used());
  out.Family("ztserver_resultset_memory_limit_bytes", "gauge",
             "ResultsetMemory: the bound on ztserver_resultset_memory_bytes.");
  out.Sample("ztserver_resultset_memory_limit_bytes", recordsets_.budget().limit());
  out.Family("ztserver_row_locks_held", "gauge", "Row locks held by clients now.");
  out.Sample("ztserver_row_locks_held", static_cast<uint64_t>(dispatcher_.locks().size()));

  out.Family("ztserver_database_open", "gauge", "1 while the database is open, else 0.");
  out.Sample("ztserver_database_open", uint64_t{database_.IsConnected() ? 1u : 0u});
  if (database_.IsConnected()) {
    out.Family("ztserver_file_size_bytes", "gauge", "Size of each database file.");
    out.Sample("ztserver_file_size_bytes", {{"file", "data"}}, Length(FileLength(database_.data_file())));
    out.Sample("ztserver_file_size_bytes", {{"file", "index"}}, Length(database_.index().Length()));
    out.Sample("ztserver_file_size_bytes", {{"file", "definition"}},
               Length(FileLength(database_.definition_file())));
  }

  Log(out, database_, dispatcher_.stats());
  Verification(out, verifier_);

  out.Family("ztserver_uptime_seconds", "gauge", "Seconds since the server started.");
  out.Sample("ztserver_uptime_seconds", SecondsSince(startup_.started));
  out.Family("ztserver_start_time_seconds", "gauge",
             "When the server started, in seconds since the Unix epoch.");
  out.Sample("ztserver_start_time_seconds",
             std::chrono::duration<double>(startup_.started_wall.time_since_epoch()).count());
  out.Family("ztserver_startup", "gauge",
             "The result of the last start-up: 1 on the series of its result.");
  out.Sample("ztserver_startup", {{"result", startup_.result}}, uint64_t{1});
  return out.Take();
}

HttpReply ServerMetrics::Health() const {
  HttpReply reply;
  reply.content_type = kPlainText;
  const std::string& log_error = dispatcher_.stats().last_commit_error;
  const std::string& file_error = database_.file_write_error();
  // Files the verification after an unclean start found damaged: the
  // server serves what it can read, but it is not well.
  const bool damaged =
      verifier_ != nullptr && verifier_->state() == DatabaseVerifier::State::kDamaged;
  if (database_.IsConnected() && log_error.empty() && file_error.empty() && !damaged) {
    reply.body = "ok\n";
    return reply;
  }
  reply.status = 503;
  if (!database_.IsConnected()) {
    reply.body =
        "database not open" + (startup_.reason.empty() ? "" : ": " + startup_.reason) + "\n";
  } else if (!log_error.empty()) {
    // Changes are refused: the worse of the two.
    reply.body = "log not writable: " + OneLine(log_error) + "\n";
  } else if (!file_error.empty()) {
    // Changes are taken and durable, but only the log holds them.
    reply.body = "database files not writable: " + OneLine(file_error) + "; " +
                 std::to_string(database_.log_waiting_bytes()) +
                 " bytes of committed changes wait in the log\n";
  } else {
    reply.body = "database damaged (found by the verification after an unclean start; stop the "
                 "server and run " +
                 std::string(verifier_->remedy()) + "): " +
                 (verifier_->problems().empty() ? std::string("see the error log")
                                                : OneLine(verifier_->problems().front())) +
                 "\n";
  }
  return reply;
}

std::string ServerMetrics::FileWriteTransition() {
  const std::string& error = database_.file_write_error();
  const auto now = std::chrono::steady_clock::now();
  if (!error.empty() && !files_refusing_) {
    files_refusing_ = true;
    refusing_since_ = now;
    return "Log: " + OneLine(error) + "; the committed changes wait in memory and in the log (" +
           std::to_string(database_.log_waiting_bytes()) +
           " bytes so far) and every commit tries again";
  }
  if (error.empty() && files_refusing_) {
    files_refusing_ = false;
    char waited[32];
    std::snprintf(waited, sizeof waited, "%.0f", SecondsSince(refusing_since_));
    return std::string("Log: the database files take the changes again; those that waited (") +
           waited + " s) are written";
  }
  return {};
}

std::string ServerMetrics::SummaryLine() {
  const NetStats& net = net_.stats();
  const RequestStats& requests = dispatcher_.stats();
  const uint64_t total = TotalRequests(requests);
  uint64_t failures = 0;
  uint64_t deferrals = 0;
  for (const CommandCounters& counters : requests.by_command) {
    failures += counters.failures;
    deferrals += counters.deferrals;
  }
  uint64_t refused = 0;
  for (const uint64_t n : net.refused) refused += n;
  char line[512];
  std::snprintf(line, sizeof line,
                "Stats: connections %zu (accepted %llu, refused %llu); requests %llu (+%llu since "
                "the last summary; failed %llu, deferred tries %llu); recordsets %zu, resultset "
                "memory %llu bytes, row locks %zu; received %llu bytes, sent %llu bytes; "
                "database %s; up %.0f s",
                net_.sessions().size(), static_cast<unsigned long long>(net.accepted),
                static_cast<unsigned long long>(refused), static_cast<unsigned long long>(total),
                static_cast<unsigned long long>(total - summarized_requests_),
                static_cast<unsigned long long>(failures),
                static_cast<unsigned long long>(deferrals), recordsets_.open_count(),
                static_cast<unsigned long long>(recordsets_.budget().used()),
                dispatcher_.locks().size(), static_cast<unsigned long long>(net.bytes_received),
                static_cast<unsigned long long>(net.bytes_sent),
                database_.IsConnected() ? "open" : "not open", SecondsSince(startup_.started));
  summarized_requests_ = total;
  return line;
}

}  // namespace zt
