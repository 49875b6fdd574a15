// Where an installation's files are, as its INI file names them: the part
// of the configuration that the server and the offline tools both read.
// Everything else in the file is the server's alone (service/config.h).
//
// [CONNECTION]  DatabaseFile  data file of the database to serve (room 259)
// [SERVER]      WorkFolder    error log and transaction files
//                             (default kDefaultWorkFolder)
// Relative paths are taken relative to the INI file's folder.
#ifndef ZT_CONFIG_SERVER_FILES_H_
#define ZT_CONFIG_SERVER_FILES_H_

#include <cstddef>
#include <string>

#include "config/ini_file.h"

namespace zt {

inline constexpr char kDefaultConfigFile[] = "/etc/ztserver/ztserver.ini";

inline constexpr char kConnectionSection[] = "CONNECTION";
inline constexpr char kServerSection[] = "SERVER";

// Room of the path values, as the configuration has always allowed.
inline constexpr size_t kDatabaseFileRoom = 259;
inline constexpr size_t kPathRoom = 4095;

struct ServerFiles {
  std::string database_file;  // resolved; empty when not configured
  std::string work_folder;    // resolved; never empty
};

// From an INI file already read (config_file is where it came from, for
// relative paths).
ServerFiles ReadServerFiles(const IniFile& ini, const std::string& config_file);
// Reads config_file; a missing file or key gives the defaults.
ServerFiles ReadServerFiles(const std::string& config_file);

}  // namespace zt

#endif  // ZT_CONFIG_SERVER_FILES_H_
