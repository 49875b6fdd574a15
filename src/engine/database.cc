// Opening and closing the database, and the Database's error texts.
#include "engine/database.h"

#include <cstdio>
#include <string>
#include <utility>

#include "engine/file_swap.h"
#include "engine/filenames.h"

namespace zt {

Database::Database(std::string work_folder) : work_folder_(std::move(work_folder)) {}

Database::~Database() { CloseDatabase(); }

void Database::SetErrorQuietly(std::string_view text) {
  last_error_.assign(text.substr(0, kMaxErrorText));
  ++error_count_;
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
  File Keep() {
    kept_ = true;
    return std::move(file_);
  }

 private:
  std::string path_;
  File file_;
  bool kept_ = false;
};

// Checks every number of the definition file that sizes or places
// anything (see DefinitionHeaderProblem), and the index's root page; the
// problem found first, or empty.
std::string DefinitionProblem(FileHandle file, IndexFile& index) {
  DefinitionHeader header;
  if (!FileReadAt(file, header.bytes.data(), header.bytes.size(), 0)) {
    return "the definition file is shorter than its header";
  }
  if (std::string why = DefinitionHeaderProblem(header); !why.empty()) return why;
  TableDefinition definition;
  for (int i = 0; i < header.table_count(); ++i) {
    if (!FileReadAt(file, definition.bytes.data(), definition.bytes.size(),
                    TableDefinitionOffset(i))) {
      return "the definition file ends before table definition " + std::to_string(i + 1);
    }
    if (std::string why = TableDefinitionProblem(definition, i); !why.empty()) return why;
  }
  if (!index.RootIsSound()) return "the index root page is damaged";
  return {};
}

}  // namespace

int Database::OpenDatabase(const char* path, int shared) {
  if (path == nullptr) return 0;
  // A replacement of the files committed by a process that died before
  // it was done is finished first, so that every opener sees the same
  // whole database (engine/file_swap.h).
  if (std::string why; !FinishPendingSwap(path, why)) {
    SetError("OpenDatabase: " + why);
    return 0;
  }
  // After an unclean stop the replay has put back every change the log
  // holds; what it cannot vouch for is verified by the server in the
  // background (engine/database_verify.h), not here: a restart costs what
  // the log holds, not what the database holds.
  return OpenFiles(path, shared);
}

int Database::OpenFiles(const char* path, int shared) {
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

  recovery_ = RecoveryReport{};
  if (!shared && !log_options_.folder.empty()) {
    std::string why;
    if (!log_.Open(log_options_, data_path, {data.handle(), definition.handle(), index_.handle()},
                   recovery_, why)) {
      index_.IndexClose();
      SetError("OpenDatabase: " + why);
      return 0;
    }
  }

  if (std::string why = DefinitionProblem(definition.handle(), index_); !why.empty()) {
    index_.IndexClose();
    SetError("OpenDatabase: The database is damaged and was not opened: " + why);
    return 0;
  }

  write_file_path_ = DerivedFileName(data_path, kWriteFileExtension);
  data_path_ = data_path;
  data_file_ = std::move(data);
  definition_file_ = std::move(definition);
  write_file_ = write.Keep();
  // Exclusively opened files change only through this object, so what it
  // read once stays true; shared files may change under it at any time.
  definitions_.Enable(!shared);
  index_.EnablePageCache(shared ? 0 : kIndexCachePages);
  if (!shared) FileEnableReadCache(data_file_.handle(), data_cache_bytes_);
  if (!shared) transaction_slots_.fill(TransactionSlot{});
  shared_ = shared;
  connected_ = 1;
  ++key_order_count_;  // another file, or the same one changed meanwhile
  return 1;
}

int Database::Commit(std::string* err) {
  if (long_change_) return 1;  // it and what waits with it are committed at its end
  std::string why;
  if (log_.Commit(why)) return 1;
  if (err != nullptr) *err = why;
  ForgetCachedChanges();
  return 0;
}

void Database::DiscardChange() {
  if (!log_.is_open()) return;
  log_.Discard();
  ForgetCachedChanges();
}

void Database::ForgetCachedChanges() {
  // The dropped changes may live on in the caches.
  definitions_.Clear();
  index_.DropPageCache();
  ++change_count_;
}

int Database::Checkpoint(std::string* err) {
  if (long_change_) {
    if (err != nullptr) *err = "a long change is being written; try again once it is done";
    return 0;
  }
  std::string why;
  if (log_.Checkpoint(why)) return 1;
  if (err != nullptr) *err = why;
  return 0;
}

int Database::SettleLog(std::string* err) {
  if (long_change_) {
    if (err != nullptr) *err = "a long change is being written; try again once it is done";
    return 0;
  }
  std::string why;
  if (log_.Settle(why)) return 1;
  if (err != nullptr) *err = why;
  ForgetCachedChanges();  // a failed commit dropped the changes
  return 0;
}

void Database::Abandon() {
  if (!connected_) return;
  log_.Abandon();
  batch_ = AppendBatch{};
  data_file_.Close();
  definition_file_.Close();
  index_.IndexClose();
  index_.EnablePageCache(0);
  definitions_.Enable(false);
  write_file_.Close();
  connected_ = 0;
}

int Database::CloseDatabase() {
  if (!connected_) return 0;
  if (long_change_) {
    // Never answered, so never promised: dropped whole.
    DiscardChange();
    long_change_ = false;
  }
  if (batch_.open) {
    std::string ignored;
    (void)CommitAppendBatch(&ignored);
  }
  int logged = 1;
  if (log_.is_open()) {
    std::string why;
    logged = log_.Close(why);
    if (!logged) SetError("CloseDatabase: " + why);
  }
  data_file_.Close();
  definition_file_.Close();
  index_.IndexClose();
  index_.EnablePageCache(0);
  definitions_.Enable(false);
  for (TransactionSlot& slot : transaction_slots_) {
    if (slot.handle >= 0) {
      FileDelete(TransactionFileName(work_folder_, slot.id));
    }
    slot = TransactionSlot{};
  }
  write_file_.Close();
  const int deleted = FileDelete(write_file_path_);
  connected_ = 0;
  return deleted && logged;
}

}  // namespace zt
