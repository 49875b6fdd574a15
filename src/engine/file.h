// The file layer: every file-system call of the engine, the tools and the
// error log goes through here, so that the rest of the code never touches a
// raw descriptor's syscalls.
//
// An open file is a File object (below): it owns the descriptor (opened
// with O_CLOEXEC) and everything this process keeps about the file, its
// read cache and its staged writes, so closing it ends them all; nothing
// is kept in tables beside it. Code that uses a file without owning it
// holds a FileHandle, which points at the File's state and stays valid
// while the File is open (moving the File does not change it). Offsets
// are 64-bit. Reads and writes are positional (pread/pwrite), retried on
// EINTR and on short transfers; a read that reaches the end of the file
// before n bytes fails.
//
// Share modes: an exclusive open takes a non-blocking exclusive flock() on
// the file and a shared open a non-blocking shared one, so a second
// exclusive opener (in this process or another) fails at once.
// Region locks are open-file-description locks (F_OFD_SETLK): one attempt,
// never a wait, and they conflict between two opens of the same file even
// inside one process.
//
// The primitives return 1 on success and 0 on failure and report no
// message; LastFileError() gives errno's text for callers that log.
#ifndef ZT_ENGINE_FILE_H_
#define ZT_ENGINE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zt {

// The state of one open file, owned by its File; opaque outside the file
// layer.
class OpenFile;
// A file used, not owned (null: none).
using FileHandle = OpenFile*;
inline constexpr FileHandle kNoFile = nullptr;

// Creates (or empties) the file at path; it is not kept open.
int FileCreate(const std::string& path);
int FileDelete(const std::string& path);
int FileReadAt(FileHandle handle, void* buffer, size_t n, int64_t offset);
int FileWriteAt(FileHandle handle, const void* buffer, size_t n, int64_t offset);
// Writes n bytes at the current end of the file; offset receives the position
// at which they start (set before writing, so a failed write still tells
// where the reserved area began).
int FileAppend(FileHandle handle, const void* buffer, size_t n, int64_t& offset);
// Non-blocking write lock of [offset, offset+length). Fails without asking
// the kernel when the region reaches past the end of the file.
int FileLockRegion(FileHandle handle, int64_t offset, int64_t length);
int FileUnlockRegion(FileHandle handle, int64_t offset, int64_t length);

// Length of an open file; -1 when it cannot be read.
int64_t FileLength(FileHandle handle);
// Serves later reads of the file (of up to 16 KiB each) and its length
// from memory, up to `bytes` of it, for as long as the file is open.
// Writes through this layer keep the cache exact; nothing else may write
// the file meanwhile (another process, a second descriptor). Closing the
// file ends it.
void FileEnableReadCache(FileHandle handle, size_t bytes);
void FileDisableReadCache(FileHandle handle);
// Makes the file exactly `length` bytes long. Refused while writes to the
// file are staged.
int FileTruncate(FileHandle handle, int64_t length);
// Forces written data (and the length) to the disk: fdatasync.
int FileSync(FileHandle handle);
// Starts writing [offset, offset + n) to the disk without waiting for it
// (sync_file_range): a later FileSync of the file then has less to wait
// for. A hint only: it promises nothing, and failures are ignored.
void FileStartWriteback(FileHandle handle, int64_t offset, int64_t n);
// Forces a folder's entries (a rename or a new file in it) to the disk.
int FolderSync(const std::string& folder);
// Renames a file, replacing what the new name held (rename(2): atomic).
int FileRename(const std::string& from, const std::string& to);
// The path with symbolic links and "." / ".." resolved (realpath); the path
// as given when it cannot be resolved.
std::string AbsolutePath(const std::string& path);
// Copies n bytes at offset of from, as the file holds them (staged writes
// not included), to the same offset of to.
int FileCopyRange(FileHandle from, int64_t offset, size_t n, FileHandle to);
// Removes an empty folder.
int RemoveFolder(const std::string& path);

// ---- Staged writes -------------------------------------------------------------
// While a file is staged, FileWriteAt and FileAppend on it keep the bytes in
// memory instead of writing them; FileReadAt and FileLength see them as if
// written. The write-ahead log (engine/wal.h) stages the database files so
// that their bytes change only after the log holds the change.
//
// Staged bytes are kept in layers of non-overlapping extents (a later
// write over an earlier one replaces its bytes): the committed layer, which
// the log already holds; the sealed one, formed into log records not yet
// committed; and the one written since the last seal. A failed commit drops
// the last two. Besides the extents, the file remembers which ranges were
// written since the last FileTakeTouched, so the log can form one record
// per change from the staged bytes, and what they held before it.
// A range of a file: length bytes from offset.
struct FileRange {
  int64_t offset = 0;
  int64_t length = 0;
};
void FileStageWrites(FileHandle handle);
// Moves the writes since the last seal into the sealed layer (the log
// formed its record of them).
void FileSealStaged(FileHandle handle);
// Moves the sealed and the newest layer into the committed one.
void FileCommitStaged(FileHandle handle);
// Forgets the sealed and the newest layer (and the touched ranges); the
// committed stays.
void FileDiscardStaged(FileHandle handle);
// Writes every committed extent to the file (ascending offsets) and forgets
// it; the file stays staged. 0 at the first failing write: the extents not
// yet written stay staged.
[[nodiscard]] int FileApplyStaged(FileHandle handle);
// Ends staging; what is staged is forgotten.
void FileUnstage(FileHandle handle);
// The ranges written since the last call, coalesced and in ascending
// order; the touched list starts again empty. Their bytes are staged, and
// FileCopyStaged reads them.
std::vector<FileRange> FileTakeTouched(FileHandle handle);
// Copies the staged bytes held inside [offset, offset + n) over buffer
// (bytes not staged are left as they are); 0 when spilled bytes cannot be
// read back.
[[nodiscard]] int FileCopyStaged(FileHandle handle, char* buffer, size_t n, int64_t offset);
// The bytes [offset, offset + n) as they stood before the writes since the
// last seal: the file's own, zeros beyond its end, under the committed and
// sealed layers. 0 when the file is not staged or cannot be read.
[[nodiscard]] int FileReadBeforeSeal(FileHandle handle, char* buffer, size_t n, int64_t offset);
// Bytes held in the staged extents of the file, spilled or not (0 when not
// staged).
size_t FileStagedBytes(FileHandle handle);
// The memory those take (spilled extents excepted), with the list of
// touched ranges.
size_t FileStagedMemory(FileHandle handle);

// ---- Spilling a large change -----------------------------------------------------
// A change may write more than memory should hold. Once the bytes written
// to a staged file since the last seal take more than a bound, the file
// layer asks the spill (the log) to move them out: it writes them to its
// store file (as a log record that does not end the change) and hands back
// where each range now lies, with FileSpillStaged. From then on the
// overlay holds only a reference for them; reads, seals, commits and the
// final write into the file take the bytes from the store, which must keep
// them unchanged until they were written into the file or discarded.
class StagedSpill {
 public:
  virtual ~StagedSpill() = default;
  // Called from inside a staged write, after its bytes were staged.
  virtual void SpillStaged() = 0;
};
// Asks spill to move the newest writes out once they hold more than bytes
// (null: never). The file must be staged.
void FileSpillWhenOver(FileHandle handle, size_t bytes, StagedSpill* spill);
// A range of the file whose newest bytes are at `at` of the store.
struct SpilledRange {
  int64_t offset = 0;
  int64_t length = 0;
  int64_t at = 0;
};
// Replaces the writes since the last seal inside each range by a reference
// to the store, then seals (FileSealStaged). The ranges must cover every
// range touched since the last seal, and hold its bytes as a read sees
// them now. One store per file.
void FileSpillStaged(FileHandle handle, FileHandle store, const std::vector<SpilledRange>& ranges);

// ---- Large blocks of memory ------------------------------------------------
// Blocks of kLargeBlockBytes or more come straight from the system, asked
// to be backed by huge pages where the kernel offers them: a fresh block of
// many megabytes (a million rows of a recordset) otherwise costs a page
// fault per 4 KiB as it is first written, which on some machines adds tens
// of milliseconds to one step of a request. Smaller blocks come from
// malloc. Null when the memory cannot be had.
inline constexpr size_t kLargeBlockBytes = size_t{2} << 20;
void* AllocateBlock(size_t bytes);
void FreeBlock(void* block, size_t bytes);

// ---- Paths and folders ---------------------------------------------------
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
// The length of the file at path; -1 when there is none.
int64_t PathLength(const std::string& path);
// Renames a file, replacing any file of the new name.
int RenamePath(const std::string& from, const std::string& to);
// Creates one folder; an existing folder counts as success, and a file
// (or anything else) of the name fails with ENOTDIR.
int MakeFolder(const std::string& path);
// Creates a folder and every missing parent. 0 on failure; *why (when
// given) then names the part of the path at fault: "<part> is not a
// folder", or "cannot make <part>: <reason>".
int MakeFolders(const std::string& path, std::string* why = nullptr);
// Names (not paths) of the entries of a folder whose name ends with suffix
// (compared without regard to case), in the order the folder lists them.
std::vector<std::string> ListFolder(const std::string& folder, const std::string& suffix);

// Creates a new, empty file with a unique name in the temporary folder
// ($TMPDIR, else /tmp): prefix + random part + "." + extension, made
// atomically (O_EXCL), so two callers can never share it. Returns the full
// path, or an empty string when no file could be made.
std::string MakeUniqueTempFile(const std::string& prefix, const std::string& extension);
std::string TempFolder();

// Writes all of text at the end of a file File::OpenAppend opened.
int FileAppendText(FileHandle handle, std::string_view text);
// True when path names the very file open as handle (same device and
// inode); false once that file was renamed or removed, whatever now has
// its name.
bool FileIsAt(FileHandle handle, const std::string& path);
// Reads a whole (small) text file; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& out);
// Reads at most max_bytes from the end of a file (all of it when shorter);
// false when it cannot be read.
[[nodiscard]] bool ReadFileTail(const std::string& path, size_t max_bytes, std::string& out);
// Replaces a file's content atomically (write a sibling, then rename); the
// new file gets mode (before the umask).
int ReplaceFileContent(const std::string& path, const std::string& content, int mode = 0644);
// The permission bits of path (mode & 07777), or -1 when it cannot be
// examined.
int PathPermissions(const std::string& path);

// strerror text of the last failing call on this thread.
std::string LastFileError();

// ---- Fault injection (tests only) ------------------------------------------------
// Counters count calls from the moment SetFileFaults is called; N = 1 fails
// the very next call of its kind, 0 never fails. A failed call sets errno
// (EIO, or ENOSPC for a full disk) and changes nothing.
struct FileFaults {
  int64_t fail_read = 0;
  int64_t fail_write = 0;
  int64_t fail_sync = 0;
  int64_t fail_lock = 0;
  // The process kills itself (SIGKILL) at the Nth write, sync or rename
  // from now, before it happens: a crash at a chosen point of a longer
  // piece of work (run in a child process).
  int64_t kill_at_change = 0;
  // Writes fail with ENOSPC once this many more bytes were written (-1:
  // never); a write that would cross the limit fails whole.
  int64_t disk_free_bytes = -1;
  // Writes to files under this folder fail with ENOSPC, and writes to
  // others succeed: one folder's disk is full (the data files' while the
  // log's folder has room).
  std::string full_folder = {};
  // Remembers every file opened from now on as it stands at its open and
  // after each of its completed syncs, for SimulatePowerLoss.
  bool track_syncs = false;
  // With track_syncs: also keeps those states as files in this folder, so
  // that another process can simulate the power loss after this one is
  // killed (SimulatePowerLossFrom).
  std::string synced_copies = {};
};
void SetFileFaults(const FileFaults& faults);
void ClearFileFaults();
// What a power failure leaves of the files opened since track_syncs was
// set: every write not covered by a completed sync of its file is lost.
// torn: each 512-byte sector of such a write is lost or kept at random,
// and the length is the synced one or the current one at random; else
// every file goes back to its synced state exactly. The caller must have
// closed the files (a crashed process holds none). 0 when a file could not
// be put back. Ends the tracking.
int SimulatePowerLoss(uint64_t seed, bool torn);
// The same from the synced states another process kept in folder.
int SimulatePowerLossFrom(const std::string& folder, uint64_t seed, bool torn);

// ---- Owning types ------------------------------------------------------------
// Objects that give back what they hold when they go away, so that no exit
// path has to remember a close, an unlock or a delete. All are move-only; a
// moved-from object holds nothing.

// One open file: its descriptor, read cache and staged writes, all given
// up by Close or the destructor.
class File {
 public:
  File();
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Opens path read-write (closing what the object held first) with the
  // share-mode flock: shared != 0 a shared one, else an exclusive one,
  // both without waiting. 0 leaves it empty.
  [[nodiscard]] int Open(const std::string& path, int shared);
  // Opens a text file for appending (the error log): O_APPEND, creating it
  // when missing, so each write lands at the end even when another
  // process appends or truncates it (logrotate's copytruncate).
  [[nodiscard]] int OpenAppend(const std::string& path);
  // 1 when a descriptor was closed without error; 0 when none was held.
  // What was staged and not applied is forgotten.
  int Close();

  FileHandle handle() const { return open_.get(); }
  bool is_open() const { return open_ != nullptr; }

 private:
  friend class TempFile;
  // Takes over fd, opened as path (fd < 0: holds nothing).
  void Adopt(int fd, const std::string& path);

  std::unique_ptr<OpenFile> open_;
};

// A new file in TempFolder() that nobody else can have: made with O_EXCL,
// open read-write (no share lock), and closed and deleted by the
// destructor, or earlier by Remove().
class TempFile {
 public:
  TempFile() = default;
  TempFile(TempFile&& other) noexcept
      : path_(std::move(other.path_)), file_(std::move(other.file_)) {
    other.path_.clear();
  }
  TempFile& operator=(TempFile&& other) noexcept;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { Remove(); }

  // Removes what the object held, then makes prefix + random part + "." +
  // extension. 0 when no file could be made (LastFileError tells why).
  [[nodiscard]] int Make(const std::string& prefix, const std::string& extension);
  // Make in folder instead (empty: TempFolder()).
  [[nodiscard]] int MakeIn(const std::string& folder, const std::string& prefix,
                           const std::string& extension);
  // Closes and deletes the file now; 1 when it was deleted.
  int Remove();

  const std::string& path() const { return path_; }
  FileHandle handle() const { return file_.handle(); }
  bool is_open() const { return file_.is_open(); }

 private:
  std::string path_;
  File file_;
};

// A flock() share-mode lock on an open file, taken without waiting and
// dropped by the destructor. flock locks belong to the open file
// description: File::Open already takes one, so this is for descriptors
// opened without it, or to change the mode of one for a while.
class ShareLock {
 public:
  ShareLock() = default;
  ShareLock(ShareLock&& other) noexcept : handle_(std::exchange(other.handle_, kNoFile)) {}
  ShareLock& operator=(ShareLock&& other) noexcept;
  ShareLock(const ShareLock&) = delete;
  ShareLock& operator=(const ShareLock&) = delete;
  ~ShareLock() { Release(); }

  // shared != 0: LOCK_SH, else LOCK_EX; 0 when another holder conflicts.
  // The descriptor must stay open as long as the lock is held.
  [[nodiscard]] int Take(FileHandle handle, int shared);
  void Release();
  bool held() const { return handle_ != kNoFile; }

 private:
  FileHandle handle_ = kNoFile;
};

// A write lock of one region of an open file (FileLockRegion), dropped by
// the destructor (FileUnlockRegion). The descriptor must stay open as long
// as the lock is held: release the lock before closing its file.
class RegionLock {
 public:
  RegionLock() = default;
  RegionLock(RegionLock&& other) noexcept
      : handle_(std::exchange(other.handle_, kNoFile)),
        offset_(other.offset_),
        length_(other.length_) {}
  RegionLock& operator=(RegionLock&& other) noexcept;
  RegionLock(const RegionLock&) = delete;
  RegionLock& operator=(const RegionLock&) = delete;
  ~RegionLock() { Release(); }

  // Releases what the object held, then locks [offset, offset+length).
  [[nodiscard]] int Take(FileHandle handle, int64_t offset, int64_t length);
  void Release();
  bool held() const { return handle_ != kNoFile; }

 private:
  FileHandle handle_ = kNoFile;
  int64_t offset_ = 0;
  int64_t length_ = 0;
};

}  // namespace zt

#endif  // ZT_ENGINE_FILE_H_
