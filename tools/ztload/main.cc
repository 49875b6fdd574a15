// ztload: drives a ztserver on this machine through the protocol and reports
// the rate, with one or more concurrent clients.
//
//   ztload [--mode MODE] [-p port] [-c clients] [-n rows] [-s seconds]
//          [-t table] [-k keycolumn] [-f first] [options] [COLUMN=VALUE ...]
//
// The default mode, insert, stores rows: each client connects to 127.0.0.1
// (never anywhere else), creates and opens a recordset on the table and
// then, per row: RECORDSETADDROW, one RECORDSETSETFIELDVALUE for the key
// column (a number unique to the client and row) and one for every
// COLUMN=VALUE, and RECORDSETUPDATE. The other modes (workloads.h) read:
// lookups by key, pings, field reads, opens, key ranges, sorts, and many
// open recordsets at once. A client stops after its rows (operations) or
// when the time is up, whichever comes first; both are bounded. Prints the
// rows or operations done, the time taken and the rate, and the mean and
// worst time of one. Exit status 0 when every request succeeded, 1 when one
// failed or went unanswered, 2 on bad usage.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ztload/workloads.h"

namespace {

using namespace zt::load;

struct ModeName {
  const char* name;
  Mode mode;
};
constexpr ModeName kModes[] = {
    {"insert", Mode::kInsert}, {"lookup", Mode::kLookup},
    {"ping", Mode::kPing},     {"get", Mode::kGet},
    {"open", Mode::kOpen},     {"range", Mode::kRange},
    {"sort", Mode::kSort},     {"recordsets", Mode::kRecordsets},
    {"connect", Mode::kConnect},
};

const char* NameOf(Mode mode) {
  for (const ModeName& m : kModes) {
    if (m.mode == mode) return m.name;
  }
  return "?";
}

void Usage(std::FILE* out) {
  std::fprintf(
      out,
      "Usage: ztload [--mode MODE] [-p port] [-c clients] [-n rows] [-s seconds] [-t table]\n"
      "              [-k keycolumn] [-f first] [options] [COLUMN=VALUE ...]\n"
      "Drives the server on 127.0.0.1 through the protocol and reports the rate.\n"
      "  --mode MODE   what each client does (default insert):\n"
      "     insert     per row ADDROW, SETFIELDVALUE of the key and of each COLUMN=VALUE,\n"
      "                UPDATE, on a recordset open on the table\n"
      "     lookup     CLEARFILTERS, ADDFILTERCOLUMN key = n (n random in 1..keys), OPEN,\n"
      "                GETFIELDVALUE column, in one write\n"
      "     ping       STARTTRANSACTION, one per round trip\n"
      "     get        GETFIELDVALUE column on the row key = client + 1, one per round trip\n"
      "     open       OPEN the table without a filter and GETROWCOUNT, in one write\n"
      "     range      key >= a and key < a + range, OPEN, GETROWCOUNT, then every row\n"
      "                read (MOVENEXT, GETFIELDVALUE column), pipelined\n"
      "     sort       OPEN, SORT on column, MOVEFIRST, GETROWCOUNT, then every row read\n"
      "                in order, pipelined\n"
      "     recordsets the clients connect one after another, each opening the whole\n"
      "                table, and stay; then the server's memory and temporary files\n"
      "     connect    a new connection per operation: connect, greeting (and TLS\n"
      "                handshake), STARTTRANSACTION, close\n"
      "  --tls         connect through the server's TLS listener (-p names its port)\n"
      "  --ca FILE     tls: the CA that signed the server's certificate\n"
      "  -p port       server port (default 5432)\n"
      "  -c clients    concurrent clients, 1..%d (recordsets: 1..%d) (default 1)\n"
      "  -n rows       rows (insert) or operations per client, 1..%ld (default 1000)\n"
      "  -s seconds    time limit, 1..%ld (default 30)\n"
      "  -t table      table (default LOAD)\n"
      "  -k column     numeric key column (default ID)\n"
      "  -f first      insert: first key number (default 1); client c uses\n"
      "                first + c * %ld + row; other modes: the random seed\n"
      "  --column C    the column read (default NAME)\n"
      "  --keys N      lookup, range: keys are 1..N (default 100000)\n"
      "  --range N     range: rows per operation (default 1000)\n"
      "  --pipeline    insert: send each row's requests in one write\n"
      "  --no-fetch    range, sort: time the server's work only (up to GETROWCOUNT)\n"
      "  --echo        ping: the peer is an echo server (no greeting; replies repeat)\n"
      "  --pid PID     recordsets: the server process whose memory is read\n"
      "  --temp DIR    recordsets: the server's temporary folder, whose files count\n"
      "  --cap-mib N   recordsets: stop opening once memory + files pass N MiB\n"
      "  COLUMN=VALUE  insert: further columns set on every row (default for LOAD:\n"
      "                NAME, CITY and QTY)\n",
      kMaxClients, kMaxRecordsets, kMaxRowsPerClient, kMaxSeconds, kMaxRowsPerClient);
}

bool ParseLong(const char* text, long low, long high, long& out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < low || value > high) return false;
  out = value;
  return true;
}

bool ParseMode(const char* text, Mode& mode) {
  for (const ModeName& m : kModes) {
    if (std::string(text) == m.name) {
      mode = m.mode;
      return true;
    }
  }
  return false;
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
    } else if (arg == "--mode" && has_value && ParseMode(argv[++i], options.mode)) {
    } else if (arg == "-p" && has_value && ParseLong(argv[++i], 1, 65535, value)) {
      options.port = static_cast<int>(value);
    } else if (arg == "-c" && has_value && ParseLong(argv[++i], 1, kMaxRecordsets, value)) {
      options.clients = static_cast<int>(value);
    } else if (arg == "-n" && has_value && ParseLong(argv[++i], 1, kMaxRowsPerClient, value)) {
      options.rows = value;
    } else if (arg == "-s" && has_value && ParseLong(argv[++i], 1, kMaxSeconds, value)) {
      options.seconds = value;
    } else if (arg == "-f" && has_value && ParseLong(argv[++i], 0, 1000000000, value)) {
      options.first = value;
    } else if (arg == "--keys" && has_value && ParseLong(argv[++i], 1, 1000000000, value)) {
      options.keys = value;
    } else if (arg == "--range" && has_value && ParseLong(argv[++i], 1, kMaxRowsPerClient, value)) {
      options.range = value;
    } else if (arg == "--pid" && has_value && ParseLong(argv[++i], 1, 1 << 30, value)) {
      options.server_pid = static_cast<int>(value);
    } else if (arg == "--cap-mib" && has_value && ParseLong(argv[++i], 1, 1 << 30, value)) {
      options.cap_mib = value;
    } else if (arg == "--temp" && has_value) {
      options.temp_dir = argv[++i];
    } else if (arg == "--tls") {
      options.tls = true;
    } else if (arg == "--ca" && has_value) {
      options.ca_file = argv[++i];
    } else if (arg == "--pipeline") {
      options.pipeline = true;
    } else if (arg == "--no-fetch") {
      options.no_fetch = true;
    } else if (arg == "--echo") {
      options.echo = true;
    } else if (arg == "-t" && has_value) {
      options.table = argv[++i];
    } else if (arg == "-k" && has_value) {
      options.key = argv[++i];
    } else if (arg == "--column" && has_value) {
      options.column = argv[++i];
    } else if (arg.find('=') != std::string::npos && arg[0] != '-' && arg[0] != '=') {
      options.columns.push_back(arg);
    } else {
      std::fprintf(stderr, "ztload: bad argument '%s'\n", arg.c_str());
      Usage(stderr);
      return 2;
    }
  }
  // Threads per client: more than a few dozen only measure the scheduler.
  // The recordsets mode holds its connections from one thread.
  if (options.mode != Mode::kRecordsets && options.clients > kMaxClients) {
    std::fprintf(stderr, "ztload: at most %d clients in mode %s\n", kMaxClients,
                 NameOf(options.mode));
    return 2;
  }
  if (options.echo && options.mode != Mode::kPing) {
    std::fprintf(stderr, "ztload: --echo is for mode ping\n");
    return 2;
  }
  if (options.columns.empty() && options.table == "LOAD") {
    options.columns = {"NAME=Load Test Customer", "CITY=Springfield", "QTY=12"};
  }

  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::seconds(options.seconds);
  if (options.mode == Mode::kRecordsets) return RunRecordsets(options, deadline);

  std::vector<Result> results(static_cast<size_t>(options.clients));
  std::vector<std::thread> threads;
  for (int c = 0; c < options.clients; ++c) {
    threads.emplace_back(RunClient, std::cref(options), c, deadline,
                         std::ref(results[static_cast<size_t>(c)]));
  }
  for (std::thread& thread : threads) thread.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  Result total;
  int status = 0;
  for (size_t c = 0; c < results.size(); ++c) {
    total.ops += results[c].ops;
    total.rows += results[c].rows;
    total.total_op_ms += results[c].total_op_ms;
    if (results[c].worst_op_ms > total.worst_op_ms) total.worst_op_ms = results[c].worst_op_ms;
    if (!results[c].failure.empty()) {
      std::fprintf(stderr, "ztload: client %zu: %s\n", c, results[c].failure.c_str());
      status = 1;
    }
  }
  const double mean_ms = total.ops > 0 ? total.total_op_ms / static_cast<double>(total.ops) : 0.0;
  if (options.mode == Mode::kInsert) {
    std::printf("clients %d  rows %ld  seconds %.3f  rows/s %.0f  row ms mean %.3f worst %.3f\n",
                options.clients, total.rows, seconds, seconds > 0 ? total.rows / seconds : 0.0,
                mean_ms, total.worst_op_ms);
  } else {
    std::printf(
        "mode %s  clients %d  ops %ld  rows %ld  seconds %.3f  ops/s %.1f  op ms mean %.4f "
        "worst %.3f\n",
        NameOf(options.mode), options.clients, total.ops, total.rows, seconds,
        seconds > 0 ? total.ops / seconds : 0.0, mean_ms, total.worst_op_ms);
  }
  return status;
}
