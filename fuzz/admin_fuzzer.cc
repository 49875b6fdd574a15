// (d) ztadmin's readers: the first byte chooses the schema reader, the CSV
// reader (through load into the fixture), or, on a fixture whose files the
// rest of the input patches, check, describe, the dumps and export-sql, and
// then the commands that write: check --repair and compact (which must
// refuse or mend the damage, never crash).
#include <sstream>
#include <string>

#include "engine/file.h"
#include "harness.h"
#include "ztadmin/check.h"
#include "ztadmin/commands.h"
#include "ztadmin/dump.h"
#include "ztadmin/export_sql.h"
#include "ztadmin/load.h"
#include "ztadmin/maintenance.h"
#include "ztadmin/schema.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace zt;
  if (size == 0) return 0;
  const std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string stem = fuzz::ScratchFolder() + "/admin";
  std::ostringstream out, err;
  switch (data[0] % 3) {
    case 0: {
      DatabaseSchema schema;
      std::string problem;
      (void)admin::ParseSchema(rest, "fuzz.schema", schema, problem);
      break;
    }
    case 1: {
      fuzz::CopyFixture(stem + ".dat");
      if (!ReplaceFileContent(stem + ".csv", rest)) return 0;
      (void)admin::LoadCommand(stem + ".dat", data[0] & 4 ? "ORDERS" : "CUSTOMER", stem + ".csv",
                               out, err, false);
      break;
    }
    default: {
      fuzz::CopyFixture(stem + ".dat");
      const char* extensions[] = {".dat", ".zdf", ".zix"};
      for (size_t at = 0; at + 4 <= rest.size(); at += 4) {
        const std::string path = stem + extensions[static_cast<uint8_t>(rest[at]) % 3];
        std::string bytes;
        if (!ReadWholeFile(path, bytes) || bytes.empty()) return 0;
        const size_t where =
            (static_cast<uint8_t>(rest[at + 1]) << 8 | static_cast<uint8_t>(rest[at + 2])) *
            static_cast<size_t>(7) % bytes.size();
        bytes[where] = rest[at + 3];
        if (!ReplaceFileContent(path, bytes)) return 0;
      }
      (void)admin::CheckCommand(stem + ".dat", out, err);
      (void)admin::DescribeCommand(stem + ".dat", out, err);
      for (const char* table : {"CUSTOMER", "ORDERS"}) {
        (void)admin::DumpCommand({.data_file = stem + ".dat", .table = table}, out, err, false);
      }
      (void)admin::DumpCommand(
          {.data_file = stem + ".dat", .format = admin::DumpFormat::kJson}, out, err, false);
      (void)admin::ExportSqlCommand(stem + ".dat", out, err, false);
      (void)admin::CheckCommand(stem + ".dat", {.repair = true, .yes = true}, out, err);
      (void)admin::CompactCommand(stem + ".dat", out, err, false);
      break;
    }
  }
  return 0;
}
