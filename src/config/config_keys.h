// The keys an installation's INI file may hold: one table, which the
// readers of the file (config/server_files.cc, service/config.cc) go
// through, so a key cannot be read without being known, and which the
// check of a file (CheckConfigKeys, `ztserver --check-config`) compares the
// file against, so a misspelt key is reported instead of quietly ignored.
// What each key means is told beside the code that reads it
// (service/config.h) and in docs/operations.md; a test keeps that page,
// the README and the example INI in step with this table.
#ifndef ZT_CONFIG_CONFIG_KEYS_H_
#define ZT_CONFIG_CONFIG_KEYS_H_

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/ini_file.h"

namespace zt {

struct ConfigKey {
  const char* section;  // as it is written in the documentation
  const char* name;
};

// Every key, [CONNECTION] first, in the order the documentation gives them.
std::span<const ConfigKey> ConfigKeys();

// The key of the table that section/name stands for (case does not
// matter), or null.
const ConfigKey* FindConfigKey(std::string_view section, std::string_view name);

// The value of a key of the table (asserted: reading a key the table does
// not list is a programming error), as IniFile::Get.
std::string GetConfigValue(const IniFile& ini, std::string_view section, std::string_view name,
                           std::string_view default_value, size_t room);

// "FILE:LINE" of where section/name is read from in config_file, or
// "FILE" when the key is absent.
std::string ConfigPlace(const IniFile& ini, const std::string& config_file,
                        std::string_view section, std::string_view name);

// One warning for every line of the file that no reader will use: a key
// the table does not list (with the nearest known key, when one is near),
// a known key in the wrong section, a key before any section, a key or a
// section given again (only the first of each is read), and a line that is
// not KEY=VALUE. Each names the file and the line.
std::vector<std::string> CheckConfigKeys(const IniFile& ini, const std::string& config_file);

}  // namespace zt

#endif  // ZT_CONFIG_CONFIG_KEYS_H_
