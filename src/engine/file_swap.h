// Replacing several files of a database at once. One rename is atomic,
// three are not: a crash between them would pair a new data file with an
// old definition file. So the replacements are written beside the old
// files and synced, then a small marker naming the renames is written and
// synced: that is the commit point. The renames follow, then the folder is
// synced and the marker deleted. Whoever opens the database next finds a
// marker that is whole and finishes its renames (a rename whose source is
// gone was made already); a marker that is torn was never committed, so the
// old files stand and the marker and the replacements go.
//
// Swap marker, <base>.zsw (little-endian):
//   OFFSET  WIDTH  CONTENT
//   0       8      magic "ZTSWAP1\n"
//   8       4      u32 number of renames n, 1..kMaxSwapRenames
//   12      ...    n times: u32 length, source file name, u32 length,
//                  target file name (names of files in the data file's
//                  folder, no '/', 1..255 bytes each)
//   end-4   4      u32 CRC-32C of every byte before it
//
// Only one process may swap or finish a swap: both hold the data file
// exclusively (its flock) while they rename, and the process that commits
// also holds the new data file, so that no opener can slip in between its
// last rename and the deletion of the marker.
#ifndef ZT_ENGINE_FILE_SWAP_H_
#define ZT_ENGINE_FILE_SWAP_H_

#include <string>
#include <vector>

namespace zt {

inline constexpr int kMaxSwapRenames = 8;

// One replacement: the file at `from` takes the place of the file at `to`.
// Both lie in the folder of the data file.
struct FileRenaming {
  std::string from;
  std::string to;
};

// Commits and makes a replacement of database files. The caller holds the
// database at data_file exclusively and has synced every source; renames
// are made in the order given. False with error when the marker could not
// be written (nothing changed; *committed false) or a step after it failed
// (*committed true: the next open of the database finishes the swap).
[[nodiscard]] bool CommitFileSwap(const std::string& data_file,
                                  const std::vector<FileRenaming>& renames, bool& committed,
                                  std::string& error);

// What every open of the database runs first. Quick when there is nothing
// to do (no marker, no leftover replacement files). Otherwise it takes the
// data file exclusively and finishes a committed swap, or deletes a torn
// marker, and then deletes leftover replacement files (those of
// ReplacementDataFileName, which nobody builds while the database is held
// by this routine). False with error when a marker is present but the data
// file cannot be had (another process is swapping, or holds the database)
// or a rename of a committed swap fails: the database must not be opened.
// Leftovers alone never fail it: they are left for later when the data
// file is held.
[[nodiscard]] bool FinishPendingSwap(const std::string& data_file, std::string& error);

// Deletes the replacement files of data_file (the database beside it at
// ReplacementDataFileName, its index build's file and its write file).
// For a caller that holds the database exclusively.
void RemoveReplacementFiles(const std::string& data_file);

}  // namespace zt

#endif  // ZT_ENGINE_FILE_SWAP_H_
