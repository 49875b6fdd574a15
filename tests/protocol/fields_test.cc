// Request syntax and the command table, without sockets.
#include "protocol/fields.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "protocol/command_table.h"
#include "support/test_support.h"
#include "ztserver/client.h"

namespace zt {
namespace {

struct SplitCase {
  const char* request;
  int count;
  std::vector<std::string> fields;  // the first fields; the rest must be empty
};

class SplitCases : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitCases, Splits) {
  const SplitCase& c = GetParam();
  RequestFields fields;
  fields.fill("stale");  // nothing from an earlier request may survive
  EXPECT_EQ(SplitFields(c.request, fields), c.count) << c.request;
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::string expected = i < c.fields.size() ? c.fields[i] : "";
    EXPECT_EQ(fields[i], expected) << c.request << " field " << i + 1;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, SplitCases,
    ::testing::Values(
        SplitCase{"", 0, {}}, SplitCase{"~~~", 0, {}},
        SplitCase{"CREATERECORDSET", 1, {"CREATERECORDSET"}}, SplitCase{"A~~B", 2, {"A", "B"}},
        SplitCase{"~A~B~", 2, {"A", "B"}}, SplitCase{"A~ ~B", 3, {"A", "", "B"}},
        SplitCase{"  MOVE  ~  3  ", 2, {"MOVE", "3"}},
        SplitCase{"A~\tx\t", 2, {"A", "\tx\t"}},  // only blanks are trimmed
        SplitCase{"1~2~3~4~5~6~7~8~9~10~11", 9, {"1", "2", "3", "4", "5", "6", "7", "8", "9"}}));

TEST(FieldToInt, ReadsLikeAtoi) {
  const std::pair<const char*, int32_t> cases[] = {
      {"", 0},
      {"x", 0},
      {"12", 12},
      {"0012", 12},
      {"12ab", 12},
      {"  7", 7},
      {"-5", -5},
      {"+9", 9},
      {"- 5", 0},
      {"2147483647", INT32_MAX},
      {"99999999999", INT32_MAX},
      {"-99999999999", INT32_MIN},
      {"\t3", 3},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(FieldToInt(text), value) << '"' << text << '"';
}

// Every command the protocol knows, grouped as the protocol lists them.
const char* const kProtocolCommands[] = {
    "STARTTRANSACTION",
    "COMMITTRANSACTION",
    "ROLLBACKTRANSACTION",
    "GETLASTERRORTEXT",
    "CREATERECORDSET",
    "RECORDSETCLOSE",
    "RECORDSETISCONNECTED",
    "RECORDSETGETLASTERROR",
    "GETLOCATIONINFORMATION",
    "SETLOCATIONINFORMATION",
    "REBUILDDATABASE",
    "RECORDSETOPEN",
    "RECORDSETOPENFLOOR",
    "RECORDSETOPENCEILING",
    "RECORDSETADDFILTERCOLUMN",
    "RECORDSETCLEARFILTERS",
    "RECORDSETFILTERON",
    "RECORDSETCANBOOKMARK",
    "RECORDSETSETBOOKMARK",
    "RECORDSETGETBOOKMARK",
    "RECORDSETGETLASTUPDATEDBOOKMARK",
    "RECORDSETGETROWCOUNT",
    "RECORDSETGETSELECTEDROWCOUNT",
    "RECORDSETGETFILTEREDCOUNT",
    "RECORDSETMOVEFIRST",
    "RECORDSETMOVENEXT",
    "RECORDSETMOVEPREV",
    "RECORDSETMOVELAST",
    "RECORDSETISCURRENTROWLOCKED",
    "RECORDSETLOCKCURRENTROW",
    "RECORDSETUNLOCKCURRENTROW",
    "RECORDSETLOCKALL",
    "RECORDSETUNLOCKALL",
    "RECORDSETADDROW",
    "RECORDSETSETFIELDVALUE",
    "RECORDSETGETFIELDVALUE",
    "RECORDSETUPDATE",
    "RECORDSETDELETECURRENTROW",
    "RECORDSETDELETEALL",
    "RECORDSETFINDROW",
    "RECORDSETSORT",
    "RECORDSETGETFIELDCOUNT",
    "RECORDSETGETFIELDNAME",
    "RECORDSETGETFIELDINFO",
    "RECORDSETISFIELDNULLABLE",
    "RECORDSETISFIELDKEYCOLUMN",
    "RECORDSETISFIELDBLOB",
    "RECORDSETGETFIELDSIZE",
    "RECORDSETSELECTROW",
    "RECORDSETDESELECTROW",
    "RECORDSETSELECTALL",
    "RECORDSETDESELECTALL",
    "RECORDSETSELECTROWSRANGE",
    "RECORDSETDESELECTROWSRANGE",
    "RECORDSETISROWSELECTED",
    "RECORDSETMOVETOFIRSTSELECTEDROW",
    "RECORDSETMOVETONEXTSELECTEDROW",
    "RECORDSETMOVETOPREVSELECTEDROW",
    "RECORDSETMOVETOLASTSELECTEDROW",
    "GETTABLENAMES",  // an extension
    "RECORDSETFETCHROWS",  // an extension
    "AUTHENTICATE",   // an extension
};

TEST(CommandTable, HoldsEveryProtocolCommandOnceAndNothingElse) {
  std::set<std::string> names;
  for (const Command& command : CommandTable()) {
    EXPECT_TRUE(names.insert(command.name).second) << "duplicate " << command.name;
  }
  const std::set<std::string> protocol(std::begin(kProtocolCommands), std::end(kProtocolCommands));
  EXPECT_EQ(names, protocol);
}

// The client library knows the same commands, with the handle where the
// server reads one (every RECORDSET command): a command it lacked would be
// refused as unknown.
TEST(CommandTable, TheClientLibraryKnowsEveryCommand) {
  std::set<std::string> client_names;
  for (const ztserver::CommandInfo& info : ztserver::Commands()) {
    client_names.insert(info.name);
    const Command* command = FindCommand(info.name);
    ASSERT_NE(command, nullptr) << info.name;
    EXPECT_EQ(info.has_handle, std::string_view(info.name).substr(0, 9) == "RECORDSET") << info.name;
  }
  std::set<std::string> names;
  for (const Command& command : CommandTable()) names.insert(command.name);
  EXPECT_EQ(client_names, names);
}

// The Python client's table (clients/python/ztserver/__init__.py, COMMANDS)
// names the same commands, and looks for each failure's reason where the
// C++ library does.
TEST(CommandTable, ThePythonClientAgreesWithTheLibrary) {
  const std::string source =
      testing::ReadFile(std::string(ZT_SOURCE_DIR) + "/clients/python/ztserver/__init__.py");
  const size_t begin = source.find("COMMANDS: Dict");
  ASSERT_NE(begin, std::string::npos);
  const size_t end = source.find('}', begin);
  std::map<std::string, std::string> python;  // name -> "db", "rs" or "None"
  for (size_t at = source.find('"', begin); at < end; at = source.find('"', at)) {
    const size_t close = source.find('"', at + 1);
    const std::string name = source.substr(at + 1, close - at - 1);
    const size_t colon = source.find(':', close);
    const size_t stop = source.find_first_of(",}", colon);
    std::string where = source.substr(colon + 1, stop - colon - 1);
    where.erase(0, where.find_first_not_of(' '));
    python[name] = where;
    at = stop;
  }
  std::map<std::string, std::string> library;
  for (const ztserver::CommandInfo& info : ztserver::Commands()) {
    library[info.name] = info.error_text == ztserver::ErrorText::kDatabase    ? "_DB"
                         : info.error_text == ztserver::ErrorText::kRecordset ? "_RS"
                                                                              : "None";
  }
  EXPECT_EQ(python, library);
}

// Every engine operation of the protocol exists now: a command without a
// handler would always answer its failure reply.
TEST(CommandTable, EveryCommandHasAHandler) {
  for (const Command& command : CommandTable()) {
    EXPECT_TRUE(command.handler != nullptr || command.job != nullptr) << command.name;
  }
}

TEST(CommandTable, RecordsetCommandsRequireTheirHandle) {
  for (const Command& command : CommandTable()) {
    if (std::string_view(command.name).substr(0, 9) != "RECORDSET") continue;
    EXPECT_TRUE(command.required & Required({2})) << command.name;
  }
}

TEST(CommandTable, ExactlyTheLockCollidingCommandsAreDeferrable) {
  const std::set<std::string> expected = {"RECORDSETLOCKCURRENTROW", "RECORDSETLOCKALL"};
  std::set<std::string> deferrable;
  for (const Command& command : CommandTable()) {
    if (command.deferrable) deferrable.insert(command.name);
  }
  EXPECT_EQ(deferrable, expected);
}

TEST(CommandTable, LookupIgnoresCaseAndRejectsOthers) {
  ASSERT_NE(FindCommand("recordsetMoveFirst"), nullptr);
  EXPECT_STREQ(FindCommand("recordsetMoveFirst")->name, "RECORDSETMOVEFIRST");
  EXPECT_EQ(FindCommand("HELLO"), nullptr);
  EXPECT_EQ(FindCommand(""), nullptr);
  EXPECT_EQ(FindCommand("RECORDSETGETLASTERRORTEXT"), nullptr);  // a reply name only
  EXPECT_EQ(FindCommand(std::string(5000, 'A')), nullptr);
}

}  // namespace
}  // namespace zt
