// The recordset table: creating, finding and closing recordsets, and the
// row storage every recordset shares (RowBlock, copy on write).
#include "recordset/recordsets.h"

#include <algorithm>

#include "engine/file.h"
#include "engine/record.h"
#include "recordset/recordset_fail.h"

namespace zt {

bool RowBlock::Reserve(size_t n) {
  if (n <= rows.capacity()) return true;
  const uint64_t more = (n - rows.capacity()) * sizeof(Row);
  if (!budget_.Reserve(more)) return false;
  rows.reserve(n);
  charged_ += more;
  return true;
}

void RowBlock::Shrink() {
  if (rows.capacity() - rows.size() < 1024) return;
  const uint64_t before = rows.capacity() * sizeof(Row);
  rows.shrink_to_fit();
  const uint64_t after = rows.capacity() * sizeof(Row);
  if (after < before) {
    budget_.Release(before - after);
    charged_ -= before - after;
  }
}

bool Recordset::Unshare() {
  if (block_ == nullptr) return false;
  if (block_.use_count() == 1 && !block_->frozen) return true;
  auto copy = std::make_shared<RowBlock>(budget_);
  if (!copy->Reserve(block_->rows.size())) return false;
  copy->rows = block_->rows;
  block_ = std::move(copy);
  return true;
}

void Recordset::MarkPending(int32_t r, std::optional<int32_t> read_version) {
  Row* row = mutable_row(r);
  if (row == nullptr || row->flag(Row::kPending)) return;
  row->set_flag(Row::kPending, true);
  pending.push_back({r, read_version});
}

Recordsets::Recordsets(Database& database, uint64_t memory_limit)
    : database_(database), budget_(memory_limit), images_(budget_) {}

Recordsets::~Recordsets() { CloseAllRecordsets(); }

Recordset* Recordsets::Find(int32_t handle) {
  const auto it = table_.find(handle);
  return it == table_.end() ? nullptr : it->second.get();
}

Recordset* Recordsets::Checked(int32_t handle, const Checks& checks) {
  Recordset* recordset = Find(handle);
  if (recordset == nullptr) return nullptr;
  auto fail = [&](const char* text, Report report) -> Recordset* {
    FailRecordset(database_, *recordset, text, report);
    return nullptr;
  };
  if (checks.not_connected != nullptr && !database_.IsConnected()) {
    return fail(checks.not_connected, checks.not_connected_report);
  }
  if (checks.not_open != nullptr && !recordset->open) {
    return fail(checks.not_open, checks.not_open_report);
  }
  if (checks.no_current_row != nullptr && recordset->current_row < 1) {
    return fail(checks.no_current_row, checks.no_current_row_report);
  }
  return recordset;
}

int Recordsets::CreateRecordset(int32_t& handle) {
  if (!database_.IsConnected()) {
    database_.SetError("CreateRecordset: No database connection has been established!");
    return 0;
  }
  const int32_t largest = table_.empty() ? 0 : table_.rbegin()->first;
  if (largest == INT32_MAX) return 0;
  handle = largest + 1;
  table_.emplace(handle, std::make_unique<Recordset>(handle, budget_));
  return 1;
}

int Recordsets::RecordsetClose(int32_t handle) {
  const auto it = table_.find(handle);
  if (it == table_.end()) return 0;
  Recordset& recordset = *it->second;
  if (!database_.IsConnected()) {
    recordset.SetError("RecordsetClose: No database connection has been established!");
    database_.ReportError(recordset.error_text);
    return 0;
  }
  ReleaseResultset(recordset);
  table_.erase(it);
  return 1;
}

void Recordsets::RecordsetClearFilters(int32_t handle) {
  if (Recordset* recordset = Find(handle)) recordset->filters.clear();
}

int Recordsets::RecordsetIsConnected(int32_t handle) {
  const Recordset* recordset = Find(handle);
  return recordset != nullptr && recordset->open ? 1 : 0;
}

int Recordsets::CloseAllRecordsets() {
  // Whether or not the database is still connected, everything a recordset
  // holds is released here: the table ends empty.
  for (auto& [handle, recordset] : table_) ReleaseResultset(*recordset);
  table_.clear();
  return 1;
}

int Recordsets::RecordsetGetLastErrorText(int32_t handle, std::string* out) {
  if (out == nullptr) return 0;
  const Recordset* recordset = Find(handle);
  if (recordset == nullptr) return 0;
  *out = recordset->error_text;
  return 1;
}

void Recordsets::FreeImages(Recordset& recordset) {
  if (!recordset.has_rows()) return;
  // Only this recordset's own rows can carry images: a shared block is
  // copied before any row of it gets one.
  for (const PendingRow& p : recordset.pending) {
    const int32_t r = p.row;
    if (r < 1 || r > recordset.row_count) continue;
    const Row& row = recordset.row(r);
    if (row.has_image()) images_.Free(row.image);
  }
}

void Recordsets::ReleaseResultset(Recordset& recordset) {
  if (recordset.open && database_.shared() && database_.IsConnected()) {
    // Release the region locks this recordset still holds on the data file.
    for (const auto& [row, offset] : recordset.lock_offsets) {
      FileUnlockRegion(database_.data_file(), offset, RecordHeader::kSize);
    }
  }
  recordset.lock_offsets.clear();
  FreeImages(recordset);
  recordset.open = 0;
  recordset.ClearRows();
  recordset.selected_count = 0;
  recordset.filtered_count = 0;
  recordset.current_row = -1;
}

}  // namespace zt
