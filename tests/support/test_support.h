// Helpers shared by the tests: scratch folders and small database fixtures.
#ifndef ZT_TESTS_SUPPORT_TEST_SUPPORT_H_
#define ZT_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <string>

namespace zt::testing {

// A fresh, empty folder under the temporary folder, removed (with its
// content) when the object goes out of scope.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Writes content to path (replacing it); aborts the test binary on failure.
void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);
// Overwrites one byte of a file.
void PokeByte(const std::string& path, long offset, char value);
// Runs a shell command; returns its exit status and its standard output
// (with standard error appended when merge_stderr).
int RunCommand(const std::string& command, std::string* output, bool merge_stderr = true);

}  // namespace zt::testing

#endif  // ZT_TESTS_SUPPORT_TEST_SUPPORT_H_
