#include "engine/external_sort.h"

#include <algorithm>
#include <utility>

#include "engine/codec.h"

namespace zt {
namespace {

constexpr size_t kLengthWidth = 4;
constexpr size_t kWriteBuffer = size_t{1} << 20;
constexpr size_t kMinReadBuffer = size_t{64} << 10;
constexpr size_t kMaxReadBuffer = size_t{4} << 20;

// Appends items to a run file in large sequential writes.
class RunWriter {
 public:
  explicit RunWriter(FileHandle file) : file_(file) { buffer_.reserve(kWriteBuffer); }
  bool Put(std::string_view item) {
    char length[kLengthWidth];
    EncodeFixed32(length, static_cast<int32_t>(item.size()));
    buffer_.append(length, kLengthWidth);
    buffer_.append(item);
    return buffer_.size() < kWriteBuffer || Flush();
  }
  bool Flush() {
    if (buffer_.empty()) return true;
    const bool ok = FileWriteAt(file_, buffer_.data(), buffer_.size(), offset_) != 0;
    offset_ += static_cast<int64_t>(buffer_.size());
    buffer_.clear();
    return ok;
  }

 private:
  FileHandle file_;
  int64_t offset_ = 0;
  std::string buffer_;
};

}  // namespace

// Reads a run file's items in order through one buffer.
class ExternalSorter::RunReader {
 public:
  RunReader(FileHandle file, size_t buffer_bytes)
      : file_(file), end_(FileLength(file)), buffer_(buffer_bytes) {}

  // Moves to the next item: 1 with item() set, 0 at the end, -1 on a failed
  // read or a damaged length (why() says which).
  int Advance() {
    char length[kLengthWidth];
    if (!Take(length, kLengthWidth)) {
      if (at_end_) return 0;
      if (why_.empty()) why_ = "a run file ends inside an item";
      return -1;
    }
    const auto n = static_cast<uint32_t>(DecodeFixed32(length));
    if (n > kMaxSortItem) {
      why_ = "a run file holds an item of " + std::to_string(n) + " bytes";
      return -1;
    }
    item_.resize(n);
    if (!Take(item_.data(), n)) {
      if (why_.empty()) why_ = "a run file ends inside an item";
      return -1;
    }
    return 1;
  }
  const std::string& item() const { return item_; }
  const std::string& why() const { return why_; }

 private:
  // Copies n bytes out of the buffer, refilling it from the file. False at
  // the end of the file (at_end_ when it fell exactly between items).
  bool Take(char* out, size_t n) {
    const bool at_boundary = n == kLengthWidth;
    while (n > 0) {
      if (pos_ == filled_) {
        const int64_t left = end_ - offset_;
        if (left <= 0) {
          at_end_ = at_boundary && n == kLengthWidth;
          return false;
        }
        filled_ = static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(buffer_.size())));
        if (!FileReadAt(file_, buffer_.data(), filled_, offset_)) {
          why_ = "cannot read a run file: " + LastFileError();
          filled_ = 0;
          return false;
        }
        offset_ += static_cast<int64_t>(filled_);
        pos_ = 0;
      }
      const size_t take = std::min(n, filled_ - pos_);
      std::copy_n(buffer_.data() + pos_, take, out);
      pos_ += take;
      out += take;
      n -= take;
    }
    return true;
  }

  FileHandle file_;
  int64_t end_;
  int64_t offset_ = 0;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t filled_ = 0;
  bool at_end_ = false;
  std::string item_;
  std::string why_;
};

ExternalSorter::ExternalSorter(std::string folder, size_t memory_bytes, Less less)
    : folder_(std::move(folder)),
      memory_bytes_(std::max(memory_bytes, kMinSortMemory)),
      less_(std::move(less)) {}

ExternalSorter::~ExternalSorter() = default;

bool ExternalSorter::Fail(std::string text) {
  if (!failed_) error_ = std::move(text);
  failed_ = true;
  return false;
}

bool ExternalSorter::Add(std::string_view item) {
  if (failed_ || finished_) return Fail(failed_ ? error_ : "the sort was already finished");
  if (item.size() > kMaxSortItem) {
    return Fail("an item of " + std::to_string(item.size()) + " bytes is too long to sort");
  }
  // The arena and the references are reserved once, at the limit, so that
  // they never grow by copying; a run is written when either is full.
  if (arena_.capacity() < ArenaBytes()) {
    arena_.reserve(ArenaBytes());
    refs_.reserve(RefSlots());
  }
  if ((arena_.size() + item.size() > ArenaBytes() || refs_.size() >= RefSlots()) &&
      !refs_.empty() && !SpillRun()) {
    return false;
  }
  refs_.push_back(Ref{arena_.size(), static_cast<uint32_t>(item.size())});
  arena_.append(item);
  ++count_;
  return true;
}

bool ExternalSorter::SpillRun() {
  std::sort(refs_.begin(), refs_.end(),
            [this](const Ref& a, const Ref& b) { return less_(Item(a), Item(b)); });
  TempFile run;
  if (!run.MakeIn(folder_, "zt-sort-", "run")) {
    return Fail("cannot make a sort run file in " + (folder_.empty() ? TempFolder() : folder_) +
                ": " + LastFileError());
  }
  RunWriter writer(run.handle());
  for (const Ref& r : refs_) {
    if (!writer.Put(Item(r))) return Fail("cannot write a sort run file: " + LastFileError());
  }
  if (!writer.Flush()) return Fail("cannot write a sort run file: " + LastFileError());
  runs_.push_back(std::move(run));
  ++runs_written_;
  arena_.clear();
  refs_.clear();
  return true;
}

bool ExternalSorter::MergeRuns(size_t first, size_t n) {
  const size_t buffer = std::clamp(memory_bytes_ / 2 / n, kMinReadBuffer, kMaxReadBuffer);
  std::vector<std::unique_ptr<RunReader>> readers;
  for (size_t i = 0; i < n; ++i) {
    readers.push_back(std::make_unique<RunReader>(runs_[first + i].handle(), buffer));
  }
  TempFile out;
  if (!out.MakeIn(folder_, "zt-sort-", "run")) {
    return Fail("cannot make a sort run file: " + LastFileError());
  }
  std::vector<size_t> heap;
  const auto after = [&](size_t a, size_t b) { return less_(readers[b]->item(), readers[a]->item()); };
  for (size_t i = 0; i < n; ++i) {
    const int got = readers[i]->Advance();
    if (got < 0) return Fail(readers[i]->why());
    if (got > 0) heap.push_back(i);
  }
  std::make_heap(heap.begin(), heap.end(), after);
  RunWriter writer(out.handle());
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), after);
    const size_t top = heap.back();
    if (!writer.Put(readers[top]->item())) {
      return Fail("cannot write a sort run file: " + LastFileError());
    }
    const int got = readers[top]->Advance();
    if (got < 0) return Fail(readers[top]->why());
    if (got > 0) {
      std::push_heap(heap.begin(), heap.end(), after);
    } else {
      heap.pop_back();
    }
  }
  if (!writer.Flush()) return Fail("cannot write a sort run file: " + LastFileError());
  readers.clear();
  // The merged runs go (and their files with them); the new one joins.
  runs_.erase(runs_.begin() + static_cast<std::ptrdiff_t>(first),
              runs_.begin() + static_cast<std::ptrdiff_t>(first + n));
  runs_.push_back(std::move(out));
  ++runs_written_;
  return true;
}

bool ExternalSorter::Finish() {
  if (failed_) return false;
  if (finished_) return true;
  finished_ = true;
  if (runs_.empty()) {
    std::sort(refs_.begin(), refs_.end(),
              [this](const Ref& a, const Ref& b) { return less_(Item(a), Item(b)); });
    return true;
  }
  if (!refs_.empty() && !SpillRun()) return false;
  // The read buffers of the merge take the memory's place.
  std::string().swap(arena_);
  std::vector<Ref>().swap(refs_);
  while (runs_.size() > kMaxMergeFanIn) {
    if (!MergeRuns(0, kMaxMergeFanIn)) return false;
  }
  return OpenMerge();
}

bool ExternalSorter::OpenMerge() {
  const size_t buffer =
      std::clamp(memory_bytes_ / 2 / std::max<size_t>(runs_.size(), 1), kMinReadBuffer, kMaxReadBuffer);
  for (const TempFile& run : runs_) {
    readers_.push_back(std::make_unique<RunReader>(run.handle(), buffer));
    const int got = readers_.back()->Advance();
    if (got < 0) return Fail(readers_.back()->why());
    if (got > 0) heap_.push_back(readers_.size() - 1);
  }
  std::make_heap(heap_.begin(), heap_.end(), [this](size_t a, size_t b) {
    return less_(readers_[b]->item(), readers_[a]->item());
  });
  return true;
}

bool ExternalSorter::Next(std::string_view& item) {
  if (failed_ || !finished_) return false;
  if (runs_.empty()) {
    if (next_ref_ >= refs_.size()) return false;
    item = Item(refs_[next_ref_++]);
    return true;
  }
  return NextFromRuns(item);
}

bool ExternalSorter::NextFromRuns(std::string_view& item) {
  const auto after = [this](size_t a, size_t b) {
    return less_(readers_[b]->item(), readers_[a]->item());
  };
  // The reader whose item was handed out last moves on only now, so that
  // the item stayed valid until this call.
  if (advance_ >= 0) {
    const size_t last = static_cast<size_t>(advance_);
    advance_ = -1;
    const int got = readers_[last]->Advance();
    if (got < 0) return Fail(readers_[last]->why());
    if (got > 0) {
      heap_.push_back(last);
      std::push_heap(heap_.begin(), heap_.end(), after);
    }
  }
  if (heap_.empty()) return false;
  std::pop_heap(heap_.begin(), heap_.end(), after);
  const size_t top = heap_.back();
  heap_.pop_back();
  advance_ = static_cast<int64_t>(top);
  item = readers_[top]->item();
  return true;
}

}  // namespace zt
