// Every file name the system derives, in one place.
//
// A database is a data file (named by the configuration, used as it stands)
// with three siblings in the same folder that share its base name:
//   <base>.rs   the private write file (rows being edited)
//   <base>.zdf  the definition file
//   <base>.zix  the B-tree index file
// The base name is the file name without its last extension ("shop.dat" ->
// "shop"; "shop" -> "shop"). A data file named without a folder has its
// siblings in the current folder.
#ifndef ZT_ENGINE_FILENAMES_H_
#define ZT_ENGINE_FILENAMES_H_

#include <string>

namespace zt {

inline constexpr char kWriteFileExtension[] = ".rs";
inline constexpr char kDefinitionFileExtension[] = ".zdf";
inline constexpr char kIndexFileExtension[] = ".zix";
inline constexpr char kTransactionFileExtension[] = ".trn";
inline constexpr char kLockFileExtension[] = ".ztl";
// <base>.zsw: the marker of a committed replacement of the database files
// (engine/file_swap.h describes it).
inline constexpr char kSwapMarkerExtension[] = ".zsw";
inline constexpr char kErrorLogFileName[] = "dberrors.txt";

// The data file's sibling with the given extension (".rs", ".zdf", ".zix").
std::string DerivedFileName(const std::string& data_file, const char* extension);

// The data file of a whole database built beside data_file to replace it:
// <base>~new<ext> ("shop.dat" -> "shop~new.dat"; a data file without an
// extension gets ".dat", so that the new database's siblings,
// <base>~new.zdf and <base>~new.zix, never fall on the old ones).
std::string ReplacementDataFileName(const std::string& data_file);

// The folder part of a path, with its trailing '/' ("." when there is none).
std::string FolderOf(const std::string& path);

// <folder>/<name>: joins with exactly one '/'.
std::string JoinPath(const std::string& folder, const std::string& name);

// Transaction file of a transaction id in the work folder: <id>.trn.
std::string TransactionFileName(const std::string& work_folder, int id);

// The error log in the work folder.
std::string ErrorLogFileName(const std::string& work_folder);

// A path from a configuration file: absolute paths stand as they are,
// relative ones are taken relative to the configuration file's folder.
std::string ResolveAgainst(const std::string& config_file, const std::string& path);

}  // namespace zt

#endif  // ZT_ENGINE_FILENAMES_H_
