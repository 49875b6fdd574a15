#include "ztcli/status.h"

#include <cmath>
#include <cstdlib>

#include "ztserver/client.h"

namespace zt::cli {
namespace {

// Whether the sample's labels include every one of want.
bool Matches(const Sample& sample, const std::map<std::string, std::string>& want) {
  for (const auto& [key, value] : want) {
    const auto it = sample.labels.find(key);
    if (it == sample.labels.end() || it->second != value) return false;
  }
  return true;
}

// The sum of the samples named name whose labels include every one of want.
double Sum(const std::vector<Sample>& samples, const std::string& name,
           const std::map<std::string, std::string>& want = {}) {
  double total = 0;
  for (const Sample& sample : samples) {
    if (sample.name == name && Matches(sample, want)) total += sample.value;
  }
  return total;
}

bool Has(const std::vector<Sample>& samples, const std::string& name) {
  for (const Sample& sample : samples) {
    if (sample.name == name) return true;
  }
  return false;
}

std::string Bytes(double n) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  size_t unit = 0;
  while (n >= 1024 && unit + 1 < std::size(kUnits)) {
    n /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", n, kUnits[unit]);
  return text;
}

std::string Count(double n) {
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", n);
  return text;
}

void Row(std::string& out, const char* figure, const std::string& value) {
  char line[256];
  std::snprintf(line, sizeof line, "  %-20s %s\n", figure, value.c_str());
  out += line;
}

// The upper bound of the bucket that holds the q-quantile of a histogram's
// samples (name_bucket with the given labels); "-" without samples.
std::string Quantile(const std::vector<Sample>& samples, const std::string& name,
                     const std::map<std::string, std::string>& labels, double q) {
  std::vector<std::pair<double, double>> buckets;  // (le, cumulative count)
  for (const Sample& sample : samples) {
    if (sample.name != name + "_bucket" || !Matches(sample, labels)) continue;
    if (!sample.labels.count("le")) continue;
    const std::string& le = sample.labels.at("le");
    buckets.emplace_back(le == "+Inf" ? HUGE_VAL : std::strtod(le.c_str(), nullptr), sample.value);
  }
  if (buckets.empty() || buckets.back().second == 0) return "-";
  const double rank = q * buckets.back().second;
  double below = 0;  // the bound of the bucket before
  for (const auto& [le, cumulative] : buckets) {
    if (cumulative >= rank) {
      char text[32];
      if (std::isinf(le)) {
        std::snprintf(text, sizeof text, "> %g ms", below * 1000);
      } else {
        std::snprintf(text, sizeof text, "<= %g ms", le * 1000);
      }
      return text;
    }
    below = le;
  }
  return "-";
}

}  // namespace

std::vector<Sample> ParseMetricsPage(const std::string& text) {
  std::vector<Sample> samples;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    Sample sample;
    size_t at = line.find_first_of("{ ");
    if (at == std::string::npos) continue;
    sample.name = line.substr(0, at);
    if (line[at] == '{') {
      ++at;
      while (at < line.size() && line[at] != '}') {
        const size_t equals = line.find("=\"", at);
        if (equals == std::string::npos) break;
        const std::string key = line.substr(at, equals - at);
        std::string value;
        at = equals + 2;
        while (at < line.size() && line[at] != '"') {
          if (line[at] == '\\' && at + 1 < line.size()) {
            ++at;
            value += line[at] == 'n' ? '\n' : line[at];
          } else {
            value += line[at];
          }
          ++at;
        }
        sample.labels[key] = value;
        at += 1;
        if (at < line.size() && line[at] == ',') ++at;
      }
      at = line.find(' ', at);
      if (at == std::string::npos) continue;
    }
    const std::string value = line.substr(at + 1);
    if (value == "+Inf") {
      sample.value = HUGE_VAL;
    } else if (value == "-Inf") {
      sample.value = -HUGE_VAL;
    } else {
      char* stop = nullptr;
      sample.value = std::strtod(value.c_str(), &stop);
      if (stop == value.c_str()) continue;
    }
    samples.push_back(std::move(sample));
  }
  return samples;
}

std::string FormatStatus(const std::vector<Sample>& s) {
  std::string out = "Server\n";
  std::string startup = "-";
  for (const Sample& sample : s) {
    if (sample.name == "ztserver_startup" && sample.value == 1 && sample.labels.count("result")) {
      startup = sample.labels.at("result");
    }
  }
  Row(out, "uptime", Count(Sum(s, "ztserver_uptime_seconds")) + " s");
  Row(out, "last start-up", startup);
  Row(out, "database", Sum(s, "ztserver_database_open") == 1 ? "open" : "not open");
  if (Has(s, "ztserver_file_size_bytes")) {
    Row(out, "files", "data " + Bytes(Sum(s, "ztserver_file_size_bytes", {{"file", "data"}})) +
                          ", index " +
                          Bytes(Sum(s, "ztserver_file_size_bytes", {{"file", "index"}})) +
                          ", definition " +
                          Bytes(Sum(s, "ztserver_file_size_bytes", {{"file", "definition"}})));
  }
  std::string refused;
  for (const Sample& sample : s) {
    if (sample.name != "ztserver_connections_refused_total") continue;
    refused += ", " + Count(sample.value) + " refused (" +
               (sample.labels.count("limit") ? sample.labels.at("limit") : "?") + ")";
  }
  Row(out, "connections", Count(Sum(s, "ztserver_connections")) + " open, " +
                              Count(Sum(s, "ztserver_connections_accepted_total")) + " accepted" +
                              refused);
  Row(out, "traffic", Bytes(Sum(s, "ztserver_received_bytes_total")) + " received, " +
                          Bytes(Sum(s, "ztserver_sent_bytes_total")) + " sent");
  Row(out, "processing runs", Count(Sum(s, "ztserver_processing_runs_total")));
  Row(out, "recordsets open", Count(Sum(s, "ztserver_recordsets_open")));
  Row(out, "resultset memory", Bytes(Sum(s, "ztserver_resultset_memory_bytes")) + " of " +
                                   Bytes(Sum(s, "ztserver_resultset_memory_limit_bytes")));
  Row(out, "row locks held", Count(Sum(s, "ztserver_row_locks_held")));
  if (Has(s, "ztserver_log_syncs_total")) {
    Row(out, "log", Count(Sum(s, "ztserver_log_records_total")) + " records, " +
                        Bytes(Sum(s, "ztserver_log_written_bytes_total")) + " written, " +
                        Count(Sum(s, "ztserver_log_syncs_total")) + " syncs (p99 " +
                        Quantile(s, "ztserver_log_sync_duration_seconds", {}, 0.99) + "), " +
                        Count(Sum(s, "ztserver_log_checkpoints_total")) + " checkpoints, " +
                        Count(Sum(s, "ztserver_log_commit_failures_total")) + " failed commits");
  }
  if (Has(s, "ztserver_recovery_clean_shutdown")) {
    Row(out, "last open", Sum(s, "ztserver_recovery_clean_shutdown") == 1
                              ? std::string("after a clean shutdown")
                              : "after a crash: " +
                                    Count(Sum(s, "ztserver_recovery_replayed_records")) +
                                    " log records replayed, " +
                                    Bytes(Sum(s, "ztserver_recovery_torn_bytes_dropped")) +
                                    " of torn tail dropped");
  }
  if (Has(s, "ztserver_verification_state") && Sum(s, "ztserver_verification_state") > 0) {
    const double state = Sum(s, "ztserver_verification_state");
    Row(out, "verification",
        state == 1 ? "running, " +
                         std::to_string(static_cast<int>(
                             100 * Sum(s, "ztserver_verification_progress_ratio"))) +
                         "% done"
        : state == 2 ? std::string("the files check clean")
                     : Count(Sum(s, "ztserver_verification_problems")) +
                           " problem(s) found: see the error log");
  }
  Row(out, "requests", Count(Sum(s, "ztserver_requests_total")) + " answered, " +
                           Count(Sum(s, "ztserver_request_failures_total")) + " failed, " +
                           Count(Sum(s, "ztserver_request_deferrals_total")) + " deferred tries, " +
                           Count(Sum(s, "ztserver_request_final_failures_total")) +
                           " failed after every try, " +
                           Count(Sum(s, "ztserver_requests_unknown_total")) + " unknown");

  char line[256];
  std::snprintf(line, sizeof line, "\n%-12s %12s %12s %14s %14s\n", "group", "requests",
                "mean", "median", "p99");
  out += line;
  for (const Sample& sample : s) {
    if (sample.name != "ztserver_request_duration_seconds_count" || !sample.labels.count("group")) {
      continue;
    }
    const std::map<std::string, std::string> group = {{"group", sample.labels.at("group")}};
    const double sum = Sum(s, "ztserver_request_duration_seconds_sum", group);
    char mean[32] = "-";
    if (sample.value > 0) std::snprintf(mean, sizeof mean, "%.3f ms", sum * 1000 / sample.value);
    std::snprintf(line, sizeof line, "%-12s %12s %12s %14s %14s\n", group.at("group").c_str(),
                  Count(sample.value).c_str(), mean,
                  Quantile(s, "ztserver_request_duration_seconds", group, 0.5).c_str(),
                  Quantile(s, "ztserver_request_duration_seconds", group, 0.99).c_str());
    out += line;
  }

  std::snprintf(line, sizeof line, "\n%-32s %10s %10s %10s %10s\n", "command", "requests",
                "failures", "deferrals", "final");
  std::string commands;
  for (const Sample& sample : s) {
    if (sample.name != "ztserver_requests_total" || !sample.labels.count("command")) continue;
    const std::map<std::string, std::string> command = {{"command", sample.labels.at("command")}};
    const double deferrals = Sum(s, "ztserver_request_deferrals_total", command);
    if (sample.value == 0 && deferrals == 0) continue;  // only what was used
    char row[256];
    std::snprintf(row, sizeof row, "%-32s %10s %10s %10s %10s\n", command.at("command").c_str(),
                  Count(sample.value).c_str(),
                  Count(Sum(s, "ztserver_request_failures_total", command)).c_str(),
                  Count(deferrals).c_str(),
                  Count(Sum(s, "ztserver_request_final_failures_total", command)).c_str());
    commands += row;
  }
  if (!commands.empty()) out += line + commands;
  return out;
}

int PrintStatus(const std::string& host, uint16_t port, int timeout_ms, std::FILE* out) {
  const ztserver::Result<ztserver::HttpResponse> got =
      ztserver::HttpGet(host, port, "/metrics", timeout_ms);
  if (!got.ok()) {
    std::fprintf(stderr, "ztcli: \\status: %s\n", got.status().message().c_str());
    return 2;
  }
  const ztserver::HttpResponse& page = *got;
  if (page.status != 200) {
    std::fprintf(stderr, "ztcli: \\status: the endpoint answered %d\n", page.status);
    return 2;
  }
  std::fputs(FormatStatus(ParseMetricsPage(page.body)).c_str(), out);
  std::fflush(out);
  return 0;
}

}  // namespace zt::cli
