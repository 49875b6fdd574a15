// (e) A write-ahead log left by a crash, then mutated: replay must refuse
// it, replay it, or report it lost, and never crash, hang or write outside
// the database files. The input is a list of patches of the log: a 3-byte
// offset, a length byte and the bytes to write there; a patch whose
// offset's top bit is set cuts the log there instead.
#include <string>

#include "engine/database.h"
#include "engine/database_check.h"
#include "engine/file.h"
#include "engine/wal.h"
#include "harness.h"

namespace {

using namespace zt;

// A crash after a few logged changes, kept once: the data file and its log.
const std::string& CrashedLog(const std::string& folder) {
  static const std::string log = [&folder] {
    const std::string data = folder + "/logged.dat";
    fuzz::CopyFixture(data);
    Database db(folder);
    db.EnableLog(LogOptions{.folder = folder + "/work", .grow_bytes = 4096});
    std::string bytes;
    int64_t at = 0;
    const TableDefinition* table = nullptr;
    if (db.OpenDatabase(data.c_str(), 0) && (table = db.TableDef("CUSTOMER", at)) != nullptr) {
      const int32_t length = table->record_length();
      for (int i = 0; i < 4; ++i) {
        std::string record(static_cast<size_t>(length), ' ');
        record.replace(0, 2, std::to_string(70 + i));
        int64_t offset = -1;
        std::string err;
        (void)db.AddNewRecord(record, length, offset, "CUSTOMER", &err);
        db.EndChange();
        (void)db.Commit(&err);
      }
      db.Abandon();
      (void)ReadWholeFile(LogFilePath(folder + "/work", data), bytes);
    }
    return bytes;
  }();
  return log;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string folder = fuzz::ScratchFolder();
  std::string log = CrashedLog(folder);
  if (log.empty()) return 0;
  size_t at = 0;
  while (at + 4 <= size && !log.empty()) {
    const size_t offset = (size_t{data[at]} << 16 | size_t{data[at + 1]} << 8 | data[at + 2]);
    const size_t n = std::min<size_t>(data[at + 3] % 32 + 1, size - at - 4);
    const size_t where = (offset & 0x7fffff) % log.size();
    if ((offset & 0x800000) != 0) {
      log.resize(where);
    } else {
      log.replace(where, std::min(n, log.size() - where),
                  reinterpret_cast<const char*>(data) + at + 4, std::min(n, log.size() - where));
    }
    at += 4 + n;
  }
  const std::string stem = folder + "/replayed";
  fuzz::CopyFixture(stem + ".dat");
  if (!ReplaceFileContent(LogFilePath(folder + "/work", stem + ".dat"), log)) return 0;
  Database db(folder);
  db.EnableLog(LogOptions{.folder = folder + "/work", .grow_bytes = 4096});
  if (db.OpenDatabase((stem + ".dat").c_str(), 0)) {
    CheckReport report;
    (void)CheckDatabase(db, report);
    db.Abandon();
  }
  return 0;
}
