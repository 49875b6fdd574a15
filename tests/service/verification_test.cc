// The start after an unclean stop: the server replays the log and serves at
// once, while the files are verified in the background; what the
// verification finds (an index the log never saw) goes to the error log
// with the remedy; a kill in the middle of it is harmless.
#include <gtest/gtest.h>

#include <string>

#include "support/server_process.h"

namespace zt::testing {
namespace {

// Loads rows 1..rows into CUSTOMER with ztadmin (the server stopped).
void LoadCustomers(ServerFixture& fixture, int rows) {
  std::string csv = "ID,NAME\n";
  for (int i = 1; i <= rows; ++i) csv += std::to_string(i) + ",name" + std::to_string(i) + "\n";
  WriteFile(fixture.folder().File("rows.csv"), csv);
  std::string output;
  ASSERT_EQ(RunCommand(std::string(ZT_BINARY_DIR) + "/ztadmin --work-folder " +
                           fixture.folder().File("work") + " load " +
                           fixture.folder().File("db.dat") + " CUSTOMER " +
                           fixture.folder().File("rows.csv"),
                       &output),
            0)
      << output;
}

// Adds one row through the protocol, so that the log holds a change.
void AddRow(ServerFixture& fixture, int id) {
  auto client = fixture.Connect();
  ASSERT_NE(client, nullptr);
  ASSERT_EQ(Ask(*client, "CREATERECORDSET"), "CREATERECORDSET~1");
  ASSERT_EQ(Ask(*client, "RECORDSETOPEN~1~CUSTOMER"), "RECORDSETOPEN~1");
  ASSERT_EQ(Ask(*client, "RECORDSETADDROW~1"), "RECORDSETADDROW~1");
  ASSERT_EQ(Ask(*client, "RECORDSETSETFIELDVALUE~1~ID~" + std::to_string(id)),
            "RECORDSETSETFIELDVALUE~1");
  ASSERT_EQ(Ask(*client, "RECORDSETUPDATE~1"), "RECORDSETUPDATE~1");
}

std::string RowCount(ServerFixture& fixture) {
  auto client = fixture.Connect();
  if (client == nullptr) return "no connection";
  Ask(*client, "CREATERECORDSET");
  Ask(*client, "RECORDSETOPEN~1~CUSTOMER");
  return Ask(*client, "RECORDSETGETROWCOUNT~1");
}

TEST(VerificationTest, AKillDuringTheVerificationIsHarmless) {
  ServerFixture fixture;
  LoadCustomers(fixture, 20000);
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  AddRow(fixture, 20001);
  fixture.server().Kill();
  fixture.server().WaitForExit();

  // Killed again as soon as it listens, most likely in the middle of the
  // verification (20,000 rows take it many slices); whenever the kill
  // lands, nothing is lost and the next start verifies clean.
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  fixture.server().Kill();
  fixture.server().WaitForExit();

  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  EXPECT_EQ(RowCount(fixture), "RECORDSETGETROWCOUNT~1~20001");
  const std::string log = fixture.WaitForLogLine("Verification: the files check clean", 60000);
  EXPECT_NE(log.find("Verification: the files are verified in the background"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("Verification: found"), std::string::npos) << log;
  ASSERT_EQ(fixture.server().Stop(), 0);

  // A clean stop: the next start verifies nothing.
  const size_t verifications = fixture.ErrorLog().size();
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  EXPECT_EQ(RowCount(fixture), "RECORDSETGETROWCOUNT~1~20001");
  ASSERT_EQ(fixture.server().Stop(), 0);
  EXPECT_EQ(fixture.ErrorLog().find("Verification:", verifications), std::string::npos);
}

TEST(VerificationTest, AnIndexTheLogNeverSawIsReportedWithItsRemedy) {
  ServerFixture fixture;
  LoadCustomers(fixture, 50);
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  AddRow(fixture, 51);
  fixture.server().Kill();
  fixture.server().WaitForExit();
  // The index damaged while no server ran, in a page the logged change
  // never touched: the first key (ID 1, in the first leaf only) now reads
  // ID 9. The log vouches for the one change it holds, not for this.
  const std::string index = fixture.folder().File("db.zix");
  const std::string bytes = ReadFile(index);
  const std::string first_key = "CUSTOMERID         1";
  const size_t at = bytes.find(first_key + '\0');
  ASSERT_NE(at, std::string::npos);
  PokeByte(index, static_cast<long>(at + first_key.size() - 1), '9');

  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  const std::string log = fixture.WaitForLogLine("Verification: found", 60000);
  EXPECT_NE(log.find("is missing from the index"), std::string::npos) << log;
  EXPECT_NE(log.find("stop it and run ztadmin reindex"), std::string::npos) << log;
  ASSERT_EQ(fixture.server().Stop(), 0);

  std::string output;
  ASSERT_EQ(RunCommand(std::string(ZT_BINARY_DIR) + "/ztadmin --work-folder " +
                           fixture.folder().File("work") + " reindex " +
                           fixture.folder().File("db.dat"),
                       &output),
            0)
      << output;
  ASSERT_TRUE(fixture.Start()) << ReadFile(fixture.output());
  EXPECT_EQ(RowCount(fixture), "RECORDSETGETROWCOUNT~1~51");
}

}  // namespace
}  // namespace zt::testing
