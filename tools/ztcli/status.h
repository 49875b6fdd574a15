// ztcli's \status: the server's figures as a table, read from its metrics
// endpoint (the page in the Prometheus text format that [SERVER]
// MetricsAddress serves), so the table and a monitoring system always show
// the same numbers.
#ifndef ZT_TOOLS_ZTCLI_STATUS_H_
#define ZT_TOOLS_ZTCLI_STATUS_H_

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace zt::cli {

// One sample of the page: a metric name, its labels and its value.
struct Sample {
  std::string name;
  std::map<std::string, std::string> labels;
  double value = 0;
};

// The samples of a page; comment lines and lines that are not samples are
// skipped (the table shows what it can read).
std::vector<Sample> ParseMetricsPage(const std::string& text);

// The table for a page's samples.
std::string FormatStatus(const std::vector<Sample>& samples);

// Fetches host:port/metrics and prints the table to out. 0 on success, 2
// when the endpoint cannot be read (the reason on stderr).
int PrintStatus(const std::string& host, uint16_t port, int timeout_ms, std::FILE* out);

}  // namespace zt::cli

#endif  // ZT_TOOLS_ZTCLI_STATUS_H_
