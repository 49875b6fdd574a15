#include "engine/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>

#include "engine/codec.h"

namespace zt {
namespace {

thread_local int last_errno = 0;

int Fail() {
  last_errno = errno;
  return 0;
}

// Builds the flock description of a region for F_OFD_SETLK.
struct flock RegionLockRequest(short type, int64_t offset, int64_t length) {
  struct flock lock;
  std::memset(&lock, 0, sizeof lock);
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = offset;
  lock.l_len = length;
  lock.l_pid = 0;  // must be 0 for open-file-description locks
  return lock;
}

// The read cache of one file (FileEnableReadCache): blocks of the file as
// this process last read them, and the file's length as this process left
// it. Every write through this layer drops the blocks it touches and keeps
// the length, so the cache never holds bytes the file no longer has: it is
// exact as long as no other process writes the file (exclusive use).
class ReadCache {
 public:
  static constexpr size_t kBlock = 4096;
  // Larger reads bypass the cache (windowed scans read far more at once).
  static constexpr size_t kLargestCachedRead = 4 * kBlock;

  explicit ReadCache(size_t max_blocks) : max_blocks_(max_blocks < 1 ? 1 : max_blocks) {}

  // The block's bytes (fewer than kBlock at the end of the file); null when
  // it cannot be read.
  const std::string* Block(FileHandle handle, int64_t number) {
    const auto it = blocks_.find(number);
    if (it != blocks_.end()) return &it->second;
    std::string bytes(kBlock, '\0');
    size_t have = 0;
    const int64_t at = number * static_cast<int64_t>(kBlock);
    while (have < kBlock) {
      const ssize_t got =
          ::pread(handle, bytes.data() + have, kBlock - have, at + static_cast<int64_t>(have));
      if (got < 0) {
        if (errno == EINTR) continue;
        last_errno = errno;
        return nullptr;
      }
      if (got == 0) break;
      have += static_cast<size_t>(got);
    }
    bytes.resize(have);
    if (blocks_.size() >= max_blocks_) blocks_.erase(blocks_.begin());
    return &blocks_.emplace(number, std::move(bytes)).first->second;
  }

  // Forgets the blocks [offset, offset + n) touches.
  void Drop(int64_t offset, size_t n) {
    if (n == 0) return;
    const int64_t first = offset / static_cast<int64_t>(kBlock);
    const int64_t last = (offset + static_cast<int64_t>(n) - 1) / static_cast<int64_t>(kBlock);
    if (last - first >= static_cast<int64_t>(blocks_.size())) {
      for (auto it = blocks_.begin(); it != blocks_.end();) {
        it = it->first >= first && it->first <= last ? blocks_.erase(it) : std::next(it);
      }
      return;
    }
    for (int64_t b = first; b <= last; ++b) blocks_.erase(b);
  }
  void Clear() {
    blocks_.clear();
    length = -1;
  }

  int64_t length = -1;  // -1: not known

 private:
  size_t max_blocks_;
  std::unordered_map<int64_t, std::string> blocks_;
};

std::unordered_map<FileHandle, std::unique_ptr<ReadCache>>& ReadCaches() {
  static auto* caches = new std::unordered_map<FileHandle, std::unique_ptr<ReadCache>>();
  return *caches;
}

ReadCache* CacheOf(FileHandle handle) {
  auto& caches = ReadCaches();
  if (caches.empty()) return nullptr;
  const auto it = caches.find(handle);
  return it == caches.end() ? nullptr : it->second.get();
}

bool RegionInsideFile(FileHandle handle, int64_t offset, int64_t length) {
  if (offset < 0 || length < 0) return false;
  const int64_t size = FileLength(handle);
  return size >= 0 && offset + length <= size;
}

}  // namespace

int FileOpen(FileHandle& handle, const std::string& path, int shared) {
  handle = kNoFile;
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return Fail();
  if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    last_errno = errno;
    ::close(fd);
    return 0;
  }
  handle = fd;
  return 1;
}

int FileCreate(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail();
  ::close(fd);
  return 1;
}

int FileClose(FileHandle& handle) {
  if (handle < 0) return 0;
  FileDisableReadCache(handle);
  const int rc = ::close(handle);
  handle = kNoFile;
  return rc == 0 ? 1 : Fail();
}

int FileDelete(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 1 : Fail(); }

int FileReadAt(FileHandle handle, void* buffer, size_t n, int64_t offset) {
  if (handle < 0 || offset < 0) return 0;
  auto* p = static_cast<char*>(buffer);
  if (ReadCache* cache = CacheOf(handle); cache != nullptr && n <= ReadCache::kLargestCachedRead) {
    while (n > 0) {
      const int64_t number = offset / static_cast<int64_t>(ReadCache::kBlock);
      const std::string* block = cache->Block(handle, number);
      if (block == nullptr) return 0;
      const size_t at =
          static_cast<size_t>(offset - number * static_cast<int64_t>(ReadCache::kBlock));
      if (at >= block->size()) return 0;  // end of file before n bytes
      const size_t take = std::min(n, block->size() - at);
      std::memcpy(p, block->data() + at, take);
      p += take;
      n -= take;
      offset += static_cast<int64_t>(take);
    }
    return 1;
  }
  while (n > 0) {
    const ssize_t got = ::pread(handle, p, n, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    if (got == 0) return 0;  // end of file before n bytes
    p += got;
    n -= static_cast<size_t>(got);
    offset += got;
  }
  return 1;
}

// The write itself, without the read cache.
int FileWriteAtUncached(FileHandle handle, const void* buffer, size_t n, int64_t offset);

int FileWriteAt(FileHandle handle, const void* buffer, size_t n, int64_t offset) {
  if (handle < 0 || offset < 0) return 0;
  if (ReadCache* cache = CacheOf(handle)) {
    // Dropped before the write: whatever part of it lands, no stale block
    // stays. The length follows a write that succeeds whole.
    cache->Drop(offset, n);
    const int64_t before = cache->length;
    cache->length = -1;
    if (!FileWriteAtUncached(handle, buffer, n, offset)) return 0;
    if (before >= 0) cache->length = std::max(before, offset + static_cast<int64_t>(n));
    return 1;
  }
  return FileWriteAtUncached(handle, buffer, n, offset);
}

int FileWriteAtUncached(FileHandle handle, const void* buffer, size_t n, int64_t offset) {
  const auto* p = static_cast<const char*>(buffer);
  while (n > 0) {
    const ssize_t put = ::pwrite(handle, p, n, offset);
    if (put < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    p += put;
    n -= static_cast<size_t>(put);
    offset += put;
  }
  return 1;
}

int FileAppend(FileHandle handle, const void* buffer, size_t n, int64_t& offset) {
  const int64_t end = FileLength(handle);
  if (end < 0) return 0;
  offset = end;
  return FileWriteAt(handle, buffer, n, end);
}

int FileLockRegion(FileHandle handle, int64_t offset, int64_t length) {
  if (!RegionInsideFile(handle, offset, length)) return 0;
  struct flock lock = RegionLockRequest(F_WRLCK, offset, length);
  return ::fcntl(handle, F_OFD_SETLK, &lock) == 0 ? 1 : Fail();
}

int FileUnlockRegion(FileHandle handle, int64_t offset, int64_t length) {
  if (!RegionInsideFile(handle, offset, length)) return 0;
  struct flock lock = RegionLockRequest(F_UNLCK, offset, length);
  return ::fcntl(handle, F_OFD_SETLK, &lock) == 0 ? 1 : Fail();
}

int64_t FileLength(FileHandle handle) {
  ReadCache* cache = CacheOf(handle);
  if (cache != nullptr && cache->length >= 0) return cache->length;
  struct stat st;
  if (handle < 0 || ::fstat(handle, &st) != 0) {
    last_errno = errno;
    return -1;
  }
  if (cache != nullptr) cache->length = st.st_size;
  return st.st_size;
}

int FileTruncate(FileHandle handle, int64_t length) {
  if (ReadCache* cache = CacheOf(handle)) cache->Clear();
  return ::ftruncate(handle, length) == 0 ? 1 : Fail();
}

void FileEnableReadCache(FileHandle handle, size_t bytes) {
  if (handle < 0) return;
  ReadCaches()[handle] = std::make_unique<ReadCache>(bytes / ReadCache::kBlock);
}

void FileDisableReadCache(FileHandle handle) {
  auto& caches = ReadCaches();
  if (!caches.empty()) caches.erase(handle);
}

int FileSync(FileHandle handle) { return ::fdatasync(handle) == 0 ? 1 : Fail(); }

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return 1;
  if (errno == EEXIST && IsDirectory(path)) return 1;
  return Fail();
}

int MakeFolders(const std::string& path) {
  if (path.empty()) return 0;
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string parent = path.substr(0, slash);
    if (!IsDirectory(parent) && !MakeFolder(parent)) return 0;
  }
  return MakeFolder(path);
}

std::vector<std::string> ListFolder(const std::string& folder, const std::string& suffix) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name(entry->d_name);
    if (name.size() < suffix.size()) continue;
    if (!EqualNoCase(name.substr(name.size() - suffix.size()), suffix)) continue;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}

std::string TempFolder() {
  const char* tmp = std::getenv("TMPDIR");
  if (tmp != nullptr && *tmp != '\0' && IsDirectory(tmp)) return tmp;
  return "/tmp";
}

namespace {

// Makes the new file of MakeUniqueTempFile and TempFile::Make; fd receives
// its open descriptor. Empty when none could be made.
std::string CreateUniqueTempFile(const std::string& prefix, const std::string& extension, int& fd) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  static thread_local std::mt19937_64 random{std::random_device{}()};
  fd = kNoFile;
  std::string folder = TempFolder();
  if (folder.empty() || folder.back() != '/') folder += '/';
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = folder + prefix;
    for (int i = 0; i < 10; ++i) name += kAlphabet[random() % (sizeof kAlphabet - 1)];
    name += "." + extension;
    fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) return name;
    if (errno != EEXIST) {
      last_errno = errno;
      return {};
    }
  }
  last_errno = EEXIST;
  return {};
}

}  // namespace

std::string MakeUniqueTempFile(const std::string& prefix, const std::string& extension) {
  int fd = kNoFile;
  std::string name = CreateUniqueTempFile(prefix, extension, fd);
  if (fd >= 0) ::close(fd);
  return name;
}

int AppendTextToFile(const std::string& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return Fail();
  // O_APPEND: each write lands at the end, also when another process appends.
  const char* p = text.data();
  size_t n = text.size();
  int ok = 1;
  while (n > 0) {
    const ssize_t put = ::write(fd, p, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      ok = Fail();
      break;
    }
    p += put;
    n -= static_cast<size_t>(put);
  }
  ::close(fd);
  return ok;
}

bool ReadWholeFile(const std::string& path, std::string& out) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail();
  char buffer[8192];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      last_errno = errno;
      ::close(fd);
      return false;
    }
    if (got == 0) break;
    out.append(buffer, static_cast<size_t>(got));
  }
  ::close(fd);
  return true;
}

int ReplaceFileContent(const std::string& path, const std::string& content) {
  const std::string temp = path + ".new";
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail();
  const int ok = FileWriteAt(fd, content.data(), content.size(), 0);
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    last_errno = errno;
    ::unlink(temp.c_str());
    return 0;
  }
  return 1;
}

std::string LastFileError() { return std::strerror(last_errno); }

// ---- Owning types ------------------------------------------------------------

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, kNoFile);
  }
  return *this;
}

int File::Open(const std::string& path, int shared) {
  Close();
  return FileOpen(handle_, path, shared);
}

int File::Close() { return handle_ == kNoFile ? 0 : FileClose(handle_); }

TempFile& TempFile::operator=(TempFile&& other) noexcept {
  if (this != &other) {
    Remove();
    path_ = std::move(other.path_);
    other.path_.clear();
    file_ = std::move(other.file_);
  }
  return *this;
}

int TempFile::Make(const std::string& prefix, const std::string& extension) {
  Remove();
  int fd = kNoFile;
  path_ = CreateUniqueTempFile(prefix, extension, fd);
  file_ = File(fd);
  return path_.empty() ? 0 : 1;
}

int TempFile::Remove() {
  file_.Close();
  if (path_.empty()) return 0;
  const int deleted = FileDelete(path_);
  path_.clear();
  return deleted;
}

ShareLock& ShareLock::operator=(ShareLock&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = std::exchange(other.handle_, kNoFile);
  }
  return *this;
}

int ShareLock::Take(FileHandle handle, int shared) {
  Release();
  if (handle < 0) return 0;
  if (::flock(handle, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) return Fail();
  handle_ = handle;
  return 1;
}

void ShareLock::Release() {
  if (handle_ == kNoFile) return;
  ::flock(handle_, LOCK_UN);
  handle_ = kNoFile;
}

RegionLock& RegionLock::operator=(RegionLock&& other) noexcept {
  if (this != &other) {
    Release();
    handle_ = std::exchange(other.handle_, kNoFile);
    offset_ = other.offset_;
    length_ = other.length_;
  }
  return *this;
}

int RegionLock::Take(FileHandle handle, int64_t offset, int64_t length) {
  Release();
  if (!FileLockRegion(handle, offset, length)) return 0;
  handle_ = handle;
  offset_ = offset;
  length_ = length;
  return 1;
}

void RegionLock::Release() {
  if (handle_ == kNoFile) return;
  FileUnlockRegion(handle_, offset_, length_);
  handle_ = kNoFile;
}

}  // namespace zt
