// The Database's append batches and cache control. The batch's format on
// disk is the same as AddNewRecord's; engine/append_batch.h describes the
// order of the writes and what a failure leaves behind.
#include <algorithm>
#include <string>

#include "engine/database.h"
#include "engine/record.h"

namespace zt {

int Database::DropCaches() {
  if (batch_.open) return 0;
  definitions_.Clear();
  index_.DropPageCache();
  if (!shared_ && data_file_.is_open()) FileEnableReadCache(data_file_.handle(), data_cache_bytes_);
  // Whatever was derived from stored values may be stale as well.
  ++change_count_;
  return 1;
}

int Database::BeginAppendBatch() {
  if (!connected_) {
    SetError("BeginAppendBatch: No database connection has been established!");
    return 0;
  }
  if (shared_ || !definitions_.enabled()) {
    SetError("BeginAppendBatch: Append batches need the database opened exclusively");
    return 0;
  }
  if (batch_.open) {
    SetError("BeginAppendBatch: An append batch is already open");
    return 0;
  }
  const int64_t end = FileLength(data_file_.handle());
  if (end < 0) {
    SetError("BeginAppendBatch: Disk-Read error");
    return 0;
  }
  batch_.Reset();
  batch_.open = true;
  batch_.start = end;
  return 1;
}

int Database::AddToAppendBatch(std::string_view record, const char* table, int64_t& offset,
                               std::string* err) {
  if (batch_.Full()) {
    *err = "AddNewRecord: The append batch is full";
    return 0;
  }
  // One look-up serves the key test, the chain and the keys; no copy: the
  // batch moves the cached record's chain head itself.
  TableDefinition scratch;
  const TableDefinition* found = nullptr;
  int slot = 0;
  if (!FindTableDef(table, scratch, found, slot) || found != definitions_.table(slot)) {
    *err = "RecordsetAreAllKeysPopulated: Could not read table definition";
    return 0;
  }
  TableDefinition& definition = *definitions_.mutable_table(slot);
  if (!CheckKeysPopulated(definition, record, err)) return 0;

  const int64_t at = batch_.start + static_cast<int64_t>(batch_.bytes.size());
  const auto total = static_cast<int64_t>(RecordHeader::kSize + record.size());
  // Offsets are kept as 32-bit text: the same limit AppendDatabaseRecord sets.
  if (at + total > kMaxDataFileOffset) {
    *err = "AddNewRecord: Unable to append the record to the database!";
    return 0;
  }
  const RecordHeader header = RecordHeader::ForNewRecord(
      definition.name(), definition.newest_record(), static_cast<int32_t>(record.size()));
  batch_.bytes.append(header.bytes.data(), header.bytes.size());
  batch_.bytes.append(record);
  for (std::string& key : RecordKeys(record, static_cast<int32_t>(record.size()), definition)) {
    batch_.keys.emplace_back(std::move(key), at);
  }
  definition.set_newest_record(at);
  if (std::find(batch_.tables.begin(), batch_.tables.end(), slot) == batch_.tables.end()) {
    batch_.tables.push_back(slot);
  }
  offset = at;
  return 1;
}

int Database::CommitAppendBatch(std::string* err) {
  std::string ignored;
  if (err == nullptr) err = &ignored;
  if (!batch_.open) {
    *err = "CommitAppendBatch: No append batch is open";
    return 0;
  }
  ++change_count_;
  // Until the records are in the file, the cached chain heads point at
  // nothing: on failure they are dropped, and the file's own come back.
  auto abandon = [&](std::string_view why) {
    for (const int slot : batch_.tables) definitions_.ForgetTable(slot);
    batch_.Reset();
    err->assign(why);
    return 0;
  };
  if (!batch_.bytes.empty()) {
    if (FileLength(data_file_.handle()) != batch_.start) {
      return abandon("CommitAppendBatch: The data file changed during the batch");
    }
    if (!FileWriteAt(data_file_.handle(), batch_.bytes.data(), batch_.bytes.size(), batch_.start)) {
      return abandon("CommitAppendBatch: Disk-Write error");
    }
  }
  int ok = 1;
  for (const int slot : batch_.tables) {
    const TableDefinition* definition = definitions_.table(slot);
    if (definition == nullptr ||
        !FileWriteAt(definition_file_.handle(), definition->bytes.data(), definition->bytes.size(),
                     TableDefinitionOffset(slot))) {
      definitions_.ForgetTable(slot);
      ok = 0;
    }
  }
  if (!ok) {
    // Records that no chain reaches are not indexed either.
    batch_.Reset();
    err->assign("CommitAppendBatch: Unable to update the database table definition record");
    return 0;
  }
  // As in AddNewRecord, a key that cannot be stored leaves its record
  // reachable through the chain; the others still go in. The pages the
  // inserts change are written once each, at the end (IndexFile::
  // DeferWrites): the batch's records are chained by now, so the rule that
  // nothing is indexed before its chain reaches it holds.
  const int deferred = index_.DeferWrites();
  for (const auto& [key, record] : batch_.keys) index_.IndexInsert(key, record);
  if (deferred) (void)index_.FlushWrites();
  batch_.Reset();
  return 1;
}

}  // namespace zt
