// The ztcli shell: what one input line does.
//
// A line is either a raw protocol request, sent as typed (a FAILED reply is
// followed by its reason; a command name the server does not know is
// refused here, never sent), or a backslash command from the table in
// shell.cc (\dt, \d, \show, \count, \timing, \help, \q, ...): adding one is
// adding a row there.
#ifndef ZTCLI_SHELL_H_
#define ZTCLI_SHELL_H_

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "ztcli/query.h"
#include "ztserver/client.h"

namespace ztcli {

enum class Outcome {
  kOk,
  kFailed,       // the command failed; the shell goes on
  kUnreachable,  // something other than the server could not be reached; goes on
  kLost,         // no connection to the server; the shell cannot go on
  kQuit,         // \q
};

struct ShellOptions {
  ztserver::Options server;  // where the protocol connection goes
  std::string metrics_host;  // \status reads host:port/metrics
  uint16_t metrics_port = 0;
  bool csv = false;   // results as CSV instead of aligned tables
  bool page = false;  // long results through a pager (a terminal)
};

class Shell {
 public:
  Shell(ztserver::Connection& connection, ShellOptions options)
      : db_(connection), options_(options) {}

  Outcome Execute(std::string_view line);
  // Opens the protocol connection unless it is open: the first command that
  // needs it does, so that \status and \help work against a server that
  // takes no more clients. False (the reason printed) when it cannot.
  bool Connect();

  // Backslash commands; args are the words after the command.
  Outcome ListTables(const std::vector<std::string>& args);
  Outcome DescribeTable(const std::vector<std::string>& args);
  Outcome ShowRows(const std::vector<std::string>& args);
  Outcome CountRows(const std::vector<std::string>& args);
  Outcome ToggleTiming(const std::vector<std::string>& args);
  Outcome ServerStatus(const std::vector<std::string>& args);
  Outcome Help(const std::vector<std::string>& args);
  Outcome Quit(const std::vector<std::string>& args);

 private:
  struct Column {
    std::string name;
    int32_t type = 0;
    int32_t size = 0;
    bool key = false;
    bool dropped = false;
  };
  // A result: a header and rows of texts, printed aligned or as CSV.
  struct Table {
    std::vector<std::string> header;
    std::vector<bool> right;  // right-aligned columns (numbers)
    std::vector<std::vector<std::string>> rows;
  };

  Outcome Raw(std::string_view line);
  // Adds the query's conditions to recordset h and opens it on the table.
  Outcome Open(int32_t h, const Query& query);
  Outcome Backslash(std::string_view line);
  // The outcome of a library error: kLost once the connection is gone.
  Outcome Report(const ztserver::Status& status, std::string_view what);
  // The columns of an open recordset (dropped ones found by a probe).
  bool ReadColumns(int32_t h, std::vector<Column>& columns, ztserver::Status& status);
  void Print(const Table& table);

  ztserver::Connection& db_;
  ShellOptions options_;
  bool timing_ = false;
  bool opened_ = false;  // the connection was opened once (and may be lost)
};

// The protocol command nearest to an unknown name, for a hint; empty when
// none is near.
std::string NearestCommand(std::string_view name);

}  // namespace ztcli

#endif  // ZTCLI_SHELL_H_
