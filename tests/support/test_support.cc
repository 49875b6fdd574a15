#include "support/test_support.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zt::testing {

ScratchFolder::ScratchFolder() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "zttest-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) std::abort();
  path_ = tmpl;
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) std::abort();
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void PokeByte(const std::string& path, long offset, char value) {
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  f.seekp(offset);
  f.put(value);
  if (!f) std::abort();
}

int RunCommand(const std::string& command, std::string* output, bool merge_stderr) {
  const std::string full = command + (merge_stderr ? " 2>&1" : "");
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) text.append(buffer, got);
  const int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace zt::testing
