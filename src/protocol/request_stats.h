// RequestStats: what the dispatcher has answered since start-up, per
// command and per command group, for the metrics.
//
// Per command (indexed like CommandTable()):
//   requests        answered requests, success or failure;
//   failures        answered with the failure reply (including final ones);
//   deferrals       tries that failed and left the request waiting;
//   final_failures  deferrable requests answered with their failure after
//                   using up every try (a subset of failures).
// Per group, a histogram of the time the server spent on the try that was
// answered (the handler and the reply, not the queueing before it nor the
// waits between tries), so its count equals the group's answered requests.
// Buckets are non-cumulative counts, upper bounds in kLatencyBucketBounds
// seconds, the last one +Inf.
// Requests whose command name is unknown are dropped unanswered; they are
// counted once in unknown_commands. Requests naming another client's
// recordset are refused and counted in foreign_handles. A run whose changes could not be made
// durable (the log could not be written or synced) counts in
// commit_failures, and its reason stays in last_commit_error until a
// later commit succeeds.
#ifndef ZT_PROTOCOL_REQUEST_STATS_H_
#define ZT_PROTOCOL_REQUEST_STATS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/command_table.h"

namespace zt {

inline constexpr std::array<double, 16> kLatencyBucketBounds = {
    0.00001, 0.000025, 0.00005, 0.0001, 0.00025, 0.0005, 0.001, 0.0025,
    0.005,   0.01,     0.025,   0.05,   0.1,     0.25,   1.0,   5.0};
inline constexpr size_t kLatencyBuckets = kLatencyBucketBounds.size() + 1;  // and +Inf

struct LatencyHistogram {
  std::array<uint64_t, kLatencyBuckets> counts{};
  double sum_seconds = 0;

  void Observe(double seconds) {
    size_t bucket = 0;
    while (bucket < kLatencyBucketBounds.size() && seconds > kLatencyBucketBounds[bucket]) ++bucket;
    ++counts[bucket];
    sum_seconds += seconds;
  }
  uint64_t count() const {
    uint64_t total = 0;
    for (const uint64_t n : counts) total += n;
    return total;
  }
};

struct CommandCounters {
  uint64_t requests = 0;
  uint64_t failures = 0;
  uint64_t deferrals = 0;
  uint64_t final_failures = 0;
};

struct RequestStats {
  std::vector<CommandCounters> by_command = std::vector<CommandCounters>(CommandTable().size());
  std::array<LatencyHistogram, kCommandGroups> latency;
  uint64_t unknown_commands = 0;
  uint64_t foreign_handles = 0;
  uint64_t commit_failures = 0;
  // Long requests: those that needed more than one slice, their slices,
  // their fresh starts (what they read changed meanwhile), and requests
  // that waited for another client's job.
  uint64_t jobs = 0;
  uint64_t job_slices = 0;
  uint64_t job_restarts = 0;
  uint64_t job_waits = 0;
  std::string last_commit_error;  // empty while the last commit succeeded

  void Committed(bool durable, const std::string& why) {
    if (durable) {
      last_commit_error.clear();
      return;
    }
    ++commit_failures;
    last_commit_error = why.empty() ? "unknown error" : why;
  }

  CommandCounters& of(const Command& command) {
    return by_command[static_cast<size_t>(&command - CommandTable().data())];
  }
};

}  // namespace zt

#endif  // ZT_PROTOCOL_REQUEST_STATS_H_
