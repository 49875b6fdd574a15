// ServerMetrics: what an operator sees of the running server. It reads the
// figures of every layer through their public accessors when asked (it
// keeps no counters of its own) and renders them three ways: the metrics
// page (Prometheus text, exposition.h), the health page, and the one-line
// summary the error log gets every StatsInterval seconds. It also gives the
// error log's lines for the database files' refusal of changes, and so
// remembers what it last told of it.
//
// docs/operations.md lists every metric with its meaning; a metric renamed
// or dropped here must change there too.
#ifndef ZT_SERVICE_METRICS_H_
#define ZT_SERVICE_METRICS_H_

#include <chrono>
#include <cstdint>
#include <string>

#include "net/http.h"
#include "net/http_endpoint.h"

namespace zt {

class Authoriser;
class Database;
class DatabaseVerifier;
class NetServer;
class Recordsets;
class RequestDispatcher;

inline constexpr char kMetricsPath[] = "/metrics";
inline constexpr char kHealthPath[] = "/health";
inline constexpr char kExpositionContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// How the last start-up went; set by the server as it goes.
struct StartupReport {
  std::chrono::steady_clock::time_point started = std::chrono::steady_clock::now();
  std::chrono::system_clock::time_point started_wall = std::chrono::system_clock::now();
  bool database_open = false;
  // "ok", or what went wrong ("database_not_open", ...): a label value.
  std::string result = "starting";
  // One line for the health page when the database is not open.
  std::string reason;
};

class ServerMetrics {
 public:
  ServerMetrics(const NetServer& net, const RequestDispatcher& dispatcher,
                const Recordsets& recordsets, Database& database, const StartupReport& startup)
      : net_(net),
        dispatcher_(dispatcher),
        recordsets_(recordsets),
        database_(database),
        startup_(startup) {}

  void set_endpoint(const HttpEndpoint* endpoint) { endpoint_ = endpoint; }
  // The authoriser, when the server has users (its counters are shown).
  void set_authoriser(const Authoriser* authoriser) { authoriser_ = authoriser; }
  // The verification after an unclean start (none: there is none).
  void set_verifier(const DatabaseVerifier* verifier) { verifier_ = verifier; }

  // GET or HEAD of kMetricsPath or kHealthPath; 404 for other paths, 405
  // for other methods.
  HttpReply Serve(const HttpRequest& request);

  std::string Exposition() const;
  // 200 "ok" when the database is open, the last commit of changes to its
  // log succeeded, its files take the committed changes and the
  // verification after an unclean start found nothing (a running one does
  // not count against it); else 503 with the reason; one line either way.
  HttpReply Health() const;
  // The line for the error log when the database files have begun, or
  // ceased, to refuse the committed changes (Database::file_write_error)
  // since the last call; empty when neither. The server asks once a
  // second, so a refusal is told once when it begins and once when it
  // ends, however many commits meet it.
  std::string FileWriteTransition();
  // One line of the main figures, with the requests answered since the
  // last summary.
  std::string SummaryLine();

 private:
  const NetServer& net_;
  const RequestDispatcher& dispatcher_;
  const Recordsets& recordsets_;
  Database& database_;
  const StartupReport& startup_;
  const HttpEndpoint* endpoint_ = nullptr;
  const Authoriser* authoriser_ = nullptr;
  const DatabaseVerifier* verifier_ = nullptr;
  uint64_t summarized_requests_ = 0;
  // What FileWriteTransition last told.
  bool files_refusing_ = false;
  std::chrono::steady_clock::time_point refusing_since_;
};

}  // namespace zt

#endif  // ZT_SERVICE_METRICS_H_
