#include "engine/backup.h"

#include "engine/filenames.h"

namespace zt {
namespace {

std::string BaseName(const std::string& path) { return path.substr(path.find_last_of('/') + 1); }

// The copy syncs what it wrote after this many bytes.
constexpr int64_t kSyncEvery = int64_t{8} << 20;

}  // namespace

DatabaseBackup::~DatabaseBackup() {
  if (active()) Abort();
}

int DatabaseBackup::Begin(Database& db, const std::string& folder, std::string& err) {
  if (active()) {
    err = "a backup is already being written (" + folder_ + ")";
    return 0;
  }
  if (!db.IsConnected()) {
    err = "no database is open";
    return 0;
  }
  if (PathExists(folder)) {
    err = folder + " exists already";
    return 0;
  }
  // Every committed change into the files, without a checkpoint: the copy
  // reads them through the kernel's cache, and syncs what it writes, so the
  // database files need no sync of their own (a checkpoint's sync of every
  // dirty page held clients for half a second at a million rows).
  std::string why;
  if (!db.SettleLog(&why)) {
    err = "cannot write the committed changes into the files: " + why;
    return 0;
  }
  const std::string parent = folder.substr(0, folder.find_last_of('/'));
  if (!parent.empty() && parent != folder && !MakeFolders(parent, &why)) {
    err = "cannot make " + folder + ": " + why;
    return 0;
  }
  if (!MakeFolder(folder)) {
    err = "cannot make " + folder + ": " + LastFileError();
    return 0;
  }
  db_ = &db;
  folder_ = folder;
  const std::string& data = db.data_path();
  from_ = {db.data_file(), db.definition_file(), db.index().handle()};
  const std::array<std::string, 3> names = {
      BaseName(data), BaseName(DerivedFileName(data, kDefinitionFileExtension)),
      BaseName(DerivedFileName(data, kIndexFileExtension))};
  for (size_t f = 0; f < from_.size(); ++f) {
    paths_[f] = JoinPath(folder, names[f]);
    if (!FileCreate(paths_[f]) || !to_[f].Open(paths_[f], 0)) {
      err = "cannot create " + paths_[f] + ": " + LastFileError();
      Abort();
      return 0;
    }
  }
  // The lengths the checkpoint left; nothing reaches the files until the
  // hold ends, so they stay.
  db.HoldFileWrites(true);
  for (size_t f = 0; f < from_.size(); ++f) {
    length_[f] = FileLength(from_[f]);
    if (length_[f] < 0) {
      err = "cannot read the database files: " + LastFileError();
      Abort();
      return 0;
    }
  }
  // The staged bytes are not the files' (FileLength counts them): Settle
  // left none, so the lengths are the stored ones.
  file_ = 0;
  copied_ = 0;
  total_ = 0;
  return 1;
}

DatabaseBackup::Step DatabaseBackup::Copy(size_t bytes, std::string& err) {
  if (!active()) return Step::kDone;
  while (bytes > 0 && file_ < from_.size()) {
    const int64_t left = length_[file_] - copied_;
    const size_t n = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(bytes)));
    if (n > 0 && !FileCopyRange(from_[file_], copied_, n, to_[file_].handle())) {
      err = "cannot copy to " + paths_[file_] + ": " + LastFileError();
      Abort();
      return Step::kFailed;
    }
    copied_ += static_cast<int64_t>(n);
    total_ += static_cast<int64_t>(n);
    bytes -= n;
    unsynced_ += static_cast<int64_t>(n);
    // Synced as it goes, so that no slice waits for a whole file's sync.
    if (unsynced_ >= kSyncEvery && copied_ < length_[file_]) {
      if (!FileSync(to_[file_].handle())) {
        err = "cannot sync " + paths_[file_] + ": " + LastFileError();
        Abort();
        return Step::kFailed;
      }
      unsynced_ = 0;
    }
    if (copied_ == length_[file_]) {
      unsynced_ = 0;
      if (!FileSync(to_[file_].handle())) {
        err = "cannot sync " + paths_[file_] + ": " + LastFileError();
        Abort();
        return Step::kFailed;
      }
      to_[file_].Close();
      ++file_;
      copied_ = 0;
    }
  }
  if (file_ < from_.size()) return Step::kMore;
  if (!FolderSync(folder_)) {
    err = "cannot sync " + folder_ + ": " + LastFileError();
    Abort();
    return Step::kFailed;
  }
  Release();
  return Step::kDone;
}

void DatabaseBackup::Release() {
  if (db_ != nullptr) db_->HoldFileWrites(false);
  db_ = nullptr;
  for (File& file : to_) file.Close();
}

void DatabaseBackup::Abort() {
  Release();
  for (const std::string& path : paths_) {
    if (!path.empty()) FileDelete(path);
  }
  if (!folder_.empty()) RemoveFolder(folder_);
}

}  // namespace zt
