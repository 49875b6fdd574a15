// A database made for one benchmark: a fresh folder in the temporary
// folder, the database files of a schema in it, and the Database open on
// them. Everything is removed again when the object goes away.
#ifndef ZT_BENCH_BENCH_DATABASE_H_
#define ZT_BENCH_BENCH_DATABASE_H_

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "engine/database.h"
#include "engine/database_builder.h"
#include "engine/file.h"
#include "recordset/recordsets.h"

namespace zt {

class BenchDatabase {
 public:
  explicit BenchDatabase(const DatabaseSchema& schema) {
    std::string folder = TempFolder() + "/ztbench-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) return;
    folder_ = folder;
    std::string err;
    if (!CreateDatabaseFiles(DataFile(), schema, err)) return;
    db_ = std::make_unique<Database>(folder_);
    if (!db_->OpenDatabase(DataFile().c_str(), 0)) {
      db_.reset();
      return;
    }
    rs_ = std::make_unique<Recordsets>(*db_);
  }
  BenchDatabase(const BenchDatabase&) = delete;
  BenchDatabase& operator=(const BenchDatabase&) = delete;
  ~BenchDatabase() {
    rs_.reset();
    db_.reset();
    if (folder_.empty()) return;
    for (const char* ext : {".dat", ".zdf", ".zix", ".rs"}) FileDelete(folder_ + "/bench" + ext);
    FileDelete(folder_ + "/dberrors.txt");
    ::rmdir(folder_.c_str());
  }

  // Null when the database could not be made or opened.
  Database* db() { return db_.get(); }
  // The recordsets over it; null with db().
  Recordsets* rs() { return db_ ? rs_.get() : nullptr; }
  // Gives up the database (a failed set-up step): db() is null afterwards.
  void Fail() {
    rs_.reset();
    db_.reset();
  }

 private:
  std::string DataFile() const { return folder_ + "/bench.dat"; }

  std::string folder_;
  std::unique_ptr<Database> db_;
  std::unique_ptr<Recordsets> rs_;
};

}  // namespace zt

#endif  // ZT_BENCH_BENCH_DATABASE_H_
