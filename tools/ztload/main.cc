// ztload: measures how many rows a ztserver on this machine stores per
// second through the protocol, with one or more concurrent clients.
//
//   ztload [-p port] [-c clients] [-n rows] [-s seconds] [-t table]
//          [-k keycolumn] [-f first] [COLUMN=VALUE ...]
//
// Each client connects to 127.0.0.1 (never anywhere else), creates and opens
// a recordset on the table and then, per row: RECORDSETADDROW, one
// RECORDSETSETFIELDVALUE for the key column (a number unique to the client
// and row) and one for every COLUMN=VALUE, and RECORDSETUPDATE. A client
// stops after its rows or when the time is up, whichever comes first; both
// are bounded. Prints the rows stored, the time taken and the rate, and the
// mean and worst round trip of a whole row. Exit status 0 when every
// request succeeded, 1 when one failed or went unanswered, 2 on bad usage.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/client.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxClients = 64;
constexpr long kMaxRowsPerClient = 1000000;
constexpr long kMaxSeconds = 300;
constexpr int kReplyTimeoutMs = 30000;

struct Options {
  int port = 5432;
  int clients = 1;
  long rows = 1000;
  long seconds = 30;
  long first = 1;
  std::string table = "LOAD";
  std::string key = "ID";
  std::vector<std::string> columns;  // NAME=VALUE
};

struct Result {
  long rows = 0;
  double total_row_ms = 0;
  double worst_row_ms = 0;
  std::string failure;  // empty: every request succeeded
};

void Usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: ztload [-p port] [-c clients] [-n rows] [-s seconds] [-t table]\n"
               "              [-k keycolumn] [-f first] [COLUMN=VALUE ...]\n"
               "Stores rows through the protocol on 127.0.0.1 and reports the rate.\n"
               "  -p port       server port (default 5432)\n"
               "  -c clients    concurrent clients, 1..%d (default 1)\n"
               "  -n rows       rows per client, 1..%ld (default 1000)\n"
               "  -s seconds    time limit, 1..%ld (default 30)\n"
               "  -t table      table (default LOAD)\n"
               "  -k column     numeric key column set to a unique number (default ID)\n"
               "  -f first      first key number (default 1); client c uses\n"
               "                first + c * %ld + row\n"
               "  COLUMN=VALUE  further columns set on every row (default for LOAD:\n"
               "                NAME, CITY and QTY)\n",
               kMaxClients, kMaxRowsPerClient, kMaxSeconds, kMaxRowsPerClient);
}

bool ParseLong(const char* text, long low, long high, long& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

bool Ok(const std::string& reply) {
  return reply.size() < 7 || reply.compare(reply.size() - 7, 7, "~FAILED") != 0;
}

void RunClient(const Options& options, int index, Clock::time_point deadline, Result& result) {
  zt::Client client;
  std::string error;
  if (!client.Open("127.0.0.1", static_cast<uint16_t>(options.port), kReplyTimeoutMs, &error)) {
    result.failure = "cannot connect: " + error;
    return;
  }
  std::string reply;
  auto call = [&](const std::string& request) {
    if (!client.Call(request, reply, kReplyTimeoutMs)) {
      result.failure = request + ": no reply";
      return false;
    }
    if (!Ok(reply)) {
      result.failure = request + ": " + reply;
      return false;
    }
    return true;
  };
  if (!call("CREATERECORDSET")) return;
  const std::string h = reply.substr(reply.find('~') + 1);
  if (!call("RECORDSETOPEN~" + h + "~" + options.table)) return;

  // The requests of one row, but for the key value, built once.
  const std::string set = "RECORDSETSETFIELDVALUE~" + h + "~";
  std::vector<std::string> column_requests;
  for (const std::string& column : options.columns) {
    const size_t eq = column.find('=');
    column_requests.push_back(set + column.substr(0, eq) + "~" + column.substr(eq + 1));
  }
  const long base = options.first + static_cast<long>(index) * kMaxRowsPerClient;
  for (long row = 0; row < options.rows && Clock::now() < deadline; ++row) {
    const Clock::time_point start = Clock::now();
    if (!call("RECORDSETADDROW~" + h)) return;
    if (!call(set + options.key + "~" + std::to_string(base + row))) return;
    for (const std::string& request : column_requests) {
      if (!call(request)) return;
    }
    if (!call("RECORDSETUPDATE~" + h)) return;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    result.total_row_ms += ms;
    if (ms > result.worst_row_ms) result.worst_row_ms = ms;
    ++result.rows;
  }
  call("RECORDSETCLOSE~" + h);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  long value = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "-h" || arg == "--help") {
      Usage(stdout);
      return 0;
    } else if (arg == "-p" && has_value && ParseLong(argv[++i], 1, 65535, value)) {
      options.port = static_cast<int>(value);
    } else if (arg == "-c" && has_value && ParseLong(argv[++i], 1, kMaxClients, value)) {
      options.clients = static_cast<int>(value);
    } else if (arg == "-n" && has_value && ParseLong(argv[++i], 1, kMaxRowsPerClient, value)) {
      options.rows = value;
    } else if (arg == "-s" && has_value && ParseLong(argv[++i], 1, kMaxSeconds, value)) {
      options.seconds = value;
    } else if (arg == "-f" && has_value && ParseLong(argv[++i], 0, 1000000000, value)) {
      options.first = value;
    } else if (arg == "-t" && has_value) {
      options.table = argv[++i];
    } else if (arg == "-k" && has_value) {
      options.key = argv[++i];
    } else if (arg.find('=') != std::string::npos && arg[0] != '-' && arg[0] != '=') {
      options.columns.push_back(arg);
    } else {
      std::fprintf(stderr, "ztload: bad argument '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }
  if (options.columns.empty() && options.table == "LOAD") {
    options.columns = {"NAME=Load Test Customer", "CITY=Springfield", "QTY=12"};
  }

  std::vector<Result> results(static_cast<size_t>(options.clients));
  std::vector<std::thread> threads;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::seconds(options.seconds);
  for (int c = 0; c < options.clients; ++c) {
    threads.emplace_back(RunClient, std::cref(options), c, deadline,
                         std::ref(results[static_cast<size_t>(c)]));
  }
  for (std::thread& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  long rows = 0;
  double total_ms = 0;
  double worst_ms = 0;
  int status = 0;
  for (size_t c = 0; c < results.size(); ++c) {
    rows += results[c].rows;
    total_ms += results[c].total_row_ms;
    if (results[c].worst_row_ms > worst_ms) worst_ms = results[c].worst_row_ms;
    if (!results[c].failure.empty()) {
      std::fprintf(stderr, "ztload: client %zu: %s\n", c, results[c].failure.c_str());
      status = 1;
    }
  }
  std::printf("clients %d  rows %ld  seconds %.3f  rows/s %.0f  row ms mean %.3f worst %.3f\n",
              options.clients, rows, seconds, seconds > 0 ? rows / seconds : 0.0,
              rows > 0 ? total_ms / static_cast<double>(rows) : 0.0, worst_ms);
  return status;
}
