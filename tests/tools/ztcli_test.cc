// ztcli against a running server: raw requests with their failure reasons,
// the backslash commands, -c, piped input, --csv, and the exit status.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <string>
#include <thread>
#include <vector>

#include "support/server_process.h"

namespace zt::testing {
namespace {

const std::string kZtcli = std::string(ZT_BINARY_DIR) + "/ztcli";

struct CliRun {
  int status = -1;
  std::string out;  // standard output
  std::string err;  // standard error
};

CliRun RunCli(const ScratchFolder& folder, const std::string& args) {
  CliRun run;
  const std::string err_file = folder.File("ztcli.err");
  run.status = RunCommand(kZtcli + " " + args + " 2>" + err_file, &run.out, false);
  run.err = ReadFile(err_file);
  return run;
}

class ZtcliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string out;
    ASSERT_TRUE(MakeLoadedDatabase(fixture_.folder(), "db",
                                   "table People\n"
                                   "column Id integer 4 key\n"
                                   "column Name text 20 key\n"
                                   "column City text 12\n"
                                   "column Old text 4 dropped\n"
                                   "table Empty\n"
                                   "column K text 3 key\n",
                                   {{"People",
                                     "Id,Name,City\n1,Ann,Leith\n2,Bob,Perth\n3,\"Cy, Jr.\",Leith\n"
                                     "10,Dee,Ayr\n"}},
                                   &out))
        << out;
    ASSERT_TRUE(fixture_.Start()) << ReadFile(fixture_.output());
  }
  CliRun Cli(const std::string& args) {
    return RunCli(fixture_.folder(), "-p " + std::to_string(fixture_.port()) + " -t 5 " + args);
  }
  ServerFixture fixture_{/*with_database=*/false};
};

struct CliCase {
  const char* args;
  int status;
  const char* out;  // the whole standard output
  const char* err;  // a part of standard error ("" : none at all)
};

TEST_F(ZtcliTest, CommandsAndTheirOutput) {
  const CliCase cases[] = {
      // Raw requests: the reply as it is; a failure with its reason.
      {"CREATERECORDSET 'RECORDSETCLOSE~1'", 0, "CREATERECORDSET~1\nRECORDSETCLOSE~1\n", ""},
      {"-c CREATERECORDSET -c 'RECORDSETOPEN~1~Nope'", 1,
       "CREATERECORDSET~1\nRECORDSETOPEN~FAILED\n",
       "ERROR: RecordsetOpen: Error reading the table header\n"},
      {"-c 'RECORDSETMOVENEXT~9'", 1, "RECORDSETMOVENEXT~FAILED\n",
       "ERROR: there is no recordset 9\n"},
      {"-c CREATERECORDSET -c 'RECORDSETOPENFLOOR~1~People~City~x'", 1,
       "CREATERECORDSET~1\nRECORDSETOPENFLOOR~FAILED\n",
       "ERROR: RecordsetOpenFloor: Field name is not a valid key name\n"},
      // Unknown commands are refused here (a sent one would be waited for
      // until the timeout and end the session); the rest goes on.
      {"-c HELLO -c STARTTRANSACTION", 1, "STARTTRANSACTION\n", "unknown command 'HELLO', not sent"},
      {"-c 'movenext~1'", 1, "", "did you mean RECORDSETMOVENEXT?"},
      {"-c 'RECORDSETGETROWCONT~1'", 1, "", "did you mean RECORDSETGETROWCOUNT?"},
      // Backslash commands.
      {"-c '\\dt'", 0, " table\n--------\n People\n Empty\n(2 rows)\n", ""},
      {"-c '\\d People'", 0,
       " # | column | type    | size | flags\n"
       "---+--------+---------+------+---------\n"
       " 0 | Id     | integer |    4 | key\n"
       " 1 | Name   | text    |   20 | key\n"
       " 2 | City   | text    |   12 |\n"
       " 3 | Old    | text    |    4 | dropped\n"
       "(4 rows)\n",
       ""},
      {"-c '\\d Empty'", 0,
       " # | column | type | size | flags\n---+--------+------+------+-------\n"
       " 0 | K      | text |    3 | key\n(1 row)\n",
       ""},
      {"-c '\\show People WHERE City = Leith ORDER BY Id DESC LIMIT 1'", 0,
       " Id | Name    | City\n----+---------+-------\n  3 | Cy, Jr. | Leith\n(1 row)\n", ""},
      {"-c '\\show People where Id >= 2 and City <> Ayr'", 0,
       " Id | Name    | City\n----+---------+-------\n  2 | Bob     | Perth\n  3 | Cy, Jr. | Leith\n"
       "(2 rows)\n",
       ""},
      {"--csv -c '\\show People ORDER BY Id'", 0,
       "Id,Name,City\n1,Ann,Leith\n2,Bob,Perth\n3,\"Cy, Jr.\",Leith\n10,Dee,Ayr\n", ""},
      {"-c '\\show Empty'", 0, " K\n---\n(0 rows)\n", ""},
      {"-c \"\\\\count People WHERE Name = 'cy, jr.'\" -c '\\count Empty'", 0, "1\n0\n", ""},
      {"-c '\\show Nope'", 1, "", "ERROR: no table Nope"},
      // An unknown column is named, with the ones there are.
      {"-c '\\show People ORDER BY Nope'", 1, "",
       "ERROR: no column Nope in People (its columns: Id, Name, City)\n"},
      {"-c '\\show People WHERE Nope = 1'", 1, "",
       "ERROR: no column Nope in People (its columns: Id, Name, City)\n"},
      {"-c '\\count People WHERE City = x AND Twon = y'", 1, "", "ERROR: no column Twon in People"},
      // :h is the handle CREATERECORDSET returned, whoever holds the others.
      {"CREATERECORDSET CREATERECORDSET 'RECORDSETOPEN~:h~People' 'RECORDSETGETROWCOUNT~:h'", 0,
       "CREATERECORDSET~1\nCREATERECORDSET~2\nRECORDSETOPEN~2\n"
       "RECORDSETGETROWCOUNT~2~4\n",
       ""},
      {"-c 'RECORDSETOPEN~:h~People'", 1, "", "ERROR: :h is not set (CREATERECORDSET sets it)\n"},
      {"-c '\\set t People' -c CREATERECORDSET -c 'RECORDSETOPEN~:h~:t'", 0,
       "CREATERECORDSET~1\nRECORDSETOPEN~1\n", ""},
      // \x: one line per column.
      {"-c '\\x' -c '\\show People WHERE Id = 2'", 0,
       "Expanded display is on.\n-[ RECORD 1 ]\nId   | 2\nName | Bob\nCity | Perth\n", ""},
      // \help COMMAND: a backslash command, or a protocol command from the
      // protocol document's tables (a "...NAME" short form too).
      {"-c '\\help show'", 0,
       "\\show TABLE [WHERE col op value [AND ...]] [ORDER BY col [DESC]] [LIMIT n]\n"
       "  show rows as a table\n",
       ""},
      {"-c '\\help nope'", 1, "", "ERROR: no command nope"},
      // Stop-on-error: the first failure ends the commands.
      {"--stop-on-error -c STARTTRANSACTION -c 'RECORDSETMOVENEXT~9' -c COMMITTRANSACTION", 1,
       "STARTTRANSACTION\nRECORDSETMOVENEXT~FAILED\n",
       "ztcli: command 2: stopped at the first failure (ON_ERROR_STOP)\n"},
      {"-c '\\show People WHERE City ~ x'", 1, "", "unknown operator '~'"},
      {"-c '\\show People WHERE City = x OR City = y'", 1, "", "OR is not supported"},
      {"-c '\\nope'", 1, "", "unknown command \\nope"},
      {"-c '\\q' -c STARTTRANSACTION", 0, "", ""},
  };
  for (const CliCase& c : cases) {
    const CliRun run = Cli(c.args);
    EXPECT_EQ(run.status, c.status) << c.args << "\n" << run.err;
    EXPECT_EQ(run.out, c.out) << c.args;
    if (*c.err == '\0') {
      EXPECT_EQ(run.err, "") << c.args;
    } else {
      EXPECT_NE(run.err.find(c.err), std::string::npos) << c.args << "\n" << run.err;
    }
  }
}

TEST_F(ZtcliTest, ReadsCommandsFromAPipe) {
  WriteFile(fixture_.folder().File("script"),
            "STARTTRANSACTION\n\n  \\count People  \r\n\\timing on\nGETTABLENAMES\n");
  const CliRun run = Cli("< " + fixture_.folder().File("script"));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("STARTTRANSACTION\n4\nTiming is on.\nGETTABLENAMES~People~Empty\nTime: ", 0),
            0u)
      << run.out;
}

TEST_F(ZtcliTest, HelpOnAProtocolCommandQuotesTheProtocolDocument) {
  for (const char* name : {"RECORDSETOPEN", "recordsetmovenext", "GETTABLENAMES"}) {
    const CliRun run = Cli(std::string("-c '\\help ") + name + "'");
    EXPECT_EQ(run.status, 0) << name << run.err;
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(run.out.rfind(upper, 0), 0u) << run.out;  // the request's form first
    EXPECT_NE(run.out.find("(docs/protocol.md, "), std::string::npos) << run.out;
  }
}

// Scripts, piped or through \i: errors name the file and line; with
// ON_ERROR_STOP the script ends there (and an including script with it);
// \o sends results to a file.
TEST_F(ZtcliTest, ScriptsNameTheLineOfAnErrorAndStopThereWhenAsked) {
  const ScratchFolder& folder = fixture_.folder();
  WriteFile(folder.File("inner"), "STARTTRANSACTION\nRECORDSETMOVENEXT~9\nCOMMITTRANSACTION\n");
  WriteFile(folder.File("outer"), "\\i " + folder.File("inner") + "\nGETTABLENAMES\n");
  CliRun run = Cli("< " + folder.File("outer"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "STARTTRANSACTION\nRECORDSETMOVENEXT~FAILED\nCOMMITTRANSACTION\n"
            "GETTABLENAMES~People~Empty\n");
  EXPECT_EQ(run.err, folder.File("inner") + ":2: ERROR: there is no recordset 9\n");

  WriteFile(folder.File("outer"), "\\set ON_ERROR_STOP on\n\\i " + folder.File("inner") +
                                      "\nGETTABLENAMES\n");
  run = Cli("< " + folder.File("outer"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "STARTTRANSACTION\nRECORDSETMOVENEXT~FAILED\n");
  EXPECT_EQ(run.err, folder.File("inner") + ":2: ERROR: there is no recordset 9\n"
                     "ztcli: " + folder.File("inner") + ":2: stopped at the first failure "
                     "(ON_ERROR_STOP)\n"
                     "ztcli: <stdin>:2: stopped at the first failure (ON_ERROR_STOP)\n");

  WriteFile(folder.File("script"), "\\o " + folder.File("result") +
                                       "\n\\count People\n\\o\n\\count Empty\n\\i nowhere\n");
  run = Cli("< " + folder.File("script"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "0\n");
  EXPECT_EQ(ReadFile(folder.File("result")), "4\n");
  EXPECT_EQ(run.err, "<stdin>:5: ERROR: \\i nowhere: cannot read the file\n");
}

TEST(Ztcli, VersionAndHelpNeedNoServer) {
  const ScratchFolder folder;
  CliRun run = RunCli(folder, "--version");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.rfind("ztcli ", 0), 0u) << run.out;
  run = RunCli(folder, "-p 1 -c '\\help RECORDSETSORT'");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("RECORDSETSORT~h~column~ascending\n", 0), 0u) << run.out;
}

TEST(Ztcli, ServerDownGivesOneLineAndStatusTwo) {
  const ScratchFolder folder;
  const HeldPort nobody_listens;
  ASSERT_NE(nobody_listens.port(), 0);
  const CliRun run =
      RunCli(folder, "-p " + std::to_string(nobody_listens.port()) + " -c STARTTRANSACTION");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "ztcli: cannot connect to 127.0.0.1:" + std::to_string(nobody_listens.port()) +
                         ": Connection refused (is ztserver running?)\n");
}

// A server that greets, then closes the connection on the first request.
TEST(Ztcli, ServerClosingTheConnectionGivesOneLineAndStatusTwo) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in where{};
  where.sin_family = AF_INET;
  where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof where;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&where), &length), 0);
  std::thread server([listener] {
    // A client that never comes (it failed to start) must not hang the test.
    pollfd ready{listener, POLLIN, 0};
    if (::poll(&ready, 1, 30'000) != 1) return;
    const int client = ::accept(listener, nullptr, nullptr);
    if (client < 0) return;
    static const char kGreeting[] = "\x02" "CONNECTIONSTATUS" "\x03" "~SUCCEEDED";
    (void)!::write(client, kGreeting, sizeof kGreeting - 1);
    char request[64];
    (void)!::read(client, request, sizeof request);
    ::close(client);
  });
  const ScratchFolder folder;
  const CliRun run = RunCli(folder, "-p " + std::to_string(ntohs(where.sin_port)) +
                                        " -c STARTTRANSACTION -c COMMITTRANSACTION");
  server.join();
  ::close(listener);
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "ztcli: the server closed the connection; the connection is closed\n");
}

TEST(Ztcli, StatusPrintsTheFiguresOfTheMetricsEndpoint) {
  ServerFixture fixture;
  ASSERT_TRUE(fixture.created());
  WriteFile(fixture.ini(), ReadFile(fixture.ini()) + "MetricsAddress=127.0.0.1:0\n");
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  const uint16_t metrics_port = fixture.server().WaitForListeningPort(10000, "Metrics on ");
  ASSERT_NE(metrics_port, 0);
  const std::string cli = std::string(ZT_BINARY_DIR) + "/ztcli -p " +
                          std::to_string(fixture.port()) + " -t 5 -m 127.0.0.1:" +
                          std::to_string(metrics_port) + " ";
  std::string out;
  ASSERT_EQ(RunCommand(cli + "CREATERECORDSET 'RECORDSETMOVENEXT~1' '\\status'", &out, false), 1)
      << out;
  for (const char* expected :
       {"last start-up        ok\n", "database             open\n",
        "connections          1 open, 1 accepted, 0 refused (session_limit)",
        // The failure's reason is one more request (RECORDSETGETLASTERROR).
        "recordsets open      1\n", "requests             3 answered, 1 failed",
        "CREATERECORDSET                           1          0          0          0\n",
        "RECORDSETMOVENEXT                         1          1          0          0\n"}) {
    EXPECT_NE(out.find(expected), std::string::npos) << expected << "\n" << out;
  }
  // Without a protocol request no protocol connection is made.
  ASSERT_EQ(RunCommand(cli + "'\\status'", &out, false), 0) << out;
  EXPECT_NE(out.find("connections          0 open, 1 accepted"), std::string::npos) << out;
}

TEST(Ztcli, StatusWithoutAnEndpointGivesExitStatusTwo) {
  const HeldPort nobody_listens;
  ASSERT_NE(nobody_listens.port(), 0);
  std::string out;
  EXPECT_EQ(RunCommand(std::string(ZT_BINARY_DIR) + "/ztcli -t 2 -m 127.0.0.1:" +
                           std::to_string(nobody_listens.port()) + " '\\status'",
                       &out),
            2);
  EXPECT_NE(out.find("\\status: cannot connect"), std::string::npos) << out;
}

}  // namespace
}  // namespace zt::testing
