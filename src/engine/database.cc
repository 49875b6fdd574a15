// Opening and closing the database, and the Database's error texts.
#include "engine/database.h"

#include <cstdio>
#include <string>
#include <utility>

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

namespace {

// The private write file while OpenDatabase is not yet done with it:
// deleted again unless the open succeeds.
class NewWriteFile {
 public:
  explicit NewWriteFile(std::string path) : path_(std::move(path)) {}
  NewWriteFile(const NewWriteFile&) = delete;
  NewWriteFile& operator=(const NewWriteFile&) = delete;
  ~NewWriteFile() {
    file_.Close();
    if (!kept_) FileDelete(path_);
  }
  int Create() { return FileCreate(path_) && file_.Open(path_, 0); }
  FileHandle Keep() {
    kept_ = true;
    return file_.Release();
  }

 private:
  std::string path_;
  File file_;
  bool kept_ = false;
};

}  // namespace

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
  // Everything opened here is closed again (and the write file deleted) by
  // the objects' destructors unless the whole open succeeds.
  const std::string data_path = path;
  File data;
  if (!data.Open(data_path, shared)) {
    SetError("OpenDatabase: Could not open database file");
    return 0;
  }
  NewWriteFile write(DerivedFileName(data_path, kWriteFileExtension));
  if (!write.Create()) {
    SetError("OpenDatabase: Unable to create a write file");
    return 0;
  }
  File definition;
  if (!definition.Open(DerivedFileName(data_path, kDefinitionFileExtension), shared)) {
    SetError("OpenDatabase: Error opening database definition file");
    return 0;
  }
  if (!index_.IndexOpen(DerivedFileName(data_path, kIndexFileExtension), shared)) {
    SetError("OpenDatabase: Error opening index file");
    return 0;
  }

  write_file_path_ = DerivedFileName(data_path, kWriteFileExtension);
  data_file_ = data.Release();
  definition_file_ = definition.Release();
  write_file_ = write.Keep();
  // Exclusively opened files change only through this object, so what it
  // read once stays true; shared files may change under it at any time.
  definitions_.Enable(!shared);
  index_.EnablePageCache(shared ? 0 : kIndexCachePages);
  if (!shared) FileEnableReadCache(data_file_, kDataCacheBytes);
  if (!shared) transaction_slots_.fill(TransactionSlot{});
  shared_ = shared;
  connected_ = 1;
  ++key_order_count_;  // another file, or the same one changed meanwhile
  return 1;
}

int Database::CloseDatabase() {
  if (!connected_) return 0;
  if (batch_.open) {
    std::string ignored;
    (void)CommitAppendBatch(&ignored);
  }
  FileClose(data_file_);
  FileClose(definition_file_);
  index_.IndexClose();
  index_.EnablePageCache(0);
  definitions_.Enable(false);
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
