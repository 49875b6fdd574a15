#include "engine/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>

#include "engine/codec.h"

namespace zt {
namespace {

// Spilled bytes go to the file in pieces of this size (one buffer).
constexpr int64_t kApplyPiece = int64_t{1} << 20;

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
  const std::string* Block(int fd, int64_t number) {
    const auto it = blocks_.find(number);
    if (it != blocks_.end()) return &it->second;
    std::string bytes(kBlock, '\0');
    size_t have = 0;
    const int64_t at = number * static_cast<int64_t>(kBlock);
    while (have < kBlock) {
      const ssize_t got =
          ::pread(fd, bytes.data() + have, kBlock - have, at + static_cast<int64_t>(have));
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


// Non-overlapping extents of bytes keyed by offset; a write over earlier
// bytes replaces them.
class Extents {
 public:
  void Write(int64_t offset, const char* p, size_t n) {
    if (n == 0) return;
    const int64_t end = offset + static_cast<int64_t>(n);
    // Merge with every extent that overlaps [offset, end), and with one that
    // ends where it begins (it grows in place: appends stay one extent). One
    // that begins where it ends stays apart: joining it would copy it whole,
    // and pages written from the last run of the file back to the first
    // would copy ever longer extents.
    auto first = map_.upper_bound(offset);
    if (first != map_.begin()) {
      auto before = std::prev(first);
      if (EndOf(before) >= offset) first = before;
    }
    auto last = first;
    while (last != map_.end() && last->first < end) ++last;
    if (first == last) {
      bytes_ += n;
      map_.emplace(offset, std::string(p, n));
      return;
    }
    if (std::next(first) == last && first->first <= offset) {
      // Inside or at the end of one extent (an append after an append, a
      // header rewritten): changed in place, so a growing extent costs
      // only its new bytes.
      std::string& bytes = first->second;
      const size_t at = static_cast<size_t>(offset - first->first);
      if (at + n > bytes.size()) {
        bytes_ += at + n - bytes.size();
        bytes.resize(at + n);
      }
      std::memcpy(bytes.data() + at, p, n);
      return;
    }
    // Several extents meet the write and become one. When the first begins
    // at or before the write, its bytes are kept and grown (geometrically),
    // so filling the gaps between many adjoining pages copies each byte
    // about once rather than once per merge.
    const int64_t start = std::min(first->first, offset);
    const size_t size = static_cast<size_t>(std::max(EndOf(std::prev(last)), end) - start);
    std::string merged;
    auto from = first;
    if (first->first == start) {
      merged = std::move(first->second);
      bytes_ -= merged.size();
      ++from;
    }
    if (merged.capacity() < size) merged.reserve(std::max(size, 2 * merged.capacity()));
    const auto place = [&merged, start](int64_t at, const char* bytes, size_t count) {
      const size_t from_start = static_cast<size_t>(at - start);
      if (merged.size() < from_start + count) merged.resize(from_start + count);
      std::memcpy(merged.data() + from_start, bytes, count);
    };
    for (auto it = from; it != last; ++it) {
      place(it->first, it->second.data(), it->second.size());
      bytes_ -= it->second.size();
    }
    place(offset, p, n);  // over the older bytes
    map_.erase(first, last);
    bytes_ += merged.size();
    map_.emplace(start, std::move(merged));
  }

  // Forgets the bytes held inside [offset, offset + n); an extent that
  // reaches beyond keeps its parts outside.
  void Cut(int64_t offset, int64_t n) {
    if (n <= 0 || map_.empty()) return;
    const int64_t end = offset + n;
    auto it = map_.upper_bound(offset);
    if (it != map_.begin() && EndOf(std::prev(it)) > offset) --it;
    while (it != map_.end() && it->first < end) {
      const int64_t start = it->first;
      const int64_t stop = EndOf(it);
      std::string bytes = std::move(it->second);
      it = map_.erase(it);
      bytes_ -= bytes.size();
      if (stop > end) {
        std::string right = bytes.substr(static_cast<size_t>(end - start));
        bytes_ += right.size();
        it = map_.emplace_hint(it, end, std::move(right));  // starts at end: the last
      }
      if (start < offset) {
        bytes.resize(static_cast<size_t>(offset - start));
        bytes.shrink_to_fit();
        bytes_ += bytes.size();
        map_.emplace(start, std::move(bytes));
      }
    }
  }

  // Copies the bytes held inside [offset, offset + n) over buffer.
  void Patch(char* buffer, size_t n, int64_t offset) const {
    if (map_.empty()) return;
    const int64_t end = offset + static_cast<int64_t>(n);
    auto it = map_.upper_bound(offset);
    if (it != map_.begin()) --it;
    for (; it != map_.end() && it->first < end; ++it) {
      const int64_t from = std::max(it->first, offset);
      const int64_t to = std::min(EndOf(it), end);
      if (from >= to) continue;
      std::memcpy(buffer + (from - offset), it->second.data() + (from - it->first),
                  static_cast<size_t>(to - from));
    }
  }

  // Moves every extent of other over these.
  void Absorb(Extents& other) {
    if (map_.empty()) {
      std::swap(map_, other.map_);
      std::swap(bytes_, other.bytes_);
      return;
    }
    for (const auto& [offset, bytes] : other.map_) Write(offset, bytes.data(), bytes.size());
    other.Clear();
  }

  int64_t End() const { return map_.empty() ? 0 : EndOf(std::prev(map_.end())); }
  bool empty() const { return map_.empty(); }
  size_t bytes() const { return bytes_; }
  std::map<int64_t, std::string>& map() { return map_; }
  void Clear() {
    map_.clear();
    bytes_ = 0;
  }

 private:
  static int64_t EndOf(std::map<int64_t, std::string>::const_iterator it) {
    return it->first + static_cast<int64_t>(it->second.size());
  }

  std::map<int64_t, std::string> map_;
  size_t bytes_ = 0;
};

// Staged extents whose bytes lie in a store file (the log, which already
// holds them: FileSpillStaged) rather than in memory, keyed by offset: how
// long each is and where its bytes begin in the store.
class Spilled {
 public:
  struct Ref {
    int64_t length = 0;
    int64_t at = 0;  // in the store
  };

  // Places [offset, offset + length) at `at` of the store, over whatever
  // was there; joins the extent before it when both lie end to end in the
  // file and in the store (a spilled run stays one entry).
  void Put(int64_t offset, int64_t length, int64_t at) {
    if (length <= 0) return;
    Cut(offset, length);
    bytes_ += static_cast<size_t>(length);
    auto next = map_.lower_bound(offset);
    if (next != map_.begin()) {
      auto before = std::prev(next);
      if (before->first + before->second.length == offset &&
          before->second.at + before->second.length == at) {
        before->second.length += length;
        return;
      }
    }
    map_.emplace_hint(next, offset, Ref{length, at});
  }

  // Forgets [offset, offset + n), keeping the parts of extents outside it.
  void Cut(int64_t offset, int64_t n) {
    if (n <= 0 || map_.empty()) return;
    const int64_t end = offset + n;
    auto it = map_.upper_bound(offset);
    if (it != map_.begin() && EndOf(std::prev(it)) > offset) --it;
    while (it != map_.end() && it->first < end) {
      const int64_t start = it->first;
      const Ref ref = it->second;
      it = map_.erase(it);
      bytes_ -= static_cast<size_t>(ref.length);
      if (start + ref.length > end) {
        const Ref right{start + ref.length - end, ref.at + (end - start)};
        bytes_ += static_cast<size_t>(right.length);
        it = map_.emplace_hint(it, end, right);  // starts at end: the last
      }
      if (start < offset) {
        bytes_ += static_cast<size_t>(offset - start);
        map_.emplace(start, Ref{offset - start, ref.at});
      }
    }
  }

  // Reads the bytes held inside [offset, offset + n) from store over
  // buffer; 0 when the store cannot be read.
  int Patch(FileHandle store, char* buffer, size_t n, int64_t offset) const;

  int64_t End() const { return map_.empty() ? 0 : EndOf(std::prev(map_.end())); }
  bool empty() const { return map_.empty(); }
  size_t bytes() const { return bytes_; }
  const std::map<int64_t, Ref>& map() const { return map_; }
  void Clear() {
    map_.clear();
    bytes_ = 0;
  }

 private:
  static int64_t EndOf(std::map<int64_t, Ref>::const_iterator it) {
    return it->first + it->second.length;
  }

  std::map<int64_t, Ref> map_;
  size_t bytes_ = 0;
};

// One layer of staged writes: extents in memory and extents in the store,
// which never overlap (each write or spill cuts the other kind).
class Layer {
 public:
  void Write(int64_t offset, const char* p, size_t n) {
    spilled_.Cut(offset, static_cast<int64_t>(n));
    memory_.Write(offset, p, n);
  }
  void Spill(int64_t offset, int64_t length, int64_t at) {
    memory_.Cut(offset, length);
    spilled_.Put(offset, length, at);
  }
  int Patch(FileHandle store, char* buffer, size_t n, int64_t offset) const {
    memory_.Patch(buffer, n, offset);
    return spilled_.Patch(store, buffer, n, offset);
  }
  // Moves every extent of other over these.
  void Absorb(Layer& other) {
    if (empty()) {
      std::swap(memory_, other.memory_);
      std::swap(spilled_, other.spilled_);
      return;
    }
    for (const auto& [offset, ref] : other.spilled_.map()) Spill(offset, ref.length, ref.at);
    for (const auto& [offset, bytes] : other.memory_.map()) Write(offset, bytes.data(), bytes.size());
    other.Clear();
  }
  int64_t End() const { return std::max(memory_.End(), spilled_.End()); }
  bool empty() const { return memory_.empty() && spilled_.empty(); }
  size_t memory_bytes() const { return memory_.bytes(); }
  size_t bytes() const { return memory_.bytes() + spilled_.bytes(); }
  Extents& memory() { return memory_; }
  Spilled& spilled() { return spilled_; }
  void Clear() {
    memory_.Clear();
    spilled_.Clear();
  }

 private:
  Extents memory_;
  Spilled spilled_;
};

// The staged writes of one file (FileStageWrites), in three layers of
// extents, oldest first: the committed ones (the log holds them), the
// sealed ones (formed into log records, not yet committed), and those
// written since the last seal; and the ranges written since the last
// FileTakeTouched. Spilled extents of any layer read their bytes from
// store (the log).
class Overlay {
 public:
  void Write(int64_t offset, const char* p, size_t n) {
    if (n == 0) return;
    touched_.emplace_back(offset, offset + static_cast<int64_t>(n));
    top_.Write(offset, p, n);
    // What the newest writes hold in memory, their touched list included.
    if (spill_ != nullptr && !spilling_ &&
        top_.memory_bytes() + touched_.size() * sizeof(touched_[0]) > spill_bytes_) {
      spilling_ = true;
      spill_->SpillStaged();
      spilling_ = false;
    }
  }
  int Patch(char* buffer, size_t n, int64_t offset) const {
    return PatchBeforeSeal(buffer, n, offset) && top_.Patch(store_, buffer, n, offset);
  }
  // The layers below the writes since the last seal.
  int PatchBeforeSeal(char* buffer, size_t n, int64_t offset) const {
    return base_.Patch(store_, buffer, n, offset) && sealed_.Patch(store_, buffer, n, offset);
  }
  int64_t End() const { return std::max({base_.End(), sealed_.End(), top_.End()}); }
  bool empty() const { return base_.empty() && sealed_.empty() && top_.empty(); }
  // The file's own length as this process last knew it (-1: not known); a
  // staged file changes only through this layer.
  int64_t stored_length = -1;
  size_t bytes() const { return base_.bytes() + sealed_.bytes() + top_.bytes(); }
  size_t memory_bytes() const {
    return base_.memory_bytes() + sealed_.memory_bytes() + top_.memory_bytes() +
           touched_.size() * sizeof(touched_[0]);
  }
  Layer& base() { return base_; }
  FileHandle store() const { return store_; }
  void Seal() { sealed_.Absorb(top_); }
  void Commit() {
    Seal();
    base_.Absorb(sealed_);
  }
  void Discard() {
    sealed_.Clear();
    top_.Clear();
    touched_.clear();
  }
  void SpillWhenOver(size_t bytes, StagedSpill* spill) {
    spill_bytes_ = bytes;
    spill_ = spill;
  }
  // The newest writes inside the ranges now lie in store; then seals.
  void Spill(FileHandle store, const std::vector<SpilledRange>& ranges) {
    assert(store_ == kNoFile || store_ == store || (base_.empty() && sealed_.empty()));
    store_ = store;
    for (const SpilledRange& r : ranges) top_.Spill(r.offset, r.length, r.at);
    Seal();
  }

  std::vector<FileRange> TakeTouched() {
    std::vector<FileRange> out;
    std::sort(touched_.begin(), touched_.end());
    for (size_t i = 0; i < touched_.size();) {
      const int64_t start = touched_[i].first;
      int64_t stop = touched_[i].second;
      for (++i; i < touched_.size() && touched_[i].first <= stop; ++i) {
        stop = std::max(stop, touched_[i].second);
      }
      out.push_back(FileRange{start, stop - start});
    }
    touched_.clear();
    // A spilled change's list was long: its room goes back.
    if (touched_.capacity() > kKeptTouched) touched_.shrink_to_fit();
    return out;
  }

 private:
  Layer base_;
  Layer sealed_;
  Layer top_;
  static constexpr size_t kKeptTouched = size_t{1} << 16;
  std::vector<std::pair<int64_t, int64_t>> touched_;
  FileHandle store_ = kNoFile;
  StagedSpill* spill_ = nullptr;
  size_t spill_bytes_ = 0;
  bool spilling_ = false;
};

}  // namespace

// One open file: its descriptor, the path it was opened under, and what
// this process keeps of it in memory (the read cache, the staged writes).
// File owns it; a FileHandle points at it. Nothing else keeps state about
// an open file, so closing it (destroying this) ends all of it at once.
class OpenFile {
 public:
  OpenFile(int descriptor, std::string opened_as) : fd(descriptor), path(std::move(opened_as)) {}
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  ~OpenFile() {
    if (fd >= 0) ::close(fd);
  }

  int fd;
  std::string path;
  std::unique_ptr<ReadCache> cache;  // FileEnableReadCache; null: none
  std::unique_ptr<Overlay> overlay;  // FileStageWrites; null: not staged
};

namespace {

ReadCache* CacheOf(FileHandle handle) { return handle == nullptr ? nullptr : handle->cache.get(); }
Overlay* OverlayOf(FileHandle handle) {
  return handle == nullptr ? nullptr : handle->overlay.get();
}

// ---- Fault injection -------------------------------------------------------------
struct FaultState {
  bool on = false;
  FileFaults plan;
  int64_t reads = 0, writes = 0, syncs = 0, locks = 0, changes = 0;
  int64_t written = 0;
  // Path -> the file's bytes as of its open or its last completed sync.
  std::map<std::string, std::string> synced;
};

FaultState& Faults() {
  static auto* state = new FaultState();
  return *state;
}

// True when the call of this kind is the one the plan fails (errno set).
bool Injected(int64_t& count, int64_t fail_at) {
  FaultState& f = Faults();
  if (!f.on) return false;
  ++count;
  if (fail_at <= 0 || count != fail_at) return false;
  errno = EIO;
  last_errno = EIO;
  return true;
}

// Counts one write, sync or rename, and dies at the one the plan names.
void CrashPoint() {
  FaultState& f = Faults();
  if (!f.on || f.plan.kill_at_change <= 0) return;
  if (++f.changes == f.plan.kill_at_change) ::kill(::getpid(), SIGKILL);
}

std::string PathOf(int fd);

bool InjectedWrite(int fd, size_t n) {
  FaultState& f = Faults();
  if (!f.on) return false;
  CrashPoint();
  if (Injected(f.writes, f.plan.fail_write)) return true;
  if (!f.plan.full_folder.empty() && PathOf(fd).rfind(f.plan.full_folder + "/", 0) == 0) {
    errno = ENOSPC;
    last_errno = ENOSPC;
    return true;
  }
  if (f.plan.disk_free_bytes >= 0 && f.written + static_cast<int64_t>(n) > f.plan.disk_free_bytes) {
    errno = ENOSPC;
    last_errno = ENOSPC;
    return true;
  }
  f.written += static_cast<int64_t>(n);
  return false;
}

// Where the file open as fd now is (it may have been renamed since its
// open, so the path it was opened under will not do).
std::string PathOf(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t n = ::readlink(link, target, sizeof target - 1);
  return n <= 0 ? std::string() : std::string(target, static_cast<size_t>(n));
}

// Records the file's bytes as they stand as its synced state.
void NoteSynced(int fd) {
  FaultState& f = Faults();
  if (!f.on || !f.plan.track_syncs) return;
  const std::string path = PathOf(fd);
  if (path.empty()) return;
  std::string bytes;
  struct stat st;
  if (::fstat(fd, &st) != 0) return;
  bytes.resize(static_cast<size_t>(st.st_size));
  size_t have = 0;
  while (have < bytes.size()) {
    const ssize_t got = ::pread(fd, bytes.data() + have, bytes.size() - have,
                                static_cast<off_t>(have));
    if (got <= 0) break;
    have += static_cast<size_t>(got);
  }
  bytes.resize(have);
  if (!f.plan.synced_copies.empty()) {
    std::string name = path;
    std::replace(name.begin(), name.end(), '/', '%');
    // Written aside and renamed, so a process killed meanwhile leaves the
    // previous copy whole.
    const std::string copy = f.plan.synced_copies + "/" + name;
    const std::string part = f.plan.synced_copies + "/.part";
    const int out = ::open(part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out >= 0) {
      size_t put = 0;
      while (put < bytes.size()) {
        const ssize_t n =
            ::pwrite(out, bytes.data() + put, bytes.size() - put, static_cast<off_t>(put));
        if (n <= 0) break;
        put += static_cast<size_t>(n);
      }
      ::close(out);
      if (put == bytes.size()) ::rename(part.c_str(), copy.c_str());
    }
  }
  f.synced[path] = std::move(bytes);
}

bool RegionInsideFile(FileHandle handle, int64_t offset, int64_t length) {
  if (offset < 0 || length < 0) return false;
  const int64_t size = FileLength(handle);
  return size >= 0 && offset + length <= size;
}

}  // namespace

int File::Open(const std::string& path, int shared) {
  Close();
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return Fail();
  if (::flock(fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
    last_errno = errno;
    ::close(fd);
    return 0;
  }
  open_ = std::make_unique<OpenFile>(fd, path);
  if (Faults().on && Faults().synced.count(PathOf(fd)) == 0) NoteSynced(fd);
  return 1;
}

int File::OpenAppend(const std::string& path) {
  Close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return Fail();
  open_ = std::make_unique<OpenFile>(fd, path);
  return 1;
}

int FileCreate(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return Fail();
  ::close(fd);
  return 1;
}

int File::Close() {
  if (open_ == nullptr) return 0;
  const int fd = std::exchange(open_->fd, -1);
  open_.reset();  // its cache and staged writes with it
  return ::close(fd) == 0 ? 1 : Fail();
}

int FileDelete(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 1 : Fail(); }

namespace {
int ReadFromFile(FileHandle handle, void* buffer, size_t n, int64_t offset);
int64_t StoredLength(FileHandle handle);
}  // namespace

int FileReadAt(FileHandle handle, void* buffer, size_t n, int64_t offset) {
  if (handle == nullptr || offset < 0) return 0;
  if (Injected(Faults().reads, Faults().plan.fail_read)) return 0;
  const Overlay* overlay = OverlayOf(handle);
  if (overlay == nullptr || overlay->empty()) return ReadFromFile(handle, buffer, n, offset);
  // The part the file holds comes from the file, the rest is staged (staged
  // writes beyond the file's end are contiguous appends); the staged bytes
  // then go over both.
  const int64_t end = offset + static_cast<int64_t>(n);
  if (end > FileLength(handle)) return 0;
  const int64_t stored = StoredLength(handle);
  if (stored < 0) return 0;
  auto* p = static_cast<char*>(buffer);
  const int64_t from_file = std::clamp<int64_t>(stored - offset, 0, static_cast<int64_t>(n));
  if (from_file > 0 && !ReadFromFile(handle, p, static_cast<size_t>(from_file), offset)) return 0;
  std::memset(p + from_file, 0, n - static_cast<size_t>(from_file));
  return overlay->Patch(p, n, offset);
}

namespace {
int ReadFromFile(FileHandle handle, void* buffer, size_t n, int64_t offset) {
  auto* p = static_cast<char*>(buffer);
  if (ReadCache* cache = CacheOf(handle); cache != nullptr && n <= ReadCache::kLargestCachedRead) {
    while (n > 0) {
      const int64_t number = offset / static_cast<int64_t>(ReadCache::kBlock);
      const std::string* block = cache->Block(handle->fd, number);
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
    const ssize_t got = ::pread(handle->fd, p, n, offset);
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
}  // namespace

namespace {
int Spilled::Patch(FileHandle store, char* buffer, size_t n, int64_t offset) const {
  if (map_.empty()) return 1;
  const int64_t end = offset + static_cast<int64_t>(n);
  auto it = map_.upper_bound(offset);
  if (it != map_.begin()) --it;
  for (; it != map_.end() && it->first < end; ++it) {
    const int64_t from = std::max(it->first, offset);
    const int64_t to = std::min(EndOf(it), end);
    if (from >= to) continue;
    if (!ReadFromFile(store, buffer + (from - offset), static_cast<size_t>(to - from),
                      it->second.at + (from - it->first))) {
      return 0;
    }
  }
  return 1;
}
}  // namespace

namespace {
// The write itself, without the read cache: all n bytes to fd at offset.
int WriteAllAt(int fd, const void* buffer, size_t n, int64_t offset);
}  // namespace

int FileWriteAt(FileHandle handle, const void* buffer, size_t n, int64_t offset) {
  if (handle == nullptr || offset < 0) return 0;
  if (Overlay* overlay = OverlayOf(handle)) {
    overlay->Write(offset, static_cast<const char*>(buffer), n);
    return 1;
  }
  if (ReadCache* cache = CacheOf(handle)) {
    // Dropped before the write: whatever part of it lands, no stale block
    // stays. The length follows a write that succeeds whole.
    cache->Drop(offset, n);
    const int64_t before = cache->length;
    cache->length = -1;
    if (!WriteAllAt(handle->fd, buffer, n, offset)) return 0;
    if (before >= 0) cache->length = std::max(before, offset + static_cast<int64_t>(n));
    return 1;
  }
  return WriteAllAt(handle->fd, buffer, n, offset);
}

namespace {
int WriteAllAt(int fd, const void* buffer, size_t n, int64_t offset) {
  if (InjectedWrite(fd, n)) return 0;
  const auto* p = static_cast<const char*>(buffer);
  while (n > 0) {
    const ssize_t put = ::pwrite(fd, p, n, offset);
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
}  // namespace

int FileAppend(FileHandle handle, const void* buffer, size_t n, int64_t& offset) {
  const int64_t end = FileLength(handle);
  if (end < 0) return 0;
  offset = end;
  return FileWriteAt(handle, buffer, n, end);
}

int FileLockRegion(FileHandle handle, int64_t offset, int64_t length) {
  if (!RegionInsideFile(handle, offset, length)) return 0;
  if (Injected(Faults().locks, Faults().plan.fail_lock)) return 0;
  struct flock lock = RegionLockRequest(F_WRLCK, offset, length);
  return ::fcntl(handle->fd, F_OFD_SETLK, &lock) == 0 ? 1 : Fail();
}

int FileUnlockRegion(FileHandle handle, int64_t offset, int64_t length) {
  if (!RegionInsideFile(handle, offset, length)) return 0;
  struct flock lock = RegionLockRequest(F_UNLCK, offset, length);
  return ::fcntl(handle->fd, F_OFD_SETLK, &lock) == 0 ? 1 : Fail();
}

namespace {
int64_t StoredLength(FileHandle handle) {
  ReadCache* cache = CacheOf(handle);
  if (cache != nullptr && cache->length >= 0) return cache->length;
  Overlay* overlay = OverlayOf(handle);
  if (overlay != nullptr && overlay->stored_length >= 0) return overlay->stored_length;
  struct stat st;
  if (handle == nullptr || ::fstat(handle->fd, &st) != 0) {
    last_errno = errno;
    return -1;
  }
  if (cache != nullptr) cache->length = st.st_size;
  if (overlay != nullptr) overlay->stored_length = st.st_size;
  return st.st_size;
}
}  // namespace

int64_t FileLength(FileHandle handle) {
  const int64_t stored = StoredLength(handle);
  const Overlay* overlay = OverlayOf(handle);
  if (overlay == nullptr || stored < 0) return stored;
  return std::max(stored, overlay->End());
}

int FileTruncate(FileHandle handle, int64_t length) {
  if (Overlay* overlay = OverlayOf(handle)) {
    if (!overlay->empty()) {
      errno = EBUSY;
      return Fail();
    }
    overlay->stored_length = -1;
  }
  if (handle == nullptr) return 0;
  if (ReadCache* cache = CacheOf(handle)) cache->Clear();
  return ::ftruncate(handle->fd, length) == 0 ? 1 : Fail();
}

void FileEnableReadCache(FileHandle handle, size_t bytes) {
  if (handle == nullptr) return;
  handle->cache = std::make_unique<ReadCache>(bytes / ReadCache::kBlock);
}

void FileDisableReadCache(FileHandle handle) {
  if (handle != nullptr) handle->cache.reset();
}

int FileSync(FileHandle handle) {
  CrashPoint();
  if (Injected(Faults().syncs, Faults().plan.fail_sync)) return 0;
  if (handle == nullptr) return 0;
  if (::fdatasync(handle->fd) != 0) return Fail();
  NoteSynced(handle->fd);
  return 1;
}

void FileStartWriteback(FileHandle handle, int64_t offset, int64_t n) {
  if (handle == nullptr || n <= 0) return;
  (void)::sync_file_range(handle->fd, offset, n, SYNC_FILE_RANGE_WRITE);
}

int FolderSync(const std::string& folder) {
  const int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail();
  const int rc = ::fsync(fd);
  if (rc != 0) last_errno = errno;
  ::close(fd);
  return rc == 0 ? 1 : 0;
}

std::string AbsolutePath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return path;
  std::string out(resolved);
  std::free(resolved);
  return out;
}

int FileRename(const std::string& from, const std::string& to) {
  CrashPoint();
  return ::rename(from.c_str(), to.c_str()) == 0 ? 1 : Fail();
}

int FileCopyRange(FileHandle from, int64_t offset, size_t n, FileHandle to) {
  std::string buffer(std::min(n, size_t{1} << 20), '\0');
  while (n > 0) {
    const size_t take = std::min(n, buffer.size());
    if (!ReadFromFile(from, buffer.data(), take, offset)) return 0;
    if (!WriteAllAt(to->fd, buffer.data(), take, offset)) return 0;
    offset += static_cast<int64_t>(take);
    n -= take;
  }
  return 1;
}

int RemoveFolder(const std::string& path) { return ::rmdir(path.c_str()) == 0 ? 1 : Fail(); }

void FileStageWrites(FileHandle handle) {
  if (handle != nullptr && handle->overlay == nullptr) handle->overlay = std::make_unique<Overlay>();
}

int FileApplyStaged(FileHandle handle) {
  Overlay* overlay = OverlayOf(handle);
  if (overlay == nullptr) return 1;
  // The overlay steps aside while its bytes go to the file through the
  // read cache's bookkeeping.
  auto owned = std::move(handle->overlay);
  auto& extents = owned->base().memory().map();
  int ok = 1;
  while (!extents.empty()) {
    auto it = extents.begin();
    if (!FileWriteAt(handle, it->second.data(), it->second.size(), it->first)) {
      ok = 0;
      break;
    }
    extents.erase(it);
  }
  // Spilled extents are copied from the store in large pieces.
  Spilled& spilled = owned->base().spilled();
  std::string buffer;
  while (ok && !spilled.empty()) {
    const auto it = spilled.map().begin();
    const int64_t offset = it->first;
    const Spilled::Ref ref = it->second;
    buffer.resize(static_cast<size_t>(std::min<int64_t>(ref.length, kApplyPiece)));
    for (int64_t done = 0; ok && done < ref.length;) {
      const auto n = static_cast<size_t>(std::min<int64_t>(ref.length - done, kApplyPiece));
      ok = ReadFromFile(owned->store(), buffer.data(), n, ref.at + done) &&
           FileWriteAt(handle, buffer.data(), n, offset + done);
      done += static_cast<int64_t>(n);
    }
    if (ok) spilled.Cut(offset, ref.length);
  }
  if (ok) owned->base().Clear();
  owned->stored_length = -1;
  handle->overlay = std::move(owned);
  return ok;
}

void FileCommitStaged(FileHandle handle) {
  if (Overlay* overlay = OverlayOf(handle)) overlay->Commit();
}

void FileDiscardStaged(FileHandle handle) {
  if (Overlay* overlay = OverlayOf(handle)) overlay->Discard();
}

void FileUnstage(FileHandle handle) {
  if (handle != nullptr) handle->overlay.reset();
}

std::vector<FileRange> FileTakeTouched(FileHandle handle) {
  Overlay* overlay = OverlayOf(handle);
  return overlay == nullptr ? std::vector<FileRange>{} : overlay->TakeTouched();
}

int FileCopyStaged(FileHandle handle, char* buffer, size_t n, int64_t offset) {
  const Overlay* overlay = OverlayOf(handle);
  return overlay == nullptr ? 1 : overlay->Patch(buffer, n, offset);
}

int FileReadBeforeSeal(FileHandle handle, char* buffer, size_t n, int64_t offset) {
  std::memset(buffer, 0, n);
  const Overlay* overlay = OverlayOf(handle);
  if (overlay == nullptr || offset < 0) return 0;
  const int64_t stored = StoredLength(handle);
  if (stored < 0) return 0;
  const int64_t from_file = std::clamp<int64_t>(stored - offset, 0, static_cast<int64_t>(n));
  if (from_file > 0 && !ReadFromFile(handle, buffer, static_cast<size_t>(from_file), offset)) {
    return 0;
  }
  return overlay->PatchBeforeSeal(buffer, n, offset);
}

void FileSealStaged(FileHandle handle) {
  if (Overlay* overlay = OverlayOf(handle)) overlay->Seal();
}

size_t FileStagedBytes(FileHandle handle) {
  const Overlay* overlay = OverlayOf(handle);
  return overlay == nullptr ? 0 : overlay->bytes();
}

size_t FileStagedMemory(FileHandle handle) {
  const Overlay* overlay = OverlayOf(handle);
  return overlay == nullptr ? 0 : overlay->memory_bytes();
}

void FileSpillWhenOver(FileHandle handle, size_t bytes, StagedSpill* spill) {
  if (Overlay* overlay = OverlayOf(handle)) overlay->SpillWhenOver(bytes, spill);
}

void FileSpillStaged(FileHandle handle, FileHandle store, const std::vector<SpilledRange>& ranges) {
  if (Overlay* overlay = OverlayOf(handle)) overlay->Spill(store, ranges);
}

void SetFileFaults(const FileFaults& faults) {
  FaultState& f = Faults();
  f = FaultState{};
  f.on = true;
  f.plan = faults;
  // Compared with the paths the kernel gives for descriptors: resolved.
  if (!f.plan.full_folder.empty()) f.plan.full_folder = AbsolutePath(f.plan.full_folder);
}

void ClearFileFaults() { Faults() = FaultState{}; }

int SimulatePowerLoss(uint64_t seed, bool torn) {
  FaultState& f = Faults();
  std::mt19937_64 random(seed);
  constexpr size_t kSector = 512;
  int ok = 1;
  for (const auto& [path, synced] : f.synced) {
    std::string now;
    if (!ReadWholeFile(path, now)) continue;  // gone: nothing to put back
    std::string result;
    if (!torn) {
      result = synced;
    } else {
      result = (random() & 1) ? now : synced;
      for (size_t at = 0; at < result.size(); at += kSector) {
        const size_t n = std::min(kSector, result.size() - at);
        const bool keep_new = random() & 1;
        const std::string& from = keep_new ? now : synced;
        // A sector the chosen version does not reach reads as zeros.
        for (size_t k = 0; k < n; ++k) result[at + k] = at + k < from.size() ? from[at + k] : '\0';
      }
    }
    if (result == now) continue;
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) {
      ok = Fail();
      continue;
    }
    if (!WriteAllAt(fd, result.data(), result.size(), 0)) ok = 0;
    ::close(fd);
  }
  f = FaultState{};
  return ok;
}

int SimulatePowerLossFrom(const std::string& folder, uint64_t seed, bool torn) {
  FaultState& f = Faults();
  f = FaultState{};
  for (const std::string& name : ListFolder(folder, "")) {
    if (name == ".part") continue;
    std::string path = name;
    std::replace(path.begin(), path.end(), '%', '/');
    if (!ReadWholeFile(folder + "/" + name, f.synced[path])) return 0;
  }
  return SimulatePowerLoss(seed, torn);
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

int64_t PathLength(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

int RenamePath(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 1 : Fail();
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) == 0) return 1;
  if (errno != EEXIST) return Fail();
  if (IsDirectory(path)) return 1;
  // Something else has the name: "File exists" would hide that.
  last_errno = ENOTDIR;
  return 0;
}

int MakeFolders(const std::string& path, std::string* why) {
  if (path.empty()) {
    last_errno = ENOENT;
    if (why != nullptr) *why = "no folder named";
    return 0;
  }
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (!IsDirectory(part) && !MakeFolder(part)) {
      if (why != nullptr) {
        *why = last_errno == ENOTDIR && PathExists(part) ? part + " is not a folder"
                                                          : "cannot make " + part + ": " +
                                                                LastFileError();
      }
      return 0;
    }
    if (slash == std::string::npos) return 1;
  }
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
std::string CreateUniqueTempFile(const std::string& prefix, const std::string& extension, int& fd,
                                 std::string folder = TempFolder()) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  static thread_local std::mt19937_64 random{std::random_device{}()};
  fd = -1;
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
  int fd = -1;
  std::string name = CreateUniqueTempFile(prefix, extension, fd);
  if (fd >= 0) ::close(fd);
  return name;
}


int FileAppendText(FileHandle handle, std::string_view text) {
  const char* p = text.data();
  size_t n = text.size();
  while (n > 0) {
    const ssize_t put = ::write(handle->fd, p, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      return Fail();
    }
    p += put;
    n -= static_cast<size_t>(put);
  }
  return 1;
}

bool FileIsAt(FileHandle handle, const std::string& path) {
  struct stat open_file;
  struct stat named;
  return handle != nullptr && ::fstat(handle->fd, &open_file) == 0 && ::stat(path.c_str(), &named) == 0 &&
         open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
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

bool ReadFileTail(const std::string& path, size_t max_bytes, std::string& out) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Fail();
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    last_errno = errno;
    ::close(fd);
    return false;
  }
  const size_t length = static_cast<size_t>(st.st_size);
  const size_t want = length < max_bytes ? length : max_bytes;
  out.resize(want);
  size_t have = 0;
  while (have < want) {
    const ssize_t got = ::pread(fd, out.data() + have, want - have,
                                static_cast<off_t>(length - want + have));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      last_errno = errno;
      ::close(fd);
      return false;
    }
    if (got == 0) break;  // cut short meanwhile
    have += static_cast<size_t>(got);
  }
  out.resize(have);
  ::close(fd);
  return true;
}

int ReplaceFileContent(const std::string& path, const std::string& content, int mode) {
  const std::string temp = path + ".new";
  ::unlink(temp.c_str());  // a leftover would keep its own mode
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        static_cast<mode_t>(mode));
  if (fd < 0) return Fail();
  const int ok = WriteAllAt(fd, content.data(), content.size(), 0);
  ::close(fd);
  if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
    last_errno = errno;
    ::unlink(temp.c_str());
    return 0;
  }
  return 1;
}

int PathPermissions(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    last_errno = errno;
    return -1;
  }
  return static_cast<int>(st.st_mode & 07777);
}

std::string LastFileError() { return std::strerror(last_errno); }

// ---- Owning types ------------------------------------------------------------

File::File() = default;
File::File(File&& other) noexcept = default;
File::~File() { Close(); }

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    Close();
    open_ = std::move(other.open_);
  }
  return *this;
}

void File::Adopt(int fd, const std::string& path) {
  Close();
  if (fd >= 0) open_ = std::make_unique<OpenFile>(fd, path);
}

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
  int fd = -1;
  path_ = CreateUniqueTempFile(prefix, extension, fd);
  file_.Adopt(fd, path_);
  return path_.empty() ? 0 : 1;
}

int TempFile::MakeIn(const std::string& folder, const std::string& prefix,
                     const std::string& extension) {
  Remove();
  int fd = -1;
  path_ = CreateUniqueTempFile(prefix, extension, fd, folder.empty() ? TempFolder() : folder);
  file_.Adopt(fd, path_);
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
  if (handle == nullptr) return 0;
  if (::flock(handle->fd, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) return Fail();
  handle_ = handle;
  return 1;
}

void ShareLock::Release() {
  if (handle_ == kNoFile) return;
  ::flock(handle_->fd, LOCK_UN);
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

void* AllocateBlock(size_t bytes) {
  if (bytes < kLargeBlockBytes) return std::malloc(bytes);
  void* block = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return nullptr;
  (void)::madvise(block, bytes, MADV_HUGEPAGE);  // a hint: without it, plain pages
  return block;
}

void FreeBlock(void* block, size_t bytes) {
  if (block == nullptr) return;
  if (bytes < kLargeBlockBytes) {
    std::free(block);
  } else {
    ::munmap(block, bytes);
  }
}

}  // namespace zt
