// ztadmin dump of every table (a CSV folder, JSON Lines) and export-sql:
// the text encodings byte for byte, the CSV folder back through load, the
// JSON through a strict parser, the script through a real PostgreSQL, and
// the failures (a server holding the database, a failed write) leaving
// nothing half-written.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "engine/database.h"
#include "engine/file.h"
#include "support/server_process.h"
#include "support/test_support.h"
#include "ztadmin/commands.h"
#include "ztadmin/dump.h"
#include "ztadmin/export_sql.h"
#include "ztadmin/rows.h"

namespace zt {
namespace {

using testing::ReadFile;
using testing::RunCommand;
using testing::ScratchFolder;
using testing::WriteFile;

const std::string kZtadmin = std::string(ZT_BINARY_DIR) + "/ztadmin";

std::string Utf8(std::string_view bytes) {
  std::string out;
  admin::AppendAsUtf8(out, bytes);
  return out;
}

TEST(ExportText, BytesReadAsUtf8WithLatin1ForTheRest) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "plain"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},                       // valid two-byte sequence kept
      {"\xe2\x82\xac \xf0\x9f\x98\x80", "\xe2\x82\xac \xf0\x9f\x98\x80"},  // three and four
      {"caf\xe9", "caf\xc3\xa9"},                           // a lone Latin-1 byte
      {"\xc0\x80", "\xc3\x80\xc2\x80"},                     // overlong NUL: two bytes
      {"\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},         // a surrogate
      {"\xe2\x82", "\xc3\xa2\xc2\x82"},                     // a sequence cut short
      {"\xf5\x80\x80\x80", "\xc3\xb5\xc2\x80\xc2\x80\xc2\x80"},  // above U+10FFFF
      {"\xff", "\xc3\xbf"},
  };
  for (const auto& [bytes, utf8] : cases) EXPECT_EQ(Utf8(bytes), utf8) << bytes;
}

TEST(ExportText, JsonNumbersAndStrings) {
  for (const char* number : {"0", "-0", "7", "-12", "1.50", "2.5e3", "1E-7", "1e+5", "123456789"}) {
    EXPECT_TRUE(admin::IsJsonNumber(number)) << number;
  }
  for (const char* text : {"", "007", "+5", ".5", "5.", "-", "1e", "1e+", "0x10", "1,5", "NaN",
                           "Infinity", "1 2", "--1", "1.2.3"}) {
    EXPECT_FALSE(admin::IsJsonNumber(text)) << text;
  }
  const std::vector<std::pair<std::string, std::string>> strings = {
      {"", "\"\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"back\\slash", "\"back\\\\slash\""},
      {"a\tb\nc\rd\be\ff", "\"a\\tb\\nc\\rd\\be\\ff\""},
      {std::string("\x01\x1f\x7f", 3), "\"\\u0001\\u001f\x7f\""},
      {"caf\xe9", "\"caf\xc3\xa9\""},
  };
  for (const auto& [text, json] : strings) {
    std::string out;
    admin::AppendJsonString(out, text);
    EXPECT_EQ(out, json);
  }
}

TEST(ExportText, CopyValuesIdentifiersAndFileNames) {
  const std::vector<std::pair<std::string, std::string>> copy = {
      {"plain", "plain"},
      {"back\\slash", "back\\\\slash"},
      {"\\.", "\\\\."},  // never the end-of-data marker
      {"a\tb\nc\rd", "a\\tb\\nc\\rd"},
      {"say \"hi\" 'x'", "say \"hi\" 'x'"},
      {"caf\xe9", "caf\xc3\xa9"},
  };
  for (const auto& [value, text] : copy) {
    std::string out;
    admin::AppendCopyValue(out, value);
    EXPECT_EQ(out, text);
  }
  EXPECT_EQ(admin::QuoteIdentifier("Orders"), "\"Orders\"");
  EXPECT_EQ(admin::QuoteIdentifier("a\"b"), "\"a\"\"b\"");
  EXPECT_EQ(admin::QuoteIdentifier("Gr\xf6\xdf" "e"), "\"Gr\xc3\xb6\xc3\x9f" "e\"");

  EXPECT_EQ(admin::TableFileName("Orders"), "Orders.csv");
  EXPECT_EQ(admin::TableFileName("a/b%c"), "a%2fb%25c.csv");
  EXPECT_EQ(admin::TableFileName(".."), "%2e..csv");
  EXPECT_EQ(admin::TableFileName("x\ny"), "x%0ay.csv");
}

TEST(ExportText, SqlTypesTakeEveryValueTheyAreChosenFor) {
  struct Case {
    int type;
    int size;
    const char* sql;
  };
  for (const Case& c : std::vector<Case>{{1, 6, "bigint"},
                                         {1, 18, "bigint"},
                                         {1, 19, "numeric"},
                                         {2, 10, "numeric"},
                                         {3, 12, "double precision"},
                                         {0, 30, "varchar(30)"},
                                         {7, 1, "varchar(1)"},
                                         {0, 0, "text"},
                                         {0, 10485761, "text"}}) {
    EXPECT_EQ(admin::SqlColumnType(c.type, c.size), c.sql) << c.type << " " << c.size;
  }
  struct Value {
    int type;
    int size;
    const char* text;
    bool loads;
  };
  for (const Value& v : std::vector<Value>{
           {1, 6, "007", true},
           {1, 6, "+5", true},
           {1, 6, "-12", true},
           {1, 18, "-99999999999999999", true},
           {1, 25, "1234567890123456789012", true},
           {1, 6, "1.5", false},
           {1, 6, "abc", false},
           {1, 6, "-", false},
           {2, 10, "1.50", true},
           {2, 10, ".5", true},
           {2, 10, "5.", true},
           {2, 10, "+1e5", true},
           {2, 10, "1e1000", true},
           {2, 10, "1e1001", false},
           {2, 10, "1,5", false},
           {2, 10, ".", false},
           {2, 10, "NaN", false},
           {3, 12, "2.5e3", true},
           {3, 12, "1e-310", true},  // a subnormal loads
           {3, 12, "1e999", false},  // overflows
           {3, 12, "1e-999", false},  // underflows to zero
           {3, 12, "0e-999", true},
           {3, 12, "inf", false},
       }) {
    EXPECT_EQ(admin::LoadsAsNumber(v.type, v.size, v.text), v.loads)
        << v.type << " " << v.size << " " << v.text;
  }
}

TEST(ExportText, DumpArguments) {
  struct Case {
    std::vector<std::string> args;
    const char* problem;  // nullptr: accepted
  };
  for (const Case& c : std::vector<Case>{
           {{"db.dat", "T"}, nullptr},
           {{"db.dat", "T", "--format", "json"}, nullptr},
           {{"db.dat", "--format", "json"}, nullptr},
           {{"db.dat", "--folder", "out"}, nullptr},
           {{"--folder", "out", "db.dat"}, nullptr},
           {{"db.dat"}, "needs --folder DIR (CSV) or --format json"},
           {{"db.dat", "T", "--folder", "out"}, "--folder writes every table"},
           {{"db.dat", "--folder", "out", "--format", "json"}, "--folder writes every table"},
           {{"db.dat", "--format", "xml"}, "--format takes csv or json"},
           {{"db.dat", "--folder"}, "--folder needs a value"},
           {{"db.dat", "--bogus"}, "no option --bogus"},
           {{"db.dat", "T", "U"}, "dump takes"},
           {{}, "dump takes"},
       }) {
    admin::DumpRequest request;
    std::string problem;
    const bool ok = admin::ParseDumpArgs(c.args, request, problem);
    EXPECT_EQ(ok, c.problem == nullptr) << ::testing::PrintToString(c.args);
    if (c.problem != nullptr) {
      EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    }
  }
}

// A database of three tables whose values are the hard cases: quotes,
// backslashes, tabs, line breaks, "\.", blanks, non-ASCII (valid UTF-8 and
// a lone Latin-1 byte), numbers JSON or PostgreSQL take and ones they do
// not, a dropped column, and a table with no live column.
constexpr char kSchema[] =
    "table Items\n"
    "column Id integer 6 key\n"
    "column Name text 30 key\n"
    "column Price numeric 10\n"
    "column Weight float 12\n"
    "column Old text 4 dropped\n"
    "column Big integer 25\n"
    "table Odd\n"
    "column Code integer 5\n"
    "column Label text 8\n"
    "table Gone\n"
    "column A text 3 dropped\n"
    "location 1 \"Main office\"\n";

constexpr char kItems[] =
    "Id,Name,Price,Weight,Big\n"
    "1,plain,1.50,2.5e3,1234567890123456789012\n"
    "2,\"say \"\"hi\"\", 'x'\",-3,,\n"
    "3,back\\slash,.5,1e-310,\n"
    "4,tab\there,,0,-5\n"
    "5,\"two\nlines\r\nthree\",7,,\n"
    "6,\\.,1e5,,\n"
    "7,caf\xc3\xa9 \xe9,,,\n";
constexpr char kOdd[] = "Code,Label\n1,a\n007,b\nabc,c\n,d\n";
constexpr char kGone[] = "\n\n\n";

class ExportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.File("db.schema"), kSchema);
    ASSERT_EQ(Run("create " + data_ + " " + dir_.File("db.schema")), 0) << out_;
    for (const auto& [table, csv] : std::vector<std::pair<std::string, std::string>>{
             {"Items", kItems}, {"Odd", kOdd}, {"Gone", kGone}}) {
      WriteFile(dir_.File(table + ".in"), csv);
      ASSERT_EQ(Run("load " + data_ + " " + table + " " + dir_.File(table + ".in")), 0) << out_;
    }
  }
  // Runs ztadmin; out_ gets standard output (and standard error, unless
  // only_stdout).
  int Run(const std::string& args, bool only_stdout = false) {
    return RunCommand(kZtadmin + " " + args, &out_, !only_stdout);
  }
  // Runs ztadmin with its standard output sent to path; out_ gets its
  // standard error.
  int RunTo(const std::string& args, const std::string& path) {
    return RunCommand(kZtadmin + " " + args + " 2>&1 >" + path, &out_, false);
  }

  ScratchFolder dir_;
  std::string data_ = dir_.File("db.dat");
  std::string out_;
};

// The folder holds one CSV file per table, each what `dump TABLE` writes;
// loaded into a fresh database of the same schema they dump the same.
TEST_F(ExportTest, FolderDumpRoundTripsThroughLoad) {
  const std::string folder = dir_.File("dump");
  ASSERT_EQ(Run("dump " + data_ + " --folder " + folder), 0) << out_;
  EXPECT_NE(out_.find("wrote 3 tables into"), std::string::npos) << out_;
  EXPECT_FALSE(PathExists(folder + ".partial"));
  std::vector<std::string> files = ListFolder(folder, "");
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"Gone.csv", "Items.csv", "Odd.csv"}));
  EXPECT_EQ(ReadFile(folder + "/Items.csv"), kItems);
  EXPECT_EQ(ReadFile(folder + "/Odd.csv"), kOdd);
  EXPECT_EQ(ReadFile(folder + "/Gone.csv"), kGone);
  for (const char* table : {"Items", "Odd", "Gone"}) {
    ASSERT_EQ(Run("dump " + data_ + " " + table, true), 0);
    EXPECT_EQ(out_, ReadFile(folder + "/" + table + ".csv")) << table;
  }

  const std::string copy = dir_.File("copy.dat");
  ASSERT_EQ(Run("create " + copy + " " + dir_.File("db.schema")), 0) << out_;
  for (const char* table : {"Items", "Odd", "Gone"}) {
    ASSERT_EQ(Run("load " + copy + " " + table + " " + folder + "/" + table + ".csv"), 0) << out_;
  }
  ASSERT_EQ(Run("dump " + copy + " --folder " + dir_.File("again")), 0) << out_;
  for (const char* table : {"Items", "Odd", "Gone"}) {
    const std::string name = std::string("/") + table + ".csv";
    EXPECT_EQ(ReadFile(dir_.File("again") + name), ReadFile(folder + name)) << table;
  }

  // An existing folder is never written into.
  ASSERT_EQ(Run("dump " + data_ + " --folder " + folder), 1);
  EXPECT_NE(out_.find("exists already"), std::string::npos) << out_;
}

// Every line parses as strict JSON; numbers are numbers only where the
// text is one, and the strings decode to the stored text.
TEST_F(ExportTest, JsonLinesParseAndKeepEveryValue) {
  ASSERT_EQ(RunTo("dump " + data_ + " --format json", dir_.File("all.json")), 0) << out_;
  // Python's parser re-encodes each record as ASCII-only JSON with its
  // members in order: a fixed form to compare against.
  const std::string check =
      "python3 -c 'import json, sys\n"
      "for line in open(sys.argv[1], encoding=\"utf-8\"):\n"
      "    o = json.loads(line, parse_constant=lambda c: sys.exit(\"not JSON: \" + c))\n"
      "    print(o[\"table\"], json.dumps(o[\"record\"], ensure_ascii=True))' ";
  ASSERT_EQ(RunCommand(check + dir_.File("all.json"), &out_), 0) << out_;
  EXPECT_EQ(out_,
            "Items {\"Id\": 1, \"Name\": \"plain\", \"Price\": 1.5, \"Weight\": 2500.0, "
            "\"Big\": 1234567890123456789012}\n"
            "Items {\"Id\": 2, \"Name\": \"say \\\"hi\\\", 'x'\", \"Price\": -3, \"Weight\": \"\", "
            "\"Big\": \"\"}\n"
            "Items {\"Id\": 3, \"Name\": \"back\\\\slash\", \"Price\": \".5\", \"Weight\": 1e-310, "
            "\"Big\": \"\"}\n"
            "Items {\"Id\": 4, \"Name\": \"tab\\there\", \"Price\": \"\", \"Weight\": 0, "
            "\"Big\": -5}\n"
            "Items {\"Id\": 5, \"Name\": \"two\\nlines\\r\\nthree\", \"Price\": 7, \"Weight\": \"\", "
            "\"Big\": \"\"}\n"
            "Items {\"Id\": 6, \"Name\": \"\\\\.\", \"Price\": 100000.0, \"Weight\": \"\", "
            "\"Big\": \"\"}\n"
            "Items {\"Id\": 7, \"Name\": \"caf\\u00e9 \\u00e9\", \"Price\": \"\", \"Weight\": \"\", "
            "\"Big\": \"\"}\n"
            "Odd {\"Code\": 1, \"Label\": \"a\"}\n"
            "Odd {\"Code\": \"007\", \"Label\": \"b\"}\n"
            "Odd {\"Code\": \"abc\", \"Label\": \"c\"}\n"
            "Odd {\"Code\": \"\", \"Label\": \"d\"}\n"
            "Gone {}\nGone {}\n");

  // One table alone gives its lines of the whole.
  ASSERT_EQ(Run("dump " + data_ + " odd --format json", true), 0);
  EXPECT_EQ(out_,
            "{\"table\":\"Odd\",\"record\":{\"Code\":1,\"Label\":\"a\"}}\n"
            "{\"table\":\"Odd\",\"record\":{\"Code\":\"007\",\"Label\":\"b\"}}\n"
            "{\"table\":\"Odd\",\"record\":{\"Code\":\"abc\",\"Label\":\"c\"}}\n"
            "{\"table\":\"Odd\",\"record\":{\"Code\":\"\",\"Label\":\"d\"}}\n");
}

TEST_F(ExportTest, RefusedWhileAServerHoldsTheDatabase) {
  Database server(dir_.File("server"));
  ASSERT_TRUE(server.OpenDatabase(data_.c_str(), 0));
  for (const std::string& args : {"dump " + data_ + " --folder " + dir_.File("dump"),
                                  "dump " + data_ + " --format json", "export-sql " + data_}) {
    EXPECT_EQ(Run(args), 1) << args;
    EXPECT_NE(out_.find("in use by a running server"), std::string::npos) << out_;
  }
  EXPECT_FALSE(PathExists(dir_.File("dump")));
  EXPECT_FALSE(PathExists(dir_.File("dump.partial")));
}

TEST_F(ExportTest, ABrokenChainFailsAndLeavesNoFolder) {
  int64_t newest = -1;
  {
    Database db(dir_.path());
    ASSERT_TRUE(db.OpenDatabase(data_.c_str(), 0));
    TableDefinition odd;
    int64_t at = 0;
    ASSERT_TRUE(db.GetTableDef("Odd", odd, at));
    newest = odd.newest_record();
  }
  testing::PokeByte(data_, static_cast<long>(newest), 'X');  // the record's marker
  for (const std::string& args : {"dump " + data_ + " --folder " + dir_.File("dump"),
                                  "dump " + data_ + " --format json", "export-sql " + data_}) {
    EXPECT_EQ(Run(args, false), 1) << args;
    EXPECT_NE(out_.find("table 'Odd'"), std::string::npos) << out_;
  }
  EXPECT_FALSE(PathExists(dir_.File("dump")));
  EXPECT_FALSE(PathExists(dir_.File("dump.partial")));
}

TEST_F(ExportTest, AFailedWriteToStandardOutputFails) {
  for (const std::string& args : {"dump " + data_ + " --format json", "dump " + data_ + " Items",
                                  "export-sql " + data_}) {
    EXPECT_EQ(RunTo(args, "/dev/full"), 1) << args;
    EXPECT_NE(out_.find("cannot write to standard output"), std::string::npos) << out_;
  }
  EXPECT_EQ(Run("dump " + data_), 2);
  EXPECT_NE(out_.find("needs --folder DIR (CSV) or --format json"), std::string::npos) << out_;
}

// A write that fails anywhere leaves neither the folder nor its partial
// twin; a kill leaves the folder whole or absent.
TEST_F(ExportTest, AFolderDumpAppearsWholeOrNotAtAll) {
  admin::DumpRequest request;
  request.data_file = data_;
  request.folder = dir_.File("dump");
  admin::ToolOptions options;
  options.work_folder = dir_.path();
  admin::SetToolOptions(options);
  const auto dump = [&] {
    std::ostringstream out, err;
    const int status = admin::DumpCommand(request, out, err, false);
    out_ = out.str() + err.str();
    return status;
  };
  ASSERT_EQ(dump(), 0) << out_;
  const std::string whole = ReadFile(request.folder + "/Items.csv") +
                            ReadFile(request.folder + "/Odd.csv") +
                            ReadFile(request.folder + "/Gone.csv");
  std::filesystem::remove_all(request.folder);

  bool done = false;
  for (int64_t n = 1; n < 100 && !done; ++n) {
    SCOPED_TRACE(n);
    SetFileFaults(FileFaults{.fail_write = n, .fail_sync = n});
    done = dump() == 0;
    ClearFileFaults();
    if (!done) {
      EXPECT_FALSE(PathExists(request.folder)) << out_;
      EXPECT_FALSE(PathExists(request.folder + ".partial")) << out_;
    }
  }
  EXPECT_TRUE(done);
  std::filesystem::remove_all(request.folder);

  done = false;
  for (int64_t point = 1; point < 100 && !done; ++point) {
    SCOPED_TRACE(point);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      SetFileFaults(FileFaults{.kill_at_change = point});
      _exit(dump());
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    done = WIFEXITED(status);
    if (!done) {
      ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }
    if (PathExists(request.folder)) {
      EXPECT_EQ(ReadFile(request.folder + "/Items.csv") + ReadFile(request.folder + "/Odd.csv") +
                    ReadFile(request.folder + "/Gone.csv"),
                whole);
    }
    std::filesystem::remove_all(request.folder);
    std::filesystem::remove_all(request.folder + ".partial");
  }
  EXPECT_TRUE(done);
  admin::SetToolOptions({});
}

// ---- export-sql into a real PostgreSQL ------------------------------------------------

// The folder of PostgreSQL's programs (the Debian package's layout), or
// empty when it is not installed.
std::string PostgresBin() {
  std::error_code ignored;
  std::string found;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/lib/postgresql", ignored)) {
    const std::string bin = entry.path().string() + "/bin";
    if (PathExists(bin + "/initdb") && PathExists(bin + "/pg_ctl") && PathExists(bin + "/psql") &&
        (found.empty() || entry.path().filename().string() == "15")) {
      found = bin;
    }
  }
  return found;
}

// A PostgreSQL server of its own: a data folder in a scratch folder, a
// free loopback port, fsync off. Stopped by the destructor; the scratch
// folder goes with the object.
class PostgresServer {
 public:
  explicit PostgresServer(std::string bin) : bin_(std::move(bin)) {}
  PostgresServer(const PostgresServer&) = delete;
  PostgresServer& operator=(const PostgresServer&) = delete;
  ~PostgresServer() {
    if (started_) AsOwner("pg_ctl -D " + data_ + " -m immediate -w stop", nullptr);
  }

  // False with the reason in problem.
  bool Start(std::string& problem) {
    std::string out;
    // PostgreSQL refuses to run as root: its files are the postgres user's.
    if (root_ && (RunCommand("chmod 755 " + scratch_.path() + " && mkdir " + data_ +
                                 " && chown postgres: " + data_,
                             &out) != 0)) {
      problem = "cannot prepare the data folder: " + out;
      return false;
    }
    if (AsOwner("initdb -D " + data_ + " -U zt -A trust -E UTF8 --locale=C --no-sync", &out) !=
        0) {
      problem = "initdb failed: " + out;
      return false;
    }
    // A port found free may be taken before the server binds it: try again.
    for (int attempt = 0; attempt < 3 && !started_; ++attempt) {
      port_ = testing::HeldPort().port();
      started_ = AsOwner("pg_ctl -D " + data_ + " -l " + data_ + "/server.log -w -t 60 -o \"-p " +
                             std::to_string(port_) +
                             " -c listen_addresses=127.0.0.1 -c unix_socket_directories=" + data_ +
                             " -c fsync=off -c full_page_writes=off -c shared_buffers=16MB\" start",
                         &out) == 0;
    }
    if (!started_) problem = "the server did not start: " + out + ReadFile(data_ + "/server.log");
    return started_;
  }

  // Runs psql with args against the server; its output (errors included).
  int Psql(const std::string& args, std::string* out) const {
    return RunCommand(bin_ + "/psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p " +
                          std::to_string(port_) + " -U zt -d postgres " + args,
                      out);
  }
  // One query's rows, unaligned, fields separated by '|'.
  std::string Query(const std::string& sql) const {
    const std::string file = scratch_.File("query.sql");
    WriteFile(file, sql);
    std::string out;
    if (Psql("-A -t -f " + file, &out) != 0) return "failed: " + out;
    return out;
  }

 private:
  int AsOwner(const std::string& command, std::string* out) const {
    return RunCommand((root_ ? "runuser -u postgres -- " : "") + bin_ + "/" + command, out);
  }

  std::string bin_;
  ScratchFolder scratch_;
  std::string data_ = scratch_.File("pg");
  bool root_ = geteuid() == 0;
  uint16_t port_ = 0;
  bool started_ = false;
};

std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const char c : bytes) {
    out += kDigits[(static_cast<unsigned char>(c) >> 4) & 0xF];
    out += kDigits[c & 0xF];
  }
  return out;
}

TEST_F(ExportTest, TheScriptLoadsIntoPostgreSQL) {
  const std::string bin = PostgresBin();
  if (bin.empty()) {
    GTEST_SKIP() << "PostgreSQL is not installed (no /usr/lib/postgresql/*/bin/initdb); "
                    "scripts/install-deps.sh installs the postgresql package";
  }
  if (geteuid() == 0 && RunCommand("id -u postgres", nullptr) != 0) {
    GTEST_SKIP() << "running as root without a postgres user to run PostgreSQL as";
  }
  const std::string script = dir_.File("db.sql");
  ASSERT_EQ(RunTo("export-sql " + data_, script), 0) << out_;
  EXPECT_NE(out_.find("Odd.Code holds 'abc', no bigint: exported as varchar(5)"),
            std::string::npos)
      << out_;
  EXPECT_NE(ReadFile(script).find("-- location 1: Main office\n"), std::string::npos);

  PostgresServer server(bin);
  std::string problem;
  ASSERT_TRUE(server.Start(problem)) << problem;
  std::string out;
  ASSERT_EQ(server.Psql("-f " + script, &out), 0) << out;

  EXPECT_EQ(server.Query("SELECT (SELECT count(*) FROM \"Items\"), (SELECT count(*) FROM "
                         "\"Odd\"), (SELECT count(*) FROM \"Gone\")"),
            "7|4|2\n");
  EXPECT_EQ(server.Query("SELECT table_name, string_agg(column_name || ' ' || data_type, ', ' "
                         "ORDER BY ordinal_position) FROM information_schema.columns WHERE "
                         "table_schema = current_schema() GROUP BY 1 ORDER BY 1"),
            "Items|Id bigint, Name character varying, Price numeric, Weight double precision, "
            "Big numeric\n"
            "Odd|Code character varying, Label character varying\n");
  EXPECT_EQ(server.Query("SELECT indexdef FROM pg_indexes WHERE tablename = 'Items' ORDER BY 1"),
            "CREATE INDEX \"Items_Id_idx\" ON public.\"Items\" USING btree (\"Id\")\n"
            "CREATE INDEX \"Items_Name_idx\" ON public.\"Items\" USING btree (\"Name\")\n");

  // The names as bytes (the hard cases), the numbers as PostgreSQL holds
  // them, NULL for the blank ones.
  std::string expected;
  const std::vector<std::string> names = {"plain",        "say \"hi\", 'x'",
                                          "back\\slash",  "tab\there",
                                          "two\nlines\r\nthree", "\\.",
                                          "caf\xc3\xa9 \xc3\xa9"};
  const std::vector<std::string> numbers = {
      "1.50|2500|1234567890123456789012", "-3|NULL|NULL", "0.5|1e-310|NULL", "NULL|0|-5",
      "7|NULL|NULL",                      "100000|NULL|NULL", "NULL|NULL|NULL"};
  for (size_t i = 0; i < names.size(); ++i) {
    expected += std::to_string(i + 1) + "|" + Hex(names[i]) + "|" + numbers[i] + "\n";
  }
  EXPECT_EQ(server.Query("SELECT \"Id\", encode(convert_to(\"Name\", 'UTF8'), 'hex'), "
                         "coalesce(\"Price\"::text, 'NULL'), coalesce(\"Weight\"::text, 'NULL'), "
                         "coalesce(\"Big\"::text, 'NULL') FROM \"Items\" ORDER BY \"Id\""),
            expected);
  // The column that held a non-number keeps its text; a blank is NULL.
  EXPECT_EQ(server.Query("SELECT coalesce(\"Code\", 'NULL'), \"Label\" FROM \"Odd\" ORDER BY 2"),
            "1|a\n007|b\nabc|c\nNULL|d\n");
}

}  // namespace
}  // namespace zt
