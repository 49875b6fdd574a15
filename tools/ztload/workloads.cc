#include "ztload/workloads.h"

#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ztserver/client.h"

namespace zt::load {
namespace {

constexpr char kStx = 0x02;
constexpr char kEtx = 0x03;
// A pipelined exchange writes kChunk requests at a time and keeps at most
// kWindow (+ one chunk) unanswered: their replies stay far below the 1 MiB
// of waiting replies at which the server stops reading a connection.
constexpr size_t kChunk = 256;
constexpr size_t kWindow = 1024;

bool Failed(const std::string& reply) {
  return reply.size() >= 7 && reply.compare(reply.size() - 7, 7, "~FAILED") == 0;
}

// The text after the last '~' of a reply: the handle of CREATERECORDSET,
// the value of a value reply.
std::string LastField(const std::string& reply) { return reply.substr(reply.rfind('~') + 1); }

// A small deterministic generator per client (splitmix64), so runs draw the
// same keys.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  // A number in 1..n.
  long Next(long n) {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    return 1 + static_cast<long>(z % static_cast<uint64_t>(n));
  }

 private:
  uint64_t state_;
};

// One client connection and the failure it ends with.
class Session {
 public:
  explicit Session(std::string& failure) : failure_(failure) {}

  // Connects to 127.0.0.1 and, unless the peer is a plain echo server,
  // reads the greeting.
  bool Open(const Options& options) {
    ztserver::Options where;
    where.port = static_cast<uint16_t>(options.port);
    where.connect_timeout_ms = where.reply_timeout_ms = kReplyTimeoutMs;
    where.tls = options.tls;
    where.ca_file = options.ca_file;
    const ztserver::Status status = options.echo ? client_.Connect(where) : client_.Open(where);
    return status.ok() || Fail(status.message());
  }

  // One request, one reply; FAILED is a failure.
  bool Call(const std::string& request) {
    // Frames as they are: the echo mode's peer is no ZTServer.
    if (!client_.SendFrame(request) || !client_.ReceiveText(reply_)) {
      return Fail(request + ": no reply");
    }
    return !Failed(reply_) || Fail(request + ": " + reply_);
  }
  const std::string& reply() const { return reply_; }

  // CREATERECORDSET; the handle in `handle`.
  bool Create(std::string& handle) {
    if (!Call("CREATERECORDSET")) return false;
    handle = LastField(reply_);
    return true;
  }

  // Sends the requests pipelined (see kChunk) and hands each reply in order
  // to on_reply(index, reply), which returns false to fail the exchange.
  template <typename OnReply>
  bool Exchange(const std::vector<std::string>& requests, OnReply on_reply) {
    size_t sent = 0;
    size_t received = 0;
    while (received < requests.size()) {
      if (sent < requests.size() && sent - received < kWindow) {
        frames_.clear();
        const size_t end = std::min(requests.size(), sent + kChunk);
        for (; sent < end; ++sent) {
          frames_ += kStx;
          frames_ += requests[sent];
          frames_ += kEtx;
        }
        if (!client_.SendRaw(frames_, kReplyTimeoutMs))
          return Fail(requests[sent - 1] + ": cannot send");
        continue;
      }
      if (!client_.ReceiveText(reply_)) {
        return Fail(requests[received] + ": no reply");
      }
      if (!on_reply(received, reply_)) return false;
      ++received;
    }
    return true;
  }

  // Exchange in which every reply must succeed.
  bool ExchangeAll(const std::vector<std::string>& requests) {
    return Exchange(requests, [&](size_t i, const std::string& reply) {
      return !Failed(reply) || Fail(requests[i] + ": " + reply);
    });
  }

  bool Fail(const std::string& text) {
    if (failure_.empty()) failure_ = text;
    return false;
  }

 private:
  ztserver::Connection client_;
  std::string& failure_;
  std::string reply_;
  std::string frames_;
};

// Times one operation into result.
class OpTimer {
 public:
  explicit OpTimer(Result& result) : result_(result), start_(Clock::now()) {}
  void Done() {
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start_).count();
    result_.total_op_ms += ms;
    result_.worst_op_ms = std::max(result_.worst_op_ms, ms);
    ++result_.ops;
  }

 private:
  Result& result_;
  Clock::time_point start_;
};

// Whether a sort may put `before` ahead of `after`: numbers (a numeric
// column's values) by value, other text without regard to case.
bool InOrder(const std::string& before, const std::string& after) {
  char* end_before = nullptr;
  char* end_after = nullptr;
  const double a = std::strtod(before.c_str(), &end_before);
  const double b = std::strtod(after.c_str(), &end_after);
  if (!before.empty() && !after.empty() && *end_before == '\0' && *end_after == '\0') {
    return a <= b;
  }
  return strcasecmp(before.c_str(), after.c_str()) <= 0;
}

// Reads `count` rows from the current one on: GETFIELDVALUE, then MOVENEXT
// and GETFIELDVALUE per further row, pipelined. With `ordered`, the values
// must come in ascending order (see InOrder).
bool FetchRows(Session& session, const Options& options, const std::string& h, long count,
               bool ordered, Result& result) {
  std::vector<std::string> requests;
  requests.reserve(static_cast<size_t>(2 * count));
  const std::string get = "RECORDSETGETFIELDVALUE~" + h + "~" + options.column;
  const std::string next = "RECORDSETMOVENEXT~" + h;
  for (long r = 0; r < count; ++r) {
    if (r > 0) requests.push_back(next);
    requests.push_back(get);
  }
  // A value reply is "RECORDSETGETFIELDVALUE~h~value".
  const size_t value_at = get.size() - options.column.size();
  std::string previous;
  bool first = true;
  return session.Exchange(requests, [&](size_t i, const std::string& reply) {
    if (Failed(reply)) return session.Fail(requests[i] + ": " + reply);
    if (requests[i] != get) return true;
    const std::string value = reply.substr(std::min(reply.size(), value_at));
    if (ordered && !first && !InOrder(previous, value)) {
      return session.Fail("sorted rows out of order: '" + previous + "' before '" + value + "'");
    }
    previous = value;
    first = false;
    ++result.rows;
    return true;
  });
}

void RunInsert(Session& session, const Options& options, int index, Clock::time_point deadline,
               Result& result) {
  std::string h;
  if (!session.Create(h) || !session.Call("RECORDSETOPEN~" + h + "~" + options.table)) return;
  const std::string set = "RECORDSETSETFIELDVALUE~" + h + "~";
  std::vector<std::string> row;  // the requests of one row; row[1] carries the key
  row.push_back("RECORDSETADDROW~" + h);
  row.emplace_back();
  for (const std::string& column : options.columns) {
    const size_t eq = column.find('=');
    row.push_back(set + column.substr(0, eq) + "~" + column.substr(eq + 1));
  }
  row.push_back("RECORDSETUPDATE~" + h);
  const long base = options.first + static_cast<long>(index) * kMaxRowsPerClient;
  for (long r = 0; r < options.rows && Clock::now() < deadline; ++r) {
    OpTimer timer(result);
    row[1] = set + options.key + "~" + std::to_string(base + r);
    if (options.pipeline) {
      if (!session.ExchangeAll(row)) return;
    } else {
      for (const std::string& request : row) {
        if (!session.Call(request)) return;
      }
    }
    timer.Done();
    ++result.rows;
  }
  session.Call("RECORDSETCLOSE~" + h);
}

void RunLookup(Session& session, const Options& options, int index, Clock::time_point deadline,
               Result& result) {
  std::string h;
  if (!session.Create(h)) return;
  Random random(static_cast<uint64_t>(options.first) * 1000 + static_cast<uint64_t>(index));
  std::vector<std::string> requests = {"RECORDSETCLEARFILTERS~" + h, "",
                                       "RECORDSETOPEN~" + h + "~" + options.table,
                                       "RECORDSETGETFIELDVALUE~" + h + "~" + options.column};
  const std::string add = "RECORDSETADDFILTERCOLUMN~" + h + "~" + options.key + "~=~";
  for (long op = 0; op < options.rows && Clock::now() < deadline; ++op) {
    OpTimer timer(result);
    requests[1] = add + std::to_string(random.Next(options.keys)) + "~1";
    if (!session.ExchangeAll(requests)) return;
    timer.Done();
    ++result.rows;
  }
  session.Call("RECORDSETCLOSE~" + h);
}

void RunPing(Session& session, const Options& options, Clock::time_point deadline, Result& result) {
  const std::string request = "STARTTRANSACTION";
  for (long op = 0; op < options.rows && Clock::now() < deadline; ++op) {
    OpTimer timer(result);
    if (!session.Call(request)) return;
    if (session.reply() != request) {
      session.Fail(request + ": unexpected reply " + session.reply());
      return;
    }
    timer.Done();
  }
}

void RunGet(Session& session, const Options& options, int index, Clock::time_point deadline,
            Result& result) {
  std::string h;
  if (!session.Create(h) ||
      !session.Call("RECORDSETADDFILTERCOLUMN~" + h + "~" + options.key + "~=~" +
                    std::to_string(1 + index % options.keys) + "~1") ||
      !session.Call("RECORDSETOPEN~" + h + "~" + options.table)) {
    return;
  }
  const std::string get = "RECORDSETGETFIELDVALUE~" + h + "~" + options.column;
  for (long op = 0; op < options.rows && Clock::now() < deadline; ++op) {
    OpTimer timer(result);
    if (!session.Call(get)) return;
    timer.Done();
    ++result.rows;
  }
  session.Call("RECORDSETCLOSE~" + h);
}

void RunOpen(Session& session, const Options& options, Clock::time_point deadline, Result& result) {
  std::string h;
  if (!session.Create(h)) return;
  const std::vector<std::string> requests = {"RECORDSETOPEN~" + h + "~" + options.table,
                                             "RECORDSETGETROWCOUNT~" + h};
  for (long op = 0; op < options.rows && Clock::now() < deadline; ++op) {
    OpTimer timer(result);
    long count = 0;
    if (!session.Exchange(requests, [&](size_t i, const std::string& reply) {
          if (Failed(reply)) return session.Fail(requests[i] + ": " + reply);
          if (i == 1) count = std::atol(LastField(reply).c_str());
          return true;
        })) {
      return;
    }
    timer.Done();
    result.rows += count;
  }
  session.Call("RECORDSETCLOSE~" + h);
}

// Range and sort: requests that end in GETROWCOUNT, then (unless no_fetch)
// every row fetched.
void RunFetch(Session& session, const Options& options, int index, Clock::time_point deadline,
              Result& result) {
  std::string h;
  if (!session.Create(h)) return;
  Random random(static_cast<uint64_t>(options.first) * 1000 + static_cast<uint64_t>(index));
  const bool sort = options.mode == Mode::kSort;
  const std::string add = "RECORDSETADDFILTERCOLUMN~" + h + "~" + options.key;
  for (long op = 0; op < options.rows && Clock::now() < deadline; ++op) {
    std::vector<std::string> requests;
    if (sort) {
      requests = {"RECORDSETOPEN~" + h + "~" + options.table,
                  "RECORDSETSORT~" + h + "~" + options.column + "~1", "RECORDSETMOVEFIRST~" + h};
    } else {
      const long low = random.Next(std::max(1L, options.keys - options.range + 1));
      requests = {"RECORDSETCLEARFILTERS~" + h, add + "~>=~" + std::to_string(low) + "~1",
                  add + "~<~" + std::to_string(low + options.range) + "~1",
                  "RECORDSETOPEN~" + h + "~" + options.table};
    }
    requests.push_back("RECORDSETGETROWCOUNT~" + h);
    OpTimer timer(result);
    long count = 0;
    if (!session.Exchange(requests, [&](size_t i, const std::string& reply) {
          if (Failed(reply)) return session.Fail(requests[i] + ": " + reply);
          if (i + 1 == requests.size()) count = std::atol(LastField(reply).c_str());
          return true;
        })) {
      return;
    }
    if (count > 0 && !options.no_fetch && !FetchRows(session, options, h, count, sort, result)) {
      return;
    }
    timer.Done();
  }
  session.Call("RECORDSETCLOSE~" + h);
}

// VmRSS and VmHWM of a process in KiB; false when it cannot be read.
bool ReadMemory(int pid, long& rss_kib, long& hwm_kib) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  rss_kib = hwm_kib = -1;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) rss_kib = std::atol(line.c_str() + 6);
    if (line.rfind("VmHWM:", 0) == 0) hwm_kib = std::atol(line.c_str() + 6);
  }
  return rss_kib >= 0 && hwm_kib >= 0;
}

// The bytes and number of the regular files under folder.
void CountFiles(const std::string& folder, double& bytes, long& files) {
  bytes = 0;
  files = 0;
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error)) {
    std::error_code size_error;
    if (!it->is_regular_file(size_error)) continue;
    const auto size = it->file_size(size_error);
    if (size_error) continue;  // deleted meanwhile
    bytes += static_cast<double>(size);
    ++files;
  }
}

}  // namespace

// Each operation is a connection of its own: what a client that does not
// keep its connection pays (for TLS, mostly the handshake).
void RunConnect(const Options& options, Clock::time_point deadline, Result& result) {
  for (long op = 0; op < options.rows && Clock::now() < deadline; ++op) {
    OpTimer timer(result);
    Session session(result.failure);
    if (!session.Open(options) || !session.Call("STARTTRANSACTION")) return;
    timer.Done();
  }
}

void RunClient(const Options& options, int index, Clock::time_point deadline, Result& result) {
  if (options.mode == Mode::kConnect) return RunConnect(options, deadline, result);
  Session session(result.failure);
  if (!session.Open(options)) return;
  switch (options.mode) {
    case Mode::kInsert:
      return RunInsert(session, options, index, deadline, result);
    case Mode::kLookup:
      return RunLookup(session, options, index, deadline, result);
    case Mode::kPing:
      return RunPing(session, options, deadline, result);
    case Mode::kGet:
      return RunGet(session, options, index, deadline, result);
    case Mode::kOpen:
      return RunOpen(session, options, deadline, result);
    case Mode::kRange:
    case Mode::kSort:
      return RunFetch(session, options, index, deadline, result);
    case Mode::kRecordsets:
    case Mode::kConnect:
      break;  // not a threaded mode; a connection per operation
  }
}

int RunRecordsets(const Options& options, Clock::time_point deadline) {
  constexpr double kMiB = 1024.0 * 1024.0;
  constexpr double kGiB = 1024.0 * kMiB;
  const bool measure = options.server_pid > 0;
  long rss_before = 0;
  long hwm = 0;
  if (measure && !ReadMemory(options.server_pid, rss_before, hwm)) {
    std::fprintf(stderr, "ztload: cannot read the memory of process %d\n", options.server_pid);
    return 2;
  }
  // Memory and files of the server now, in bytes.
  auto usage = [&](double& rss, double& peak, double& file_bytes, long& files) {
    long rss_kib = 0;
    long hwm_kib = 0;
    ReadMemory(options.server_pid, rss_kib, hwm_kib);
    rss = static_cast<double>(rss_kib) * 1024;
    peak = static_cast<double>(hwm_kib) * 1024;
    file_bytes = 0;
    files = 0;
    if (!options.temp_dir.empty()) CountFiles(options.temp_dir, file_bytes, files);
  };

  std::vector<std::unique_ptr<Session>> sessions;
  std::string failure;
  const Clock::time_point start = Clock::now();
  const char* stopped = "all open";
  for (int c = 0; c < options.clients; ++c) {
    if (Clock::now() >= deadline) {
      stopped = "time limit";
      break;
    }
    auto session = std::make_unique<Session>(failure);
    std::string h;
    if (!session->Open(options) || !session->Create(h) ||
        !session->Call("RECORDSETOPEN~" + h + "~" + options.table)) {
      break;
    }
    sessions.push_back(std::move(session));
    if (measure && options.cap_mib > 0) {
      double rss = 0, peak = 0, file_bytes = 0;
      long files = 0;
      usage(rss, peak, file_bytes, files);
      if (std::max(rss, peak) + file_bytes > static_cast<double>(options.cap_mib) * kMiB) {
        stopped = "memory cap";
        break;
      }
    }
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const long open = static_cast<long>(sessions.size());
  std::printf("mode recordsets  clients %d  open %ld  seconds %.3f  stopped: %s\n", options.clients,
              open, seconds, failure.empty() ? stopped : "failure");
  if (measure) {
    double rss = 0, peak = 0, file_bytes = 0;
    long files = 0;
    usage(rss, peak, file_bytes, files);
    const double before = static_cast<double>(rss_before) * 1024;
    const double total = std::max(rss, peak) + file_bytes;
    // What the same number of recordsets as asked for would take, growing
    // linearly from the idle server.
    const double estimate =
        open > 0 ? before + (total - before) * options.clients / static_cast<double>(open) : 0;
    std::printf(
        "rss MiB %.1f  hwm MiB %.1f  idle rss MiB %.1f  temp files %ld  temp MiB %.1f  "
        "total GiB %.3f  per recordset MiB %.3f  GiB at %d %.3f\n",
        rss / kMiB, peak / kMiB, before / kMiB, files, file_bytes / kMiB, total / kGiB,
        open > 0 ? (total - before) / open / kMiB : 0.0, options.clients, estimate / kGiB);
  }
  if (!failure.empty()) {
    std::fprintf(stderr, "ztload: recordset %ld: %s\n", open + 1, failure.c_str());
    return 1;
  }
  return 0;
}

}  // namespace zt::load
