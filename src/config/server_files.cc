#include "config/server_files.h"

#include "config/config_keys.h"
#include "engine/error_log.h"
#include "engine/filenames.h"

namespace zt {

ServerFiles ReadServerFiles(const IniFile& ini, const std::string& config_file) {
  ServerFiles files;
  files.database_file = ResolveAgainst(
      config_file, GetConfigValue(ini, kConnectionSection, "DatabaseFile", "", kDatabaseFileRoom));
  files.work_folder = ResolveAgainst(
      config_file, GetConfigValue(ini, kServerSection, "WorkFolder", kDefaultWorkFolder, kPathRoom));
  // "WorkFolder=" is there but says nothing: the default, not the INI
  // file's own folder.
  if (files.work_folder.empty()) files.work_folder = kDefaultWorkFolder;
  return files;
}

ServerFiles ReadServerFiles(const std::string& config_file) {
  IniFile ini;
  ini.Load(config_file);
  return ReadServerFiles(ini, config_file);
}

}  // namespace zt
