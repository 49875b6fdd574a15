// The ztcli shell: what one input line does.
//
// A line is either a raw protocol request, sent as typed (a FAILED reply is
// followed by its reason; a command name the server does not know is
// refused here, never sent), or a backslash command from the table in
// shell.cc (\dt, \d, \show, \count, \timing, \help, \q, ...): adding one is
// adding a row there.
//
// Variables (\set NAME VALUE): a request field that is exactly :NAME is
// sent as NAME's value. CREATERECORDSET sets h to the handle it returned,
// so RECORDSETOPEN~:h~Customers names the recordset just created whatever
// its number. ON_ERROR_STOP (on/off) makes a script (piped input, \i, -c)
// stop at its first failed line.
#ifndef ZTCLI_SHELL_H_
#define ZTCLI_SHELL_H_

#include <cstdio>
#include <istream>
#include <map>
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
  bool stop_on_error = false;  // ON_ERROR_STOP's first value
};

class Shell {
 public:
  Shell(ztserver::Connection& connection, ShellOptions options);

  Shell(const Shell&) = delete;
  Shell& operator=(const Shell&) = delete;
  ~Shell();

  Outcome Execute(std::string_view line);
  // Runs the lines of in; errors name the line ("name:LINE: ERROR: ...";
  // an empty name: none, for -c).
  // Stops at \q (kQuit), a lost connection (kLost), or, with ON_ERROR_STOP
  // on, at the first failure (kFailed, and stopped() is true). Otherwise
  // kFailed when a line failed, else kOk.
  Outcome RunScript(std::istream& in, const std::string& name);
  bool stopped() const { return stopped_; }
  bool stop_on_error() const;

  // Opens the protocol connection unless it is open: the first command that
  // needs it does, so that \status and \help work against a server that
  // takes no more clients. False (the reason printed) when it cannot.
  bool Connect();
  // Closes the connection and opens a new one: after a restart of the
  // server, or a request abandoned with Ctrl-C. The handles of the old
  // connection are gone (h is unset).
  bool Reconnect();
  // True when the server closed the connection while no request was
  // waiting (it stopped, or IdleTimeout passed): the socket is readable
  // between requests.
  bool ConnectionDropped() const;

  // The words that may complete `word`, the word under the cursor, given
  // the text of the line before it: backslash commands, protocol command
  // names, table names (after \d, \show, \count, RECORDSETOPEN...~h~) and
  // column names (in a \show or \count query; in a request on a handle
  // this shell opened).
  std::vector<std::string> Complete(std::string_view before, std::string_view word);

  // Backslash commands; args are the words after the command.
  Outcome ListTables(const std::vector<std::string>& args);
  Outcome DescribeTable(const std::vector<std::string>& args);
  Outcome ShowRows(const std::vector<std::string>& args);
  Outcome CountRows(const std::vector<std::string>& args);
  Outcome ToggleTiming(const std::vector<std::string>& args);
  Outcome ServerStatus(const std::vector<std::string>& args);
  Outcome Help(const std::vector<std::string>& args);
  Outcome Quit(const std::vector<std::string>& args);
  Outcome Expanded(const std::vector<std::string>& args);
  Outcome Include(const std::vector<std::string>& args);
  Outcome Output(const std::vector<std::string>& args);
  Outcome SetVariable(const std::vector<std::string>& args);
  Outcome UnsetVariable(const std::vector<std::string>& args);

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
  // The request with its :NAME fields replaced; false (told) when a name
  // is not set.
  bool Substitute(const std::string& line, std::string& request);
  // Learns from a request that succeeded: h from CREATERECORDSET, the
  // table of a handle from an open.
  void Remember(const std::string& request, const std::string& reply);
  // "ERROR: " and the message on standard error, after the place of the
  // script line being run, if any.
  void Error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // The column names of a table (a recordset opened and closed for it);
  // empty when it cannot be read.
  std::vector<std::string> ColumnNames(const std::string& table);
  std::vector<std::string> TableNames();
  // After a failed open of query.table with conditions: the conditions'
  // columns the table lacks, told; false when every one is there.
  bool ReportUnknownColumns(const Query& query);
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
  bool expanded_ = false;      // \x: one line per value
  std::FILE* out_ = stdout;    // \o: where results go
  std::map<std::string, std::string> variables_;
  std::map<int32_t, std::string> tables_;  // handle -> table, for completion
  std::string place_;          // "name:LINE: " of the script line being run
  int include_depth_ = 0;
  bool stopped_ = false;
};

// The protocol command nearest to an unknown name, for a hint; empty when
// none is near.
std::string NearestCommand(std::string_view name);

}  // namespace ztcli

#endif  // ZTCLI_SHELL_H_
