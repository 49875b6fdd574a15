// The workloads ztload drives against a server on 127.0.0.1: what one client
// does in each mode, and what it counts.
//
// Every mode but `recordsets` runs one thread per client; each client makes
// its own connection and recordset and repeats one operation until its
// operation count or the common deadline is reached, whichever comes first.
// An operation's requests are sent in one write where the mode says
// "pipelined", and its time is from the first byte sent to the last reply
// read. A reply of FAILED where none is expected, or a missing reply, ends
// that client with a failure message.
#ifndef ZT_TOOLS_ZTLOAD_WORKLOADS_H_
#define ZT_TOOLS_ZTLOAD_WORKLOADS_H_

#include <chrono>
#include <string>
#include <vector>

namespace zt::load {

using Clock = std::chrono::steady_clock;

// Bounds of the command line; the reasons are in Usage().
constexpr int kMaxClients = 64;
constexpr int kMaxRecordsets = 2000;
constexpr long kMaxRowsPerClient = 1000000;
constexpr long kMaxSeconds = 300;
constexpr int kReplyTimeoutMs = 30000;

enum class Mode {
  kInsert,      // the default: ADDROW, SETFIELDVALUE key and columns, UPDATE
  kLookup,      // CLEARFILTERS, ADDFILTERCOLUMN key = n, OPEN, GETFIELDVALUE (pipelined)
  kPing,        // STARTTRANSACTION, one request per round trip
  kGet,         // GETFIELDVALUE on the current row, one request per round trip
  kOpen,        // OPEN with no filter, GETROWCOUNT (pipelined)
  kRange,       // key >= a and key < a + range, OPEN, fetch every row
  kSort,        // OPEN, SORT on the column, fetch every row in order
  kRecordsets,  // many connections, each holding the whole table open
  kConnect,     // a new connection (greeting, TLS handshake with --tls) and one
                // STARTTRANSACTION per operation
};

struct Options {
  Mode mode = Mode::kInsert;
  int port = 5432;
  int clients = 1;
  long rows = 1000;  // rows (insert) or operations (other modes) per client
  long seconds = 30;
  long first = 1;
  long keys = 100000;     // lookup, range: key values are drawn from 1..keys
  long range = 1000;      // range: rows per operation
  bool pipeline = false;  // insert: send a row's requests in one write
  bool no_fetch = false;  // range, sort: stop at GETROWCOUNT (the server's work only)
  bool echo = false;      // ping: the peer is a plain echo server (no greeting)
  int server_pid = 0;     // recordsets: whose memory to read
  std::string temp_dir;   // recordsets: whose file bytes to count
  long cap_mib = 0;       // recordsets: stop opening past this memory + files
  std::string table = "LOAD";
  std::string key = "ID";
  std::string column = "NAME";       // the column lookup, get, range and sort read
  std::vector<std::string> columns;  // insert: NAME=VALUE
  bool tls = false;     // connect through the server's TLS listener (-p is its port)
  std::string ca_file;  // tls: the CA that signed the server's certificate
};

struct Result {
  long ops = 0;
  long rows = 0;  // rows fetched (open: rows counted)
  double total_op_ms = 0;
  double worst_op_ms = 0;
  std::string failure;  // empty: every request succeeded
};

// Runs client `index` of a threaded mode until options.rows operations or
// the deadline.
void RunClient(const Options& options, int index, Clock::time_point deadline, Result& result);

// The recordsets mode: opens options.clients connections one after another,
// each with a recordset open on the whole table, until all are open, the
// deadline passes or the server's memory and files exceed options.cap_mib;
// then prints the server's memory and temporary files. Returns the exit
// status.
int RunRecordsets(const Options& options, Clock::time_point deadline);

}  // namespace zt::load

#endif  // ZT_TOOLS_ZTLOAD_WORKLOADS_H_
