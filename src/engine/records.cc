// The Database's primitive record operations on the data file: reading a
// record, rewriting it (in place, or relocated to the end of the file with
// the table's chain head moved to the new copy) and appending a new one.
// The header layout is described in engine/record.h.
//
// Failures write their message into the caller's err string and leave the
// Database's last-error text alone; a null err fails without a message.
#include <string>

#include "engine/database.h"
#include "engine/record.h"

namespace zt {
namespace {

int Fail(std::string* err, std::string_view message) {
  err->assign(message);
  return 0;
}

// Record data lengths read from a file or handed in must stay within the
// limit before they size a buffer or a write.
bool IsValidDataLength(int64_t n) { return n >= 0 && n <= kMaxRecordLength; }

// No record starts outside 0 .. 2^31 - 1; such an offset reads as an
// unreadable header (and keeps offset + header size from overflowing).
bool IsPossibleOffset(int64_t offset) { return offset >= 0 && offset < kMaxDataFileOffset; }

}  // namespace

int Database::ReadDatabaseRecord(std::string_view table, RecordHeader& header, std::string& data,
                                 int64_t offset, int32_t max_length, int32_t& length,
                                 std::string* err) {
  if (err == nullptr || table.data() == nullptr) return 0;
  if (!connected_) return Fail(err, "ReadDatabaseRecord: Not connected to database");
  RecordHeader stored;
  if (!IsPossibleOffset(offset) ||
      !FileReadAt(data_file_.handle(), stored.bytes.data(), stored.bytes.size(), offset)) {
    return Fail(err, "ReadDatabaseRecord: Error reading record header");
  }
  // A damaged length would size the read below; such a header is no record.
  if (!stored.has_marker() || !IsValidDataLength(stored.data_length())) {
    return Fail(err, "ReadDatabaseRecord: Invalid record offset");
  }
  if (!EqualNoCase(stored.table(), table)) {
    return Fail(err, "ReadDatabaseRecord: Record at specified offset is not part of the table");
  }
  int32_t n = stored.data_length();
  if (max_length < n) n = max_length < 0 ? 0 : max_length;
  data.assign(static_cast<size_t>(n), '\0');
  if (!FileReadAt(data_file_.handle(), data.data(), data.size(),
                  offset + static_cast<int64_t>(RecordHeader::kSize))) {
    return Fail(err,
                "ReadDatabaseRecord: Unable to read existing record from the database - Record "
                "Might be locked by another user.");
  }
  header = stored;
  length = n;
  return 1;
}

int Database::AppendDatabaseRecord(const RecordHeader& header, std::string_view data,
                                   int64_t& offset, std::string* err) {
  if (err == nullptr || data.data() == nullptr) return 0;
  if (!connected_) return Fail(err, "AppendDatabaseRecord: Not connected to database");
  // The open batch owns the end of the file (engine/append_batch.h).
  if (batch_.open) return Fail(err, "AppendDatabaseRecord: An append batch is open");
  ++change_count_;
  const int32_t n = header.data_length();
  if (!IsValidDataLength(n) || data.size() < static_cast<size_t>(n)) {
    return Fail(err, "AppendDatabaseRecord: Invalid record length");
  }
  const size_t total = RecordHeader::kSize + static_cast<size_t>(n);
  const int64_t end = FileLength(data_file_.handle());
  if (end < 0) return Fail(err, "AppendDatabaseRecord: Disk-Write error");
  // Offsets are kept as 32-bit text: refuse before anything is written.
  if (end + static_cast<int64_t>(total) > kMaxDataFileOffset) {
    return Fail(err, "AppendDatabaseRecord: The data file is full (records must end below 2 GiB)");
  }
  std::string image;
  image.reserve(total);
  image.append(header.bytes.data(), RecordHeader::kSize);
  image.append(data.data(), static_cast<size_t>(n));
  int64_t at = -1;
  if (!shared_) {
    // Nobody else appends: the record goes to the end in one write. A write
    // that fails part-way leaves bytes no chain points to.
    if (!FileAppend(data_file_.handle(), image.data(), image.size(), at)) {
      return Fail(err, "AppendDatabaseRecord: Disk-Write error");
    }
    offset = at;
    return 1;
  }
  // Shared: the area is reserved first (blanks) and filled afterwards, so
  // that another process appending meanwhile takes the space behind it;
  // after a failed fill it stays in the file as blanks.
  const std::string blanks(total, ' ');
  if (!FileAppend(data_file_.handle(), blanks.data(), blanks.size(), at)) {
    return Fail(err, "AppendDatabaseRecord: Disk-Write error");
  }
  if (!FileWriteAt(data_file_.handle(), image.data(), image.size(), at)) {
    return Fail(err, "AppendDatabaseRecord: Disk-Write error");
  }
  offset = at;
  return 1;
}

int Database::WriteDatabaseRecord(const RecordHeader& header, std::string_view data,
                                  int64_t& offset, int32_t new_length, int32_t& length,
                                  std::string* err) {
  if (err == nullptr || data.data() == nullptr) return 0;
  if (!connected_) return Fail(err, "WriteDatabaseRecord: Not connected to database");
  if (batch_.open) return Fail(err, "WriteDatabaseRecord: An append batch is open");
  ++change_count_;
  if (!IsValidDataLength(new_length) || data.size() < static_cast<size_t>(new_length)) {
    return Fail(err, "WriteDatabaseRecord: Invalid record length");
  }
  RecordHeader stored;
  if (!IsPossibleOffset(offset) ||
      !FileReadAt(data_file_.handle(), stored.bytes.data(), stored.bytes.size(), offset)) {
    return Fail(err, "WriteDatabaseRecord: Error reading record header");
  }
  // A damaged stored length would let an in-place rewrite run over the
  // records that follow.
  if (!stored.has_marker() || !IsValidDataLength(stored.data_length())) {
    return Fail(err, "WriteDatabaseRecord: Invalid record offset");
  }
  if (!EqualNoCase(stored.table(), header.table())) {
    return Fail(err, "WriteDatabaseRecord: Record at specified offset is not part of the table");
  }

  if (new_length <= stored.data_length()) {
    // In place. The header is written as given, so the stored length keeps
    // its old, larger value and the bytes beyond new_length stay as they are.
    if (!FileWriteAt(data_file_.handle(), header.bytes.data(), header.bytes.size(), offset)) {
      return Fail(err, "WriteDatabaseRecord: Error overwriting record header");
    }
    length = new_length;
    if (!FileWriteAt(data_file_.handle(), data.data(), static_cast<size_t>(new_length),
                     offset + static_cast<int64_t>(RecordHeader::kSize))) {
      return Fail(err,
                  "WriteDatabaseRecord: Unable to overwrite existing database record - Record "
                  "Might be locked by another user.");
    }
    return 1;
  }

  // Relocation: the new copy becomes the head of the table's chain.
  const std::string table(header.table());
  TableDefinition definition;
  int64_t definition_offset = 0;
  if (!GetTableDef(table.c_str(), definition, definition_offset)) {
    return Fail(err, "WriteDatabaseRecord: Unable to read table definition");
  }
  if (shared_ && !LockTableDefinition(table.c_str())) {
    return Fail(err, "WriteDatabaseRecord: Error Locking table header");
  }
  auto unlock = [&] {
    if (shared_) UnlockTableDefinition(table.c_str());
  };
  RecordHeader moved = header;
  moved.set_data_length(new_length);
  moved.set_previous(definition.newest_record());
  int64_t new_offset = -1;
  std::string append_err;
  if (!AppendDatabaseRecord(moved, data, new_offset, &append_err)) {
    unlock();
    return Fail(err,
                "WriteDatabaseRecord: Unable to overwrite existing database record - Record Might "
                "be locked by another user.");
  }
  stored.set_superseded(true);
  if (!FileWriteAt(data_file_.handle(), stored.bytes.data(), stored.bytes.size(), offset)) {
    unlock();
    return Fail(err, "Error updatingold record");
  }
  definition.set_newest_record(new_offset);
  if (!UpdateTableDef(definition, definition_offset)) {
    unlock();
    return Fail(err, "WriteDatabaseRecord: Disk-Write error");
  }
  unlock();
  offset = new_offset;
  length = new_length;
  return 1;
}

}  // namespace zt
