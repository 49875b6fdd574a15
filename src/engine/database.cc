// Opening and closing the database, and the Database's error texts.
#include "engine/database.h"

#include <cstdio>

#include "engine/filenames.h"

namespace zt {

Database::Database(std::string work_folder) : work_folder_(std::move(work_folder)) {}

Database::~Database() { CloseDatabase(); }

void Database::SetErrorQuietly(std::string_view text) {
  last_error_.assign(text.substr(0, kMaxErrorText));
}

void Database::SetError(std::string_view text) {
  SetErrorQuietly(text);
  ReportError(last_error_);
}

int Database::GetLastErrorText(std::string* out) const {
  if (out == nullptr) return 0;
  *out = last_error_;
  return 1;
}

void Database::ReportError(std::string_view text) const {
  if (!message_box_) return;
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

int Database::CreateTempFolder(std::string& out) {
  out = work_folder_;
  if (!MakeFolders(work_folder_)) return 0;
  if (out.empty() || out.back() != '/') out += '/';
  return 1;
}

int Database::OpenDatabase(const char* path, int shared) {
  if (path == nullptr) return 0;
  if (connected_) {
    SetError("OpenDatabase: This object is already connected to a database");
    return 0;
  }
  std::string work;
  if (!CreateTempFolder(work)) {
    SetError("OpenDatabase: Unable to create temporary folder.");
    return 0;
  }
  const std::string data_path = path;
  if (!FileOpen(data_file_, data_path, shared)) {
    SetError("OpenDatabase: Could not open database file");
    return 0;
  }

  write_file_path_ = DerivedFileName(data_path, kWriteFileExtension);
  if (!FileCreate(write_file_path_)) {
    FileClose(data_file_);
    SetError("OpenDatabase: Unable to create a write file");
    return 0;
  }
  if (!FileOpen(write_file_, write_file_path_, 0)) {
    FileDelete(write_file_path_);
    FileClose(data_file_);
    SetError("OpenDatabase: Unable to create a write file");
    return 0;
  }

  if (!FileOpen(definition_file_, DerivedFileName(data_path, kDefinitionFileExtension), shared)) {
    FileClose(data_file_);
    FileClose(write_file_);
    FileDelete(write_file_path_);
    SetError("OpenDatabase: Error opening database definition file");
    return 0;
  }

  if (!index_.IndexOpen(DerivedFileName(data_path, kIndexFileExtension), shared)) {
    FileClose(data_file_);
    FileClose(definition_file_);
    FileClose(write_file_);
    FileDelete(write_file_path_);
    SetError("OpenDatabase: Error opening index file");
    return 0;
  }

  if (!shared) transaction_slots_.fill(TransactionSlot{});
  shared_ = shared;
  connected_ = 1;
  ++key_order_count_;  // another file, or the same one changed meanwhile
  return 1;
}

int Database::CloseDatabase() {
  if (!connected_) return 0;
  FileClose(data_file_);
  FileClose(definition_file_);
  index_.IndexClose();
  for (TransactionSlot& slot : transaction_slots_) {
    if (slot.handle >= 0) {
      FileHandle handle = slot.handle;
      FileClose(handle);
      FileDelete(TransactionFileName(work_folder_, slot.id));
    }
    slot = TransactionSlot{};
  }
  FileClose(write_file_);
  const int deleted = FileDelete(write_file_path_);
  connected_ = 0;
  return deleted;
}

}  // namespace zt
