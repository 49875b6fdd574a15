// ztadmin: offline administration of a ZTServer database.
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <span>
#include <string>
#include <vector>

#include "ztadmin/alter.h"
#include "ztadmin/check.h"
#include "ztadmin/commands.h"
#include "ztadmin/dump.h"
#include "ztadmin/export_sql.h"
#include "ztadmin/load.h"
#include "ztadmin/maintenance.h"
#include "ztadmin/recover.h"
#include "ztadmin/users.h"

namespace {

using Args = std::span<const std::string>;  // the words after the command

// What a command's handler gets besides its words.
struct Io {
  std::ostream& out;
  std::ostream& err;
  bool terminal;  // standard error is a terminal: show progress there
};

// One command of the tool. The usage text is made from this table, so a
// command exists exactly when it has a row here.
struct Command {
  const char* name;
  const char* synopsis;  // the words it takes, as the usage shows them
  const char* help;      // what it does; lines after the first are indented
  int min_args;
  int max_args;
  int (*run)(Args args, const Io& io);
};

// dump reads its own words: its options go in any order.
int RunDump(Args args, const Io& io) {
  zt::admin::DumpRequest request;
  std::string problem;
  if (!zt::admin::ParseDumpArgs(args, request, problem)) {
    io.err << "ztadmin: " << problem << "\n(ztadmin dump --help shows its forms)\n";
    return 2;
  }
  return zt::admin::DumpCommand(request, io.out, io.err, io.terminal);
}

// Asks on the terminal; anything but y or yes declines.
bool ConfirmOnTerminal(const std::string& question) {
  std::cerr << question << " [y/N] " << std::flush;
  std::string answer;
  if (!std::getline(std::cin, answer)) return false;
  return answer == "y" || answer == "Y" || answer == "yes";
}

int RunCheck(Args a, const Io& io) {
  zt::admin::CheckOptions options;
  for (const std::string& word : a.subspan(1)) {
    if (word == "--repair") {
      options.repair = true;
    } else if (word == "--yes") {
      options.yes = true;
    } else {
      io.err << "ztadmin: check: unknown option '" << word << "'\n";
      return 2;
    }
  }
  if (options.yes && !options.repair) {
    io.err << "ztadmin: check: --yes goes with --repair\n";
    return 2;
  }
  if (isatty(STDIN_FILENO) != 0) options.confirm = ConfirmOnTerminal;
  options.show_progress = io.terminal;
  return zt::admin::CheckCommand(a[0], options, io.out, io.err);
}

// alter's subcommands take words of their own.
int RunAlter(Args args, const Io& io) {
  const int status =
      zt::admin::AlterCommand(args[0], {args.begin() + 1, args.end()}, io.out, io.err, io.terminal);
  if (status == 2) io.err << "(ztadmin alter --help shows its forms)\n";
  return status;
}

int RunRecover(Args a, const Io& io) {
  zt::DamagedLog choice = zt::DamagedLog::kRefuse;
  if (a.size() > 1) {
    if (a[1] == "--replay-before-damage") {
      choice = zt::DamagedLog::kReplayBeforeDamage;
    } else if (a[1] == "--keep-files") {
      choice = zt::DamagedLog::kKeepFiles;
    } else {
      io.err << "ztadmin: recover: unknown option '" << a[1] << "'\n";
      return 2;
    }
  }
  return zt::admin::RecoverCommand(a[0], choice, io.out, io.err);
}

// Asks for a password on the terminal with echo off.
std::string PromptHidden(const char* question) {
  std::cerr << question << std::flush;
  termios saved{};
  const bool restore = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (restore) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
  }
  std::string answer;
  std::getline(std::cin, answer);
  if (restore) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  std::cerr << "\n";
  return answer;
}

int RunUser(Args a, const Io& io) {
  return zt::admin::UserCommand(a, std::cin, io.out, io.err,
                                isatty(STDIN_FILENO) != 0 ? PromptHidden : nullptr);
}

constexpr Command kCommands[] = {
    {"create", "DATAFILE SCHEMAFILE",
     "make a new, empty database from a schema:\n"
     "DATAFILE and its .zdf and .zix siblings;\n"
     "never overwrites an existing file",
     2, 2,
     [](Args a, const Io& io) { return zt::admin::CreateCommand(a[0], a[1], io.out, io.err); }},
    {"describe", "DATAFILE",
     "list the tables, their columns, the number of\n"
     "live records of each, and the location texts",
     1, 1, [](Args a, const Io& io) { return zt::admin::DescribeCommand(a[0], io.out, io.err); }},
    {"load", "DATAFILE TABLE CSVFILE",
     "append the rows of a CSV file to a table; the\n"
     "header line names the columns; a row that\n"
     "cannot be stored stops the load before it",
     3, 3,
     [](Args a, const Io& io) {
       return zt::admin::LoadCommand(a[0], a[1], a[2], io.out, io.err, io.terminal);
     }},
    {"dump", "DATAFILE [TABLE] [--format csv|json] [--folder DIR]",
     "write live records, oldest first, as CSV in\n"
     "the form load reads back: TABLE's to standard\n"
     "output, or every table's into the new folder\n"
     "DIR, a file TABLE.csv each (written into\n"
     "DIR.partial, then renamed to DIR); --format\n"
     "json: JSON Lines, one object per record\n"
     "({\"table\":...,\"record\":{...}}), of TABLE or\n"
     "of every table, to standard output; numbers\n"
     "as JSON numbers where their text is one",
     1, 5, RunDump},
    {"export-sql", "DATAFILE",
     "write the database as a PostgreSQL script to\n"
     "standard output (load it with psql -f): per\n"
     "table CREATE TABLE, COPY of the live records,\n"
     "CREATE INDEX per key column. Types: integer:\n"
     "bigint (numeric above size 18); numeric:\n"
     "numeric; float: double precision; text:\n"
     "varchar(size). A blank number is NULL; a\n"
     "numeric column holding a non-number is made\n"
     "varchar(size) and the script says so",
     1, 1,
     [](Args a, const Io& io) {
       return zt::admin::ExportSqlCommand(a[0], io.out, io.err, io.terminal);
     }},
    {"backup", "DATAFILE DEST",
     "write a consistent copy of the database\n"
     "files into the new folder DEST (a running\n"
     "server makes one on SIGUSR1 instead)",
     2, 2,
     [](Args a, const Io& io) { return zt::admin::BackupCommand(a[0], a[1], io.out, io.err); }},
    {"check", "DATAFILE [--repair [--yes]]",
     "read everything and report inconsistencies:\n"
     "record chains and headers, the data file's\n"
     "records, the index structure, and index\n"
     "entries against the live records; --repair\n"
     "then lists the repairs that lose nothing a\n"
     "reader can reach (cut a torn tail off the\n"
     "data file, drop stray index entries, rebuild\n"
     "the index) and makes them after --yes or a\n"
     "confirmation on the terminal",
     1, 3, RunCheck},
    {"reindex", "DATAFILE",
     "build the index anew from the live records\n"
     "(beside the old one, then renamed over it)\n"
     "and check the result",
     1, 1,
     [](Args a, const Io& io) {
       return zt::admin::ReindexCommand(a[0], io.out, io.err, io.terminal);
     }},
    {"compact", "DATAFILE",
     "rewrite the data file with only its live\n"
     "records (every table's rows, values and order\n"
     "unchanged), rebuild the index, swap the new\n"
     "files in at once (a crash leaves the old\n"
     "database or the new one), and report the\n"
     "space reclaimed; needs room for a copy",
     1, 1,
     [](Args a, const Io& io) {
       return zt::admin::CompactCommand(a[0], io.out, io.err, io.terminal);
     }},
    {"recover", "DATAFILE [--keep-files | --replay-before-damage]",
     "when the write-ahead log is damaged (the\n"
     "server refuses to start and names the\n"
     "record): alone, report what the log holds\n"
     "and the choices; --keep-files drops the log\n"
     "and keeps the files (a crash of the server\n"
     "alone left every change in them);\n"
     "--replay-before-damage replays the sound\n"
     "records before the damage without writing\n"
     "older states over newer ones (after a power\n"
     "failure); then either checks the database",
     1, 2, RunRecover},
    {"alter", "DATAFILE SUBCOMMAND ARGS...",
     "change the schema, as one change of the log;\n"
     "a bad request changes nothing and says why:\n"
     "add-table NAME COLUMN...  a new, empty\n"
     "  table; each COLUMN is NAME:TYPE:SIZE\n"
     "  or NAME:TYPE:SIZE:key, e.g. Name:text:20:key\n"
     "add-column TABLE NAME TYPE SIZE  a non-key\n"
     "  column appended; the records stored before\n"
     "  it read it empty\n"
     "drop-column TABLE COLUMN  flag the column\n"
     "  dropped (its bytes stay); a key column's\n"
     "  keys leave the index; the last live column\n"
     "  of a table cannot be dropped\n"
     "rename-column TABLE OLD NEW  a key column's\n"
     "  keys are rewritten under the new name\n"
     "set-location N TEXT  location field N (1..8);\n"
     "  an empty TEXT (\"\") clears it",
     2, 1000, RunAlter},
    {"user", "add|remove|list|passwd USERSFILE [NAME]",
     "manage the server's users file (UsersFile):\n"
     "add NAME [--access readwrite|readonly|readlock]\n"
     "  [--iterations N]  a new user; the password\n"
     "  is asked on the terminal, or read from the\n"
     "  first line of standard input\n"
     "passwd NAME  a new password, asked the same way\n"
     "remove NAME, list  (names and access)\n"
     "The file is written with mode 0600; the server\n"
     "re-reads it on SIGHUP",
     2, 7, RunUser},
};

constexpr char kPreamble[] =
    "usage: ztadmin [--config FILE | --work-folder DIR] [--memory MIB] COMMAND ARGS...\n"
    "       ztadmin COMMAND --help\n"
    "\n"
    "Offline administration of a ZTServer database (stop the server first).\n"
    "Every command first replays what the database's write-ahead log holds\n"
    "(a server that stopped uncleanly leaves it) and empties it at the end.\n"
    "The log lies in the server's work folder: --work-folder DIR, else the\n"
    "WorkFolder of --config FILE, else that of /etc/ztserver/ztserver.ini when\n"
    "it serves this data file, else the data file's own folder.\n"
    "check, reindex and compact sort every key within --memory MIB (default\n"
    "256), in run files in $TMPDIR (else /tmp) beyond it.\n"
    "\n"
    "commands:\n";

constexpr char kEpilogue[] =
    "\n"
    "The schema format (one statement per line, '#' comments):\n"
    "  table NAME\n"
    "  column NAME TYPE SIZE [key] [dropped]   TYPE: integer, numeric, float,\n"
    "                                          text, or a type code\n"
    "  location N TEXT                         N: 1..8\n"
    "\n"
    "Exit status: 0 on success, 1 on failure (check: on any problem), 2 on a\n"
    "usage error.\n";

// "  NAME SYNOPSIS" with the help beside it, in two columns when it fits.
void PrintCommand(std::ostream& out, const Command& command) {
  constexpr size_t kHelpColumn = 31;
  std::string head = std::string("  ") + command.name + " " + command.synopsis;
  const bool beside = head.size() + 2 <= kHelpColumn;
  out << head;
  if (!beside) out << "\n";
  size_t pad = beside ? kHelpColumn - head.size() : kHelpColumn;
  for (const char* line = command.help; *line != '\0';) {
    const char* end = std::strchr(line, '\n');
    if (end == nullptr) end = line + std::strlen(line);
    out << std::string(pad, ' ') << std::string(line, end) << "\n";
    pad = kHelpColumn;
    line = *end == '\0' ? end : end + 1;
  }
}

void PrintUsage(std::ostream& out) {
  out << kPreamble;
  for (const Command& command : kCommands) PrintCommand(out, command);
  out << kEpilogue;
}

int Usage(const std::string& problem) {
  std::cerr << "ztadmin: " << problem << "\n";
  PrintUsage(std::cerr);
  return 2;
}

void PrintCommandUsage(std::ostream& out, const Command& command) {
  out << "usage: ztadmin [--config FILE | --work-folder DIR] " << command.name << " "
      << command.synopsis << "\n";
}

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  // Options before the command say where the server keeps the database's
  // log (see LogFolderFor).
  zt::admin::ToolOptions options;
  while (argc >= 3 && (std::strcmp(argv[1], "--config") == 0 ||
                       std::strcmp(argv[1], "--work-folder") == 0 ||
                       std::strcmp(argv[1], "--memory") == 0)) {
    if (std::strcmp(argv[1], "--memory") == 0) {
      // MiB, from the least a sort takes to 1 TiB.
      char* end = nullptr;
      const unsigned long long mib = std::strtoull(argv[2], &end, 10);
      if (end == argv[2] || *end != '\0' || mib < 1 || mib > (1ull << 20)) {
        return Usage("--memory takes a number of MiB from 1 to 1048576, not '" +
                     std::string(argv[2]) + "'");
      }
      options.sort_memory = static_cast<size_t>(mib) << 20;
    } else {
      (std::strcmp(argv[1], "--config") == 0 ? options.config_file : options.work_folder) =
          argv[2];
    }
    argv += 2;
    argc -= 2;
  }
  zt::admin::SetToolOptions(options);
  if (argc < 2) return Usage("no command given");
  const std::string name = argv[1];
  const std::vector<std::string> args(argv + 2, argv + argc);
  if (name == "--help" || name == "-h" || name == "help") {
    PrintUsage(std::cout);
    return 0;
  }
  const Command* command = FindCommand(name);
  if (command == nullptr) return Usage("unknown command '" + name + "'");
  for (const std::string& arg : args) {
    if (arg == "--help") {
      PrintCommandUsage(std::cout, *command);
      std::cout << "\n";
      PrintCommand(std::cout, *command);
      return 0;
    }
  }
  const int count = static_cast<int>(args.size());
  if (count < command->min_args || count > command->max_args) {
    std::cerr << "ztadmin: " << command->name << " takes " << command->synopsis << "\n";
    PrintCommandUsage(std::cerr, *command);
    std::cerr << "(ztadmin --help lists every command)\n";
    return 2;
  }
  const Io io{std::cout, std::cerr, isatty(STDERR_FILENO) != 0};
  return command->run(args, io);
}
