// Where the INI file says the database and the work folder are: what the
// server and ztadmin both rely on.
#include "config/server_files.h"

#include <gtest/gtest.h>

#include "engine/error_log.h"
#include "support/test_support.h"

namespace zt {
namespace {

TEST(ServerFiles, PathsAreResolvedAgainstTheIniFolderAndAnEmptyWorkFolderIsTheDefault) {
  testing::ScratchFolder folder;
  const std::string ini = folder.File("zt.ini");
  struct Case {
    const char* text;  // null: no file at all
    std::string database_file;
    std::string work_folder;
  };
  const Case cases[] = {
      {nullptr, "", kDefaultWorkFolder},
      {"[connection]\ndatabasefile=db/shop.dat\n", folder.File("db/shop.dat"), kDefaultWorkFolder},
      {"[CONNECTION]\nDatabaseFile=/abs/shop.dat\n[SERVER]\nWorkFolder=work\n", "/abs/shop.dat",
       folder.File("work")},
      {"[SERVER]\nWorkFolder=\n", "", kDefaultWorkFolder},
      {"[SERVER]\nWorkFolder=\"\"\n", "", kDefaultWorkFolder},
  };
  for (const Case& c : cases) {
    if (c.text) testing::WriteFile(ini, c.text);
    const ServerFiles files = ReadServerFiles(ini);
    EXPECT_EQ(files.database_file, c.database_file) << (c.text ? c.text : "no file");
    EXPECT_EQ(files.work_folder, c.work_folder) << (c.text ? c.text : "no file");
  }
}

}  // namespace
}  // namespace zt
