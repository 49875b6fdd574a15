// The recordset table of the Database: creating, finding and closing
// recordsets. The Database's constructor and destructor are defined here,
// where the table's element type is complete.
#include "engine/database.h"
#include "recordset/recordset.h"
#include "recordset/resultset_row.h"

namespace zt {

Database::Database(std::string work_folder) : work_folder_(std::move(work_folder)) {}

Database::~Database() { CloseDatabase(); }

Recordset* Database::FindRecordset(int32_t handle) {
  for (Recordset& recordset : recordsets_) {
    if (recordset.handle == handle) return &recordset;
  }
  return nullptr;
}

int Database::CreateRecordset(int32_t& handle) {
  if (!connected_) {
    SetError("CreateRecordset: No database connection has been established!");
    return 0;
  }
  // One more than the largest handle present: handles are reused once the
  // largest one has been closed.
  int32_t largest = 0;
  for (const Recordset& recordset : recordsets_) {
    if (recordset.handle > largest) largest = recordset.handle;
  }
  Recordset created;
  created.handle = largest + 1;
  recordsets_.push_back(std::move(created));
  handle = largest + 1;
  return 1;
}

int Database::RecordsetClose(int32_t handle) {
  Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  if (!connected_) {
    recordset->SetError("RecordsetClose: No database connection has been established!");
    ReportError(recordset->error_text);
    return 0;
  }
  ReleaseResultset(*recordset);
  recordset->filters.clear();
  recordsets_.erase(recordsets_.begin() + (recordset - recordsets_.data()));
  return 1;
}

void Database::RecordsetClearFilters(int32_t handle) {
  if (Recordset* recordset = FindRecordset(handle)) recordset->filters.clear();
}

int Database::RecordsetIsConnected(int32_t handle) {
  const Recordset* recordset = FindRecordset(handle);
  return recordset != nullptr && recordset->open ? 1 : 0;
}

int Database::CloseAllRecordsets() {
  while (!recordsets_.empty()) {
    const int32_t handle = recordsets_.front().handle;
    if (!RecordsetClose(handle)) {
      // Not connected: the files cannot be released through the engine;
      // drop the record so the loop always ends.
      Recordset& first = recordsets_.front();
      if (first.open) {
        FileClose(first.resultset_file);
        FileDelete(first.resultset_file_name);
      }
      recordsets_.erase(recordsets_.begin());
    }
  }
  return 1;
}

int Database::RecordsetGetLastErrorText(int32_t handle, std::string* out) {
  if (out == nullptr) return 0;
  const Recordset* recordset = FindRecordset(handle);
  if (recordset == nullptr) return 0;
  *out = recordset->error_text;
  return 1;
}

}  // namespace zt
