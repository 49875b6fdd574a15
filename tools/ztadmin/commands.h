// The commands of ztadmin. Each returns the process exit status (0 = done)
// and writes its report to out and its one-line failure message to err.
#ifndef ZTADMIN_COMMANDS_H_
#define ZTADMIN_COMMANDS_H_

#include <cstddef>
#include <iosfwd>
#include <string>

#include "engine/external_sort.h"

namespace zt {
class Database;
struct DefinitionHeader;
struct TableDefinition;
}  // namespace zt

namespace zt::admin {

// Where the tool looks for a database's write-ahead log.
struct ToolOptions {
  std::string config_file;  // the server's INI file, when given
  std::string work_folder;  // the server's work folder, when given
  // What a sort of every key (check, reindex, compact) may hold in memory
  // (--memory MIB); the rest goes to run files in the temporary folder.
  size_t sort_memory = kDefaultSortMemory;
};
void SetToolOptions(const ToolOptions& options);
// The sort options the commands pass to the engine.
SortOptions ToolSortOptions();
// The folder of the log of data_file: the work folder given, else that of
// the INI file given, else that of the default INI file when it serves
// data_file, else data_file's own folder.
std::string LogFolderFor(const std::string& data_file);

// Opens an existing database for offline work (exclusively, so it fails
// while a server holds it), with its log (replayed first); explains a
// failure on err.
bool OpenOffline(Database& db, const std::string& data_file, std::ostream& err);

// Reads the definition of table from an open database; explains a failure
// (an unknown table included) on err.
bool ReadTableOffline(Database& db, const std::string& data_file, const std::string& table,
                      TableDefinition& definition, std::ostream& err);

// Reads the header of an open database's definition file (the table
// names, the location texts); explains a failure on err.
bool ReadDefinitionHeaderOffline(Database& db, const std::string& data_file,
                                 DefinitionHeader& header, std::ostream& err);

// Creates a new, empty database from a schema file; never overwrites.
int CreateCommand(const std::string& data_file, const std::string& schema_file, std::ostream& out,
                  std::ostream& err);

// Prints the tables, their columns, their live record counts and the
// location texts.
int DescribeCommand(const std::string& data_file, std::ostream& out, std::ostream& err);

// Copies the database files into the new folder dest.
int BackupCommand(const std::string& data_file, const std::string& dest, std::ostream& out,
                  std::ostream& err);

}  // namespace zt::admin

#endif  // ZTADMIN_COMMANDS_H_
