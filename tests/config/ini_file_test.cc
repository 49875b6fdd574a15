// The INI reader and writer.
#include "config/ini_file.h"

#include <gtest/gtest.h>

namespace zt {
namespace {

constexpr char kSample[] =
    "; installed by hand\n"
    "[connection]\n"
    "  databasefile =  /data/shop.dat  \n"
    "TransactionName=\"T 1\"\n"
    "#ServerPort=1\n"
    "\n"
    "[Other]\n"
    "DatabaseFile=wrong\n";

TEST(IniFile, ReadsWithoutRegardToCaseAndFallsBackToDefaults) {
  IniFile ini;
  ini.Parse(kSample);
  EXPECT_EQ(ini.Get("CONNECTION", "DatabaseFile", "", 259), "/data/shop.dat");
  EXPECT_EQ(ini.Get("Connection", "TRANSACTIONNAME", "", 48), "T 1");  // quotes dropped
  EXPECT_EQ(ini.Get("CONNECTION", "ServerPort", "5432", 48), "5432");  // commented out
  EXPECT_EQ(ini.Get("MISSING", "DatabaseFile", "dflt", 48), "dflt");
  EXPECT_EQ(ini.Get("CONNECTION", "DatabaseFile", "", 5), "/data");  // cut to its room
}

TEST(IniFile, SettingAKeyKeepsEveryOtherLine) {
  IniFile ini;
  ini.Parse(kSample);
  ini.Set("CONNECTION", "ServerIP", "10.1.2.3");
  EXPECT_EQ(ini.Text(),
            "; installed by hand\n"
            "[connection]\n"
            "  databasefile =  /data/shop.dat  \n"
            "TransactionName=\"T 1\"\n"
            "#ServerPort=1\n"
            "ServerIP=10.1.2.3\n"
            "\n"
            "[Other]\n"
            "DatabaseFile=wrong\n");
  ini.Set("CONNECTION", "serverip", "");  // replaced in place, not added twice
  EXPECT_EQ(ini.Get("CONNECTION", "ServerIP", "none", 48), "");
  EXPECT_EQ(ini.Text().find("10.1.2.3"), std::string::npos);
}

TEST(IniFile, MissingSectionIsAddedAndLineEndsAreKept) {
  IniFile ini;
  ini.Parse("[SERVER]\r\nWorkFolder=w\r\n");
  ini.Set("CONNECTION", "ServerIP", "1.2.3.4");
  EXPECT_EQ(ini.Text(), "[SERVER]\r\nWorkFolder=w\r\n\r\n[CONNECTION]\r\nServerIP=1.2.3.4\r\n");
  IniFile empty;
  empty.Parse("");
  empty.Set("CONNECTION", "ServerIP", "");
  EXPECT_EQ(empty.Text(), "[CONNECTION]\nServerIP=\n");
}

}  // namespace
}  // namespace zt
