// The table of known INI keys: the check of a file against it, and the
// documentation kept in step with it.
#include "config/config_keys.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "config/server_files.h"

namespace zt {
namespace {

TEST(ConfigKeys, EveryLineNoReaderUsesIsToldWithItsLine) {
  struct Case {
    const char* text;
    std::vector<std::string> warnings;  // without the "Config: f.ini:" before each
  };
  const Case cases[] = {
      {"; fine\n[CONNECTION]\nDatabaseFile=x\n\n[server]\nretrydelay = 5\n# Nope=1\n", {}},
      {"[SERVER]\nRetryDelya=5\n",
       {"2: unknown key [SERVER] RetryDelya (did you mean [SERVER] RetryDelay?); ignored"}},
      {"[SERVER]\nMaxConection=5\n",
       {"2: unknown key [SERVER] MaxConection (did you mean [SERVER] MaxConnections?); ignored"}},
      {"[SERVER]\nFlavour=mint\n", {"2: unknown key [SERVER] Flavour; ignored"}},
      {"[CONNECTION]\nWorkFolder=w\n",
       {"2: unknown key [CONNECTION] WorkFolder (it belongs in [SERVER]); ignored"}},
      {"[SERVRE]\nWorkFolder=w\n",
       {"2: unknown key [SERVRE] WorkFolder (it belongs in [SERVER]); ignored"}},
      {"DatabaseFile=x\n[CONNECTION]\n", {"1: DatabaseFile comes before any [SECTION]; ignored"}},
      {"[SERVER]\nRetryDelay=5\nretrydelay=6\n",
       {"3: [SERVER] retrydelay is given again; line 2 is the one read"}},
      {"[SERVER]\nWorkFolder=a\n[SERVER]\nWorkFolder=b\nLockFolder=c\n",
       {"4: [SERVER] WorkFolder is given again; line 2 is the one read",
        "5: [SERVER] LockFolder is in a second [SERVER] section; only the first is read"}},
      {"[SERVER]\nRetryDelay 5\n=5\n",
       {"2: not a KEY=VALUE line; ignored", "3: not a KEY=VALUE line; ignored"}},
  };
  for (const Case& c : cases) {
    IniFile ini;
    ini.Parse(c.text);
    std::vector<std::string> expected;
    for (const std::string& w : c.warnings) expected.push_back("Config: f.ini:" + w);
    EXPECT_EQ(CheckConfigKeys(ini, "f.ini"), expected) << c.text;
  }
}

TEST(ConfigKeys, PlaceNamesTheLineAValueIsReadFrom) {
  IniFile ini;
  ini.Parse("[SERVER]\nRetryDelay=1\n[CONNECTION]\nDatabaseFile=x\n");
  EXPECT_EQ(ConfigPlace(ini, "f.ini", kConnectionSection, "databasefile"), "f.ini:4");
  EXPECT_EQ(ConfigPlace(ini, "f.ini", kServerSection, "WorkFolder"), "f.ini");
}

// ---- The documentation against the table -------------------------------------

using KeySet = std::set<std::string>;  // "SECTION Name"

std::string ReadSource(const std::string& name) {
  std::ifstream in(std::string(ZT_SOURCE_DIR) + "/" + name);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

KeySet TableKeys() {
  KeySet keys;
  for (const ConfigKey& key : ConfigKeys()) keys.insert(std::string(key.section) + " " + key.name);
  return keys;
}

// KEY= lines (commented out or not) of INI text, with their sections.
KeySet IniKeys(const std::string& text) {
  KeySet keys;
  std::istringstream lines(text);
  std::string line, section;
  const std::regex header(R"(^\[(\w+)\]\s*$)"), entry(R"(^;?([A-Za-z]+)=.*$)");
  std::smatch m;
  while (std::getline(lines, line)) {
    if (std::regex_match(line, m, header)) section = m[1];
    if (std::regex_match(line, m, entry)) keys.insert(section + " " + m[1].str());
  }
  return keys;
}

// The ```ini block of the README.
std::string ReadmeIni() {
  const std::string readme = ReadSource("README.md");
  const size_t begin = readme.find("```ini\n");
  if (begin == std::string::npos) return "";
  return readme.substr(begin + 7, readme.find("```", begin + 7) - begin - 7);
}

// The rows "| `[SECTION] Key`, `Key2` | ..." of docs/operations.md.
KeySet OperationsKeys() {
  KeySet keys;
  std::istringstream lines(ReadSource("docs/operations.md"));
  std::string line;
  const std::regex row(R"(^\| `\[(\w+)\] ([^|]*)\|)"), name(R"(`(?:\[\w+\] )?(\w+)`)");
  std::smatch m;
  while (std::getline(lines, line)) {
    if (!std::regex_search(line, m, row)) continue;
    const std::string section = m[1], cell = "`" + m[2].str();
    for (auto it = std::sregex_iterator(cell.begin(), cell.end(), name);
         it != std::sregex_iterator(); ++it) {
      keys.insert(section + " " + (*it)[1].str());
    }
  }
  return keys;
}

TEST(ConfigKeys, TheDocumentationNamesEveryKeyTheServerReadsAndNoOther) {
  const KeySet table = TableKeys();
  const std::pair<const char*, KeySet> documents[] = {
      {"docs/operations.md", OperationsKeys()},
      {"README.md", IniKeys(ReadmeIni())},
      {"packaging/ztserver.ini.example", IniKeys(ReadSource("packaging/ztserver.ini.example"))},
  };
  for (const auto& [document, keys] : documents) {
    for (const std::string& key : table) {
      EXPECT_TRUE(keys.count(key)) << document << " does not mention " << key;
    }
    for (const std::string& key : keys) {
      EXPECT_TRUE(table.count(key)) << document << " mentions " << key
                                    << ", which the server does not read";
    }
  }
}

}  // namespace
}  // namespace zt
