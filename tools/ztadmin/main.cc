// ztadmin: offline administration of a ZTServer database.
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <string>

#include "ztadmin/check.h"
#include "ztadmin/commands.h"
#include "ztadmin/dump.h"
#include "ztadmin/load.h"
#include "ztadmin/maintenance.h"

namespace {

constexpr char kUsage[] =
    "usage: ztadmin [--config FILE | --work-folder DIR] COMMAND ARGS...\n"
    "\n"
    "Offline administration of a ZTServer database (stop the server first).\n"
    "Every command first replays what the database's write-ahead log holds\n"
    "(a server that stopped uncleanly leaves it) and empties it at the end.\n"
    "The log lies in the server's work folder: --work-folder DIR, else the\n"
    "WorkFolder of --config FILE, else that of /etc/ztserver/ztserver.ini when\n"
    "it serves this data file, else the data file's own folder.\n"
    "\n"
    "commands:\n"
    "  create DATAFILE SCHEMAFILE  make a new, empty database from a schema:\n"
    "                              DATAFILE and its .zdf and .zix siblings;\n"
    "                              never overwrites an existing file\n"
    "  describe DATAFILE           list the tables, their columns, the number of\n"
    "                              live records of each, and the location texts\n"
    "  load DATAFILE TABLE CSVFILE append the rows of a CSV file to a table; the\n"
    "                              header line names the columns; a row that\n"
    "                              cannot be stored stops the load before it\n"
    "  dump DATAFILE TABLE         write the live records of a table as CSV,\n"
    "                              oldest first, in the form load reads back\n"
    "  backup DATAFILE DEST        write a consistent copy of the database\n"
    "                              files into the new folder DEST (a running\n"
    "                              server makes one on SIGUSR1 instead)\n"
    "  check DATAFILE              read everything and report inconsistencies:\n"
    "                              record chains and headers, the data file's\n"
    "                              records, the index structure, and index\n"
    "                              entries against the live records\n"
    "\n"
    "The schema format (one statement per line, '#' comments):\n"
    "  table NAME\n"
    "  column NAME TYPE SIZE [key] [dropped]   TYPE: integer, numeric, float,\n"
    "                                          text, or a type code\n"
    "  location N TEXT                         N: 1..8\n"
    "\n"
    "Exit status: 0 on success, 1 on failure (check: on any problem), 2 on a\n"
    "usage error.\n";

int Usage(const char* problem) {
  std::cerr << "ztadmin: " << problem << "\n" << kUsage;
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Options before the command say where the server keeps the database's
  // log (see LogFolderFor).
  zt::admin::ToolOptions options;
  while (argc >= 3 && (std::strcmp(argv[1], "--config") == 0 ||
                       std::strcmp(argv[1], "--work-folder") == 0)) {
    (std::strcmp(argv[1], "--config") == 0 ? options.config_file : options.work_folder) = argv[2];
    argv += 2;
    argc -= 2;
  }
  zt::admin::SetToolOptions(options);
  if (argc < 2) return Usage("no command given");
  const std::string command = argv[1];
  bool help = command == "--help" || command == "-h" || command == "help";
  for (int i = 2; i < argc; ++i) help = help || std::strcmp(argv[i], "--help") == 0;
  if (help) {
    std::cout << kUsage;
    return 0;
  }
  if (command == "create") {
    if (argc != 4) return Usage("create takes DATAFILE SCHEMAFILE");
    return zt::admin::CreateCommand(argv[2], argv[3], std::cout, std::cerr);
  }
  if (command == "describe") {
    if (argc != 3) return Usage("describe takes DATAFILE");
    return zt::admin::DescribeCommand(argv[2], std::cout, std::cerr);
  }
  if (command == "load") {
    if (argc != 5) return Usage("load takes DATAFILE TABLE CSVFILE");
    return zt::admin::LoadCommand(argv[2], argv[3], argv[4], std::cout, std::cerr,
                                  isatty(STDERR_FILENO) != 0);
  }
  if (command == "dump") {
    if (argc != 4) return Usage("dump takes DATAFILE TABLE");
    return zt::admin::DumpCommand(argv[2], argv[3], std::cout, std::cerr);
  }
  if (command == "backup") {
    if (argc != 4) return Usage("backup takes DATAFILE DEST");
    return zt::admin::BackupCommand(argv[2], argv[3], std::cout, std::cerr);
  }
  if (command == "check") {
    if (argc != 3) return Usage("check takes DATAFILE");
    return zt::admin::CheckCommand(argv[2], std::cout, std::cerr);
  }
  if (command == "reindex") {
    if (argc != 3) return Usage("reindex takes DATAFILE");
    return zt::admin::ReindexCommand(argv[2], std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
  }
  return Usage(("unknown command '" + command + "'").c_str());
}
