#include "engine/index_build.h"

#include "engine/chain.h"
#include "engine/database.h"
#include "engine/filenames.h"

namespace zt {

bool RebuildIndexFile(const std::string& data_file, std::string& error) {
  const std::string index_path = DerivedFileName(data_file, kIndexFileExtension);
  const std::string built = index_path + ".new";
  Database db;
  if (!db.OpenDatabase(data_file.c_str(), 0)) {
    db.GetLastErrorText(&error);
    return false;
  }
  IndexFile index;
  if (!index.IndexCreate(built) || !index.IndexOpen(built, 0)) {
    error = "cannot create " + built + ": " + LastFileError();
    return false;
  }
  index.EnablePageCache(kIndexCachePages);
  bool ok = index.DeferWrites();
  const DefinitionHeader* header = db.HeaderView();
  for (int t = 0; ok && header != nullptr && t < header->table_count(); ++t) {
    TableDefinition definition;
    int64_t at = 0;
    const std::string name(header->table_name(t));
    if (!db.GetTableDef(name.c_str(), definition, at)) continue;
    std::string problem;
    ok = WalkChain(
        db, definition, kMaxRecordLength,
        [&](const ChainRecord& record) {
          if (record.header.superseded() || !ok) return;
          ok = Database::IndexRecordKeys(index, record.data, record.offset,
                                         static_cast<int32_t>(record.data.size()), definition, 0);
        },
        problem);
    if (!ok) error = "table '" + name + "': " + (problem.empty() ? "cannot add a key" : problem);
    header = db.HeaderView();
  }
  if (ok && !index.FlushWrites()) {
    error = "cannot write " + built + ": " + LastFileError();
    ok = false;
  }
  ok = ok && FileSync(index.handle());
  index.IndexClose();
  db.CloseDatabase();
  if (ok && FileRename(built, index_path) && FolderSync(index_path.substr(0, index_path.rfind('/') + 1))) {
    return true;
  }
  if (error.empty()) error = "cannot replace " + index_path + ": " + LastFileError();
  FileDelete(built);
  return false;
}

}  // namespace zt
