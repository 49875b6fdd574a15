#include "support/fixtures.h"

#include <cstdio>
#include <cstdlib>

namespace zt::testing {

DatabaseSpec SmallShopSpec() {
  DatabaseSpec spec;
  spec.tables.push_back(TableSpec{"Orders",
                                  {{"Id", 1, 6, true, false},
                                   {"Customer", 0, 20, true, false},
                                   {"Qty", 1, 5, false, false},
                                   {"Note", 0, 30, false, false}}});
  spec.tables.push_back(TableSpec{
      "Customers",
      {{"Id", 1, 6, true, false}, {"Name", 0, 30, false, false}, {"Old", 0, 4, false, true}}});
  return spec;
}

void CreateDatabase(const std::string& data_file, const DatabaseSpec& spec) {
  std::string err;
  if (!CreateDatabaseFiles(data_file, spec, err)) {
    std::fprintf(stderr, "fixture: %s\n", err.c_str());
    std::abort();
  }
}

}  // namespace zt::testing
