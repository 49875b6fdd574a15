#include "engine/filenames.h"

namespace zt {

std::string DerivedFileName(const std::string& data_file, const char* extension) {
  const size_t slash = data_file.rfind('/');
  const size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = data_file.rfind('.');
  // A dot in a folder name or at the start of the file name ("/db/.shop") is
  // not an extension.
  if (dot == std::string::npos || dot <= name_start) dot = data_file.size();
  return data_file.substr(0, dot) + extension;
}

std::string ReplacementDataFileName(const std::string& data_file) {
  const std::string data_extension = data_file.substr(DerivedFileName(data_file, "").size());
  return DerivedFileName(data_file, "~new") + (data_extension.empty() ? ".dat" : data_extension);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

std::string TransactionFileName(const std::string& work_folder, int id) {
  return JoinPath(work_folder, std::to_string(id) + kTransactionFileExtension);
}

std::string ErrorLogFileName(const std::string& work_folder) {
  return JoinPath(work_folder, kErrorLogFileName);
}

std::string ResolveAgainst(const std::string& config_file, const std::string& path) {
  if (path.empty() || path.front() == '/') return path;
  const size_t slash = config_file.rfind('/');
  if (slash == std::string::npos) return path;
  return JoinPath(config_file.substr(0, slash == 0 ? 1 : slash), path);
}

}  // namespace zt
