// A consistent copy of an open database's files, made while it serves.
//
// Begin makes the last commit durable and writes every committed change
// into the files (WriteAheadLog::Settle: no checkpoint, so nothing waits
// for the database files' sync) and holds the files still: later changes are logged and synced as always but
// stay staged in memory until the copy ends, so the copy sees one moment.
// Copy then copies a slice at a time (the caller interleaves the slices with
// its other work), each file synced every few MiB and at its end, and the
// folder at the end of all. A backup that fails or is dropped unfinished removes what it wrote.
// The copy holds the data, definition and index files under their own
// names; restoring is copying them back while no server runs.
#ifndef ZT_ENGINE_BACKUP_H_
#define ZT_ENGINE_BACKUP_H_

#include <array>
#include <cstdint>
#include <string>

#include "engine/database.h"
#include "engine/file.h"

namespace zt {

class DatabaseBackup {
 public:
  DatabaseBackup() = default;
  DatabaseBackup(const DatabaseBackup&) = delete;
  DatabaseBackup& operator=(const DatabaseBackup&) = delete;
  ~DatabaseBackup();

  // Starts a backup of db into folder, which must not exist yet (it is
  // made). 0 with err on failure, leaving nothing behind.
  [[nodiscard]] int Begin(Database& db, const std::string& folder, std::string& err);
  enum class Step { kMore, kDone, kFailed };
  // Copies up to `bytes` more; kFailed leaves err and removes the copy.
  Step Copy(size_t bytes, std::string& err);
  // Drops an unfinished backup (and what it wrote).
  void Cancel() {
    if (active()) Abort();
  }

  const std::string& folder() const { return folder_; }
  int64_t total_bytes() const { return total_; }
  bool active() const { return db_ != nullptr; }

 private:
  void Abort();
  void Release();

  Database* db_ = nullptr;
  std::string folder_;
  std::array<FileHandle, 3> from_{kNoFile, kNoFile, kNoFile};
  std::array<int64_t, 3> length_{};
  std::array<std::string, 3> paths_;
  std::array<File, 3> to_;
  size_t file_ = 0;     // the file being copied
  int64_t copied_ = 0;  // of that file
  int64_t unsynced_ = 0;  // copied since that file's last sync
  int64_t total_ = 0;
};

}  // namespace zt

#endif  // ZT_ENGINE_BACKUP_H_
