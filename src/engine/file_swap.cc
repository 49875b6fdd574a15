#include "engine/file_swap.h"

#include <cstring>

#include "engine/codec.h"
#include "engine/file.h"
#include "engine/filenames.h"

namespace zt {
namespace {

constexpr char kMagic[] = "ZTSWAP1\n";
constexpr size_t kMagicSize = 8;
constexpr size_t kMaxNameSize = 255;
// Larger than any marker kMaxSwapRenames renames can make; a bigger file
// is no marker of ours and is not read into memory.
constexpr int64_t kMaxMarkerSize = 16 << 10;

std::string FileNameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool IsPlainName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxNameSize && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

void PutU32(std::string& out, uint32_t value) {
  char bytes[4];
  EncodeFixed32(bytes, static_cast<int32_t>(value));
  out.append(bytes, sizeof bytes);
}

std::string EncodeMarker(const std::vector<FileRenaming>& names) {
  std::string out(kMagic, kMagicSize);
  PutU32(out, static_cast<uint32_t>(names.size()));
  for (const FileRenaming& r : names) {
    PutU32(out, static_cast<uint32_t>(r.from.size()));
    out += r.from;
    PutU32(out, static_cast<uint32_t>(r.to.size()));
    out += r.to;
  }
  PutU32(out, Crc32c(out.data(), out.size()));
  return out;
}

// Reads bytes as a marker; false when it is not a whole one (torn, cut
// short, or no marker at all).
bool DecodeMarker(const std::string& bytes, std::vector<FileRenaming>& names) {
  names.clear();
  if (bytes.size() < kMagicSize + 8 || std::memcmp(bytes.data(), kMagic, kMagicSize) != 0) {
    return false;
  }
  const size_t body = bytes.size() - 4;
  if (static_cast<uint32_t>(DecodeFixed32(bytes.data() + body)) != Crc32c(bytes.data(), body)) {
    return false;
  }
  size_t at = kMagicSize;
  auto take_u32 = [&](uint32_t& value) {
    if (body - at < 4) return false;
    value = static_cast<uint32_t>(DecodeFixed32(bytes.data() + at));
    at += 4;
    return true;
  };
  auto take_name = [&](std::string& name) {
    uint32_t length = 0;
    if (!take_u32(length) || length > kMaxNameSize || body - at < length) return false;
    name.assign(bytes, at, length);
    at += length;
    return IsPlainName(name);
  };
  uint32_t count = 0;
  if (!take_u32(count) || count < 1 || count > kMaxSwapRenames) return false;
  names.resize(count);
  for (FileRenaming& r : names) {
    if (!take_name(r.from) || !take_name(r.to)) return false;
  }
  return at == body;
}

bool ReadMarker(const std::string& marker, std::vector<FileRenaming>& names) {
  const int64_t size = PathLength(marker);
  std::string bytes;
  return size >= 0 && size <= kMaxMarkerSize && ReadWholeFile(marker, bytes) &&
         DecodeMarker(bytes, names);
}

// Makes the renames of a committed swap (those whose source is gone were
// made before), then deletes the marker. The caller holds the data file.
bool FinishRenames(const std::string& folder, const std::string& marker,
                   const std::vector<FileRenaming>& names, std::string& error) {
  for (const FileRenaming& r : names) {
    const std::string from = JoinPath(folder, r.from);
    if (!PathExists(from)) continue;
    if (!FileRename(from, JoinPath(folder, r.to))) {
      error = "cannot rename " + from + " to " + r.to + ": " + LastFileError();
      return false;
    }
  }
  // The renames must be on disk before the marker that vouches for them
  // goes; the marker's deletion is synced so that no later replacement
  // files can be mistaken for this swap's.
  if (!FolderSync(folder) || (!FileDelete(marker) && PathExists(marker)) || !FolderSync(folder)) {
    error = "cannot finish the replacement of the files in " + folder + ": " + LastFileError();
    return false;
  }
  return true;
}

bool AnyReplacementFile(const std::string& data_file) {
  const std::string replacement = ReplacementDataFileName(data_file);
  return PathExists(replacement) ||
         PathExists(DerivedFileName(replacement, kDefinitionFileExtension)) ||
         PathExists(DerivedFileName(replacement, kIndexFileExtension));
}

}  // namespace

void RemoveReplacementFiles(const std::string& data_file) {
  const std::string replacement = ReplacementDataFileName(data_file);
  const std::string index = DerivedFileName(replacement, kIndexFileExtension);
  for (const std::string& path :
       {replacement, DerivedFileName(replacement, kDefinitionFileExtension), index,
        index + ".new", DerivedFileName(replacement, kWriteFileExtension)}) {
    if (PathExists(path)) FileDelete(path);
  }
}

bool CommitFileSwap(const std::string& data_file, const std::vector<FileRenaming>& renames,
                    bool& committed, std::string& error) {
  committed = false;
  const std::string folder = FolderOf(data_file);
  std::vector<FileRenaming> names;
  for (const FileRenaming& r : renames) {
    names.push_back({FileNameOf(r.from), FileNameOf(r.to)});
    if (FolderOf(r.from) != folder || FolderOf(r.to) != folder || !IsPlainName(names.back().from) ||
        !IsPlainName(names.back().to)) {
      error = "cannot replace " + r.to + " by " + r.from + ": not two files beside " + data_file;
      return false;
    }
  }
  if (names.empty() || names.size() > kMaxSwapRenames) {
    error = "a replacement takes 1 to " + std::to_string(kMaxSwapRenames) + " files";
    return false;
  }
  const std::string marker = DerivedFileName(data_file, kSwapMarkerExtension);
  const std::string bytes = EncodeMarker(names);
  {
    File file;
    if (!FileCreate(marker) || !file.Open(marker, 0) ||
        !FileWriteAt(file.handle(), bytes.data(), bytes.size(), 0) || !FileSync(file.handle()) ||
        !FolderSync(folder)) {
      error = "cannot write the swap marker " + marker + ": " + LastFileError();
      file.Close();
      // A marker that cannot be taken back leaves the swap to the next open.
      committed = PathExists(marker) && !FileDelete(marker);
      return false;
    }
  }
  committed = true;
  return FinishRenames(folder, marker, names, error);
}

bool FinishPendingSwap(const std::string& data_file, std::string& error) {
  const std::string marker = DerivedFileName(data_file, kSwapMarkerExtension);
  const bool marked = PathExists(marker);
  if (!marked && !AnyReplacementFile(data_file)) return true;
  File hold;
  if (!hold.Open(data_file, 0)) {
    // Replacement files without a marker are another process's work in
    // progress, or leftovers for a later holder to delete.
    if (!marked) return true;
    error = "the files of " + data_file +
            " are being replaced (" + marker + " is present) and the database is held by "
            "another process";
    return false;
  }
  if (marked) {
    std::vector<FileRenaming> names;
    if (ReadMarker(marker, names)) {
      if (!FinishRenames(FolderOf(data_file), marker, names, error)) return false;
      // The hold is on the data file that was replaced; replacement files
      // may be deleted only under a hold of the one now at the name, or
      // they could be those of a compaction that opened it meanwhile.
      if (!hold.Open(data_file, 0)) return true;
    } else if (!FileDelete(marker)) {
      error = "cannot delete the torn swap marker " + marker + ": " + LastFileError();
      return false;
    }
  }
  RemoveReplacementFiles(data_file);
  return true;
}

}  // namespace zt
