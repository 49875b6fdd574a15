// The fixture of the tests of ztadmin's commands on the shop database.
#ifndef ZT_TESTS_TOOLS_TOOL_TEST_H_
#define ZT_TESTS_TOOLS_TOOL_TEST_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <sstream>
#include <string>

#include "engine/file.h"
#include "engine/filenames.h"
#include "support/fixtures.h"
#include "support/kill_point.h"
#include "support/test_support.h"
#include "ztadmin/check.h"
#include "ztadmin/commands.h"

namespace zt::testing {

// Runs a command function of ztadmin; its exit status, with what it wrote
// to both of its streams in *output.
inline int RunTool(const std::function<int(std::ostream&, std::ostream&)>& command,
                   std::string* output) {
  std::ostringstream out, err;
  const int status = command(out, err);
  *output = out.str() + err.str();
  return status;
}

// A scratch folder whose work/ the tool takes as the server's work folder
// (where the log lies), and the paths of a database shop.dat in it, which
// the test makes.
class ToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    admin::ToolOptions options;
    options.work_folder = folder_.File("work");
    admin::SetToolOptions(options);
  }
  void TearDown() override { admin::SetToolOptions({}); }

  // RunTool with the output in out_.
  int Run(const std::function<int(std::ostream&, std::ostream&)>& command) {
    return RunTool(command, &out_);
  }
  int Check() {
    return Run(
        [&](std::ostream& out, std::ostream& err) { return admin::CheckCommand(path_, out, err); });
  }
  // The bytes of the three files, end to end.
  std::string Files() const {
    return ReadFile(path_) + ReadFile(definition_path_) + ReadFile(index_path_);
  }

  ScratchFolder folder_;
  std::string path_ = folder_.File("shop.dat");
  std::string definition_path_ = DerivedFileName(path_, kDefinitionFileExtension);
  std::string index_path_ = DerivedFileName(path_, kIndexFileExtension);
  std::string out_;
};

// The shop database (SmallShopSchema) with 200 orders, every fourth one
// deleted again (150 live).
class ShopToolTest : public ToolTest {
 protected:
  void SetUp() override {
    ToolTest::SetUp();
    CreateDatabase(path_, SmallShopSchema());
    AddShopOrders(path_);
  }
};

}  // namespace zt::testing

#endif  // ZT_TESTS_TOOLS_TOOL_TEST_H_
